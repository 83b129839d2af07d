// Writes the records the tool's golden outputs are made from: fields out of
// tag order, empty subfields, bytes that must be escaped, a data field with
// no delimiter, a record with a wrong length and junk before another, and
// a MARC-8 record with diacritics, Cyrillic and a code with no character.
//   make_dump_fixture OUT
#include <fstream>
#include <iostream>

#include "support/record_builder.h"

using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::DataContent;
using quillet_test::Patched;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_dump_fixture OUT\n";
    return 2;
  }
  const std::string order = BuildRecord({{"001", "ocm12345678"},
                                         {"245", Bytes("10$aMaps of Praha$b$c2012")},
                                         {"650", Bytes(" 0$aCartography")},
                                         {"630", Bytes("00$aBible.")},
                                         {"264", Bytes(" 1$a[Praha?]$b$c2012")}});
  const std::string escapes = BuildRecord(
      {{"001", "sh2009\t004630"},
       {"008", "a\\b c"},
       {"500", DataContent("  ", {{'a', "Costs $5 {or less}\n=650  "}, {'a', "forged"}})},
       {"517", "1 "},
       {"520", Bytes("  text before$asummary\r")}});
  const std::string repaired =
      Patched(BuildRecord({{"001", "00000003"}, {"245", Bytes("00$aRepaired")}}), 0, "99999");
  quillet_test::LeaderSpec marc8;
  marc8.pos5to11 = "nam  22";  // leader/09 blank: MARC-8
  const std::string cyrillic =
      BuildRecord({{"001", "marc8"},
                   {"245", DataContent("10", {{'a',
                                               "Soci\xE2"
                                               "et\xE2"
                                               "e"},
                                              {'b', "\x1B(Nnauka\x1B(B"}})},
                   {"500", DataContent("  ", {{'a', "bad \xAF code"}})}},
                  marc8);
  std::ofstream out(argv[1], std::ios::binary);
  out << order << escapes << repaired << "junk" << BuildRecord({{"245", Bytes("00$aLast")}})
      << cyrillic;
  return out ? 0 : 1;
}
