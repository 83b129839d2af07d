// make_fuzz_seeds OUT_DIR SAMPLE.mrc: writes the seed corpus of every fuzz
// target, built with the tests' record builder: valid records of many
// shapes, each kind of damage the tests know, and streams of several
// records with filler between them.
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "support/record_builder.h"
#include "support/text_formats.h"

namespace {

namespace fs = std::filesystem;
using quillet_test::BuildRecord;
using quillet_test::DataContent;
using quillet_test::EntryPos;
using quillet_test::Patched;

std::vector<std::string> ValidRecords(const std::vector<std::string>& sample) {
  std::vector<std::string> records = sample;
  records.push_back(BuildRecord({}));
  records.push_back(BuildRecord({{"001", "345"}}));
  records.push_back(BuildRecord({{"001", ""}, {"005", "x"}}));
  records.push_back(BuildRecord({{"245", DataContent("10", {{'a', "Abc"}, {'b', "De"}})},
                                 {"100", DataContent("1 ", {{'a', "A"}})},
                                 {"650", DataContent(" 0", {{'a', "First"}})},
                                 {"650", DataContent(" 7", {{'a', "Second"}})},
                                 {"001", "12345"}}));
  records.push_back(BuildRecord({{"001", DataContent("  ", {{'a', "123"}})}}));
  records.push_back(BuildRecord({{"001", "2147483648"},
                                 {"500", "ab"},
                                 {"008",
                                  "x\x1F"
                                  "ab"}}));
  // Subfield shapes: empty, repeated delimiters, code 0x1F, stray bytes.
  records.push_back(BuildRecord({{"500", std::string("10\x1F"
                                                     "aAbc\x1F"
                                                     "b\x1F"
                                                     "cX")},
                                 {"501", std::string("10\x1F\x1F"
                                                     "aX")},
                                 {"502", std::string("10\x1F"
                                                     "a\0b\x1F"
                                                     "c",
                                                     8)},
                                 {"503", std::string("10\x1F"
                                                     "aAbc\x1E"
                                                     "ZZ\x1F"
                                                     "zQ")},
                                 {"504", std::string("10\x1F"
                                                     "a")}}));
  std::string many = "  ";
  for (char c = 'a'; c <= 'z'; ++c) many += std::string("\x1F") + c + "value";
  records.push_back(BuildRecord({{"520", many}}));
  records.push_back(BuildRecord({{"500", std::string(9000, 'x')}}));
  return records;
}

std::vector<std::string> BrokenRecords() {
  const std::string good =
      BuildRecord({{"001", "7"}, {"005", "x"}, {"245", DataContent("10", {{'a', "T"}})}});
  const std::string last = std::to_string(good.size() - 1);
  std::vector<std::string> broken = {
      Patched(good, 0, "0a100"),
      Patched(good, 0, "00024"),
      Patched(good, 0, "99999"),
      good.substr(0, 4),
      good.substr(0, good.size() - 1),
      Patched(good, 12, "00000"),
      Patched(good, 12, std::string(5 - last.size(), '0') + last),
      Patched(good, 12, "2f003"),
      Patched(good, EntryPos(1) + 3, "9999"),
      Patched(good, EntryPos(1) + 3, "0000"),
      Patched(good, EntryPos(1) + 3, "00x2"),
      Patched(good, EntryPos(2) + 7, "00100"),
      Patched(good, 24, "\x1E"),
      Patched(good, good.size() - 1, "\x1E"),
      std::string("00043nam a2200030 a 4500") + "245000200000" + "2450002",
  };
  return broken;
}

// MARCXML documents of the shapes the reader takes and the damage it
// reports; the fuzz target reads a first byte that picks the chunk size.
std::vector<std::string> MarcXmlDocuments() {
  const std::string record =
      "<record><leader>00000nam a2200000 a 4500</leader>"
      "<controlfield tag=\"001\">id &amp; 1</controlfield>"
      "<datafield tag=\"245\" ind1=\"1\" ind2=\"0\"><subfield code=\"a\">T&#233;tle</subfield>"
      "<subfield code=\"\">x</subfield></datafield></record>\n";
  return {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<collection "
      "xmlns=\"http://www.loc.gov/MARC21/slim\">\n" +
          record + record + "</collection>\n",
      record,
      record + record,
      "<marc:collection xmlns:marc=\"http://www.loc.gov/MARC21/slim\"><marc:record><marc:leader>x"
      "</marc:leader><marc:datafield tag=\"500\"><marc:subfield "
      "code=\"a\"><![CDATA[<b>]]></marc:subfield>"
      "</marc:datafield></marc:record></marc:collection>",
      "<!DOCTYPE collection [<!ENTITY e \"e &#38;#38; f\">]><collection>" + record.substr(0, 120) +
          "&e;" + record.substr(120) + "</collection>",
      "<collection><foo/>text" + record.substr(0, 60) +
          "<datafield tag=\"24\" ind1=\"12\"><subfield code=\"ab\">"
          "</subfield></datafield></controlfeld>" +
          record + "</collection>",
      "<collection>" + record + record.substr(0, 90),
      "<collection>" + record + "\xFF\xC3" + record + "</collection>",
  };
}

void Write(const fs::path& dir, int& n, const std::string& bytes) {
  std::ofstream out(dir / ("seed-" + std::to_string(n++)), std::ios::binary);
  out << bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_fuzz_seeds OUT_DIR SAMPLE.mrc\n";
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    std::cerr << "make_fuzz_seeds: cannot open " << argv[2] << '\n';
    return 2;
  }
  // The sample's records, one after another (their lengths chain).
  const std::string sample((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> records;
  for (std::size_t at = 0; at + 5 <= sample.size();) {
    const std::size_t length = std::stoul(sample.substr(at, 5));
    if (length < 25 || at + length > sample.size()) break;
    records.push_back(sample.substr(at, length));
    at += length;
  }
  const fs::path out(argv[1]);
  const std::vector<std::string> valid = ValidRecords(records);
  const std::vector<std::string> broken = BrokenRecords();

  std::vector<std::string> singles = valid;
  singles.insert(singles.end(), broken.begin(), broken.end());

  // Streams: records back to back, growing, with damage and filler.
  std::vector<std::string> streams;
  std::string all;
  for (const std::string& r : valid) all += r;
  streams.push_back(all);
  streams.push_back(valid[1] + valid.back() + valid[2]);
  for (const std::string& b : broken) streams.push_back(valid[0] + b + valid[3]);
  streams.push_back(valid[0] + "\r\n\x1A" + valid[1] + std::string("\0 \n", 3));

  // MARC-in-JSON: the valid records as JSON lines, as an array, cut short,
  // and with a byte changed here and there.
  const std::string lines =
      quillet_test::WriteAll(valid, quillet::Format::kJson, quillet::Charset::kRaw);
  std::vector<std::string> json = {lines, "[" + lines + "]", lines.substr(0, lines.size() / 3)};
  for (std::size_t at : {std::size_t{1}, std::size_t{9}, std::size_t{40}, lines.size() / 2}) {
    for (const char* damage : {"\"", "{", "}", "\\", "\n", "\xC3"}) {
      if (at < lines.size()) json.push_back(Patched(lines, at, damage));
    }
  }

  for (const char* target :
       {"record", "stream", "dump", "agreement", "marc_record", "json_reader", "marcxml_reader"}) {
    fs::create_directories(out / target);
  }
  int n = 0;
  for (const std::string& s : singles) Write(out / "record", n, s);
  for (const std::string& s : singles) Write(out / "stream", n, s);
  for (const std::string& s : streams) Write(out / "stream", n, s);
  for (const std::string& s : singles) Write(out / "agreement", n, s);
  for (const std::string& s : streams) Write(out / "agreement", n, s);
  for (const std::string& s : json) Write(out / "json_reader", n, s);
  // The dump target's first byte picks mode, format and selection.
  for (unsigned char choice : {0x00, 0x01, 0x02, 0x03, 0x04, 0x08, 0x20, 0x44, 0x88, 0xE3}) {
    for (const std::string& s : streams)
      Write(out / "dump", n, std::string(1, static_cast<char>(choice)) + s);
  }
  // The marc_record target: a choice byte, a record of a two-byte length
  // (or none), then changes, one byte choosing each.
  std::string changes;
  for (const int b :
       std::initializer_list<int>{0x00, 0x08, '0',  '0',  '1',  0x03, 'a', 'b', 'c',  // add 001
                                  0x04, 0x08, '5',  '0',  '0',  0x02, 'o', 'k',  // 500 in tag order
                                  0x06, 0x00,                                    // remove 9XX
                                  0x0F, 0x01, 'a',  0x04, 'N',  'e',  'w', '!',  // set $a
                                  0x0C, 0x01, 0x00, 'b',  0x01, 'x',             // insert $b
                                  0x0D, 0x01, 0x00, 0x11, 0x09, ' '}) {          // remove, leader
    changes += static_cast<char>(b);
  }
  for (const std::string& s : singles) {
    if (s.size() > 0xFFFF) continue;
    const std::string length{static_cast<char>(s.size() & 0xFF), static_cast<char>(s.size() >> 8)};
    Write(out / "marc_record", n, "\x01" + length + s);
    Write(out / "marc_record", n, "\x03" + length + s + changes);
  }
  Write(out / "marc_record", n, std::string(1, '\0') + changes);
  Write(out / "marc_record", n,
        std::string(1, '\x02') + changes +
            std::string("\x00\x08"
                        "009\xF8",
                        6));
  // The readers of the text formats: the valid records and the streams in
  // each format, as read and decoded.
  const struct {
    const char* target;
    quillet::Format format;
  } texts[] = {{"mnemonic_reader", quillet::Format::kMnemonic},
               {"json_reader", quillet::Format::kJson}};
  for (const auto& t : texts) {
    fs::create_directories(out / t.target);
    for (const std::string& s : valid) {
      Write(out / t.target, n, quillet_test::WriteAll({s}, t.format, quillet::Charset::kRaw));
    }
    Write(out / t.target, n, quillet_test::WriteAll(valid, t.format, quillet::Charset::kAuto));
  }
  for (unsigned char chunk : {0x00, 0x06, 0x80}) {  // chunks of 1, 7 and 64 KiB
    for (const std::string& s : MarcXmlDocuments())
      Write(out / "marcxml_reader", n, std::string(1, static_cast<char>(chunk)) + s);
  }
  std::cout << "wrote " << n << " seeds to " << out.string() << '\n';
  return 0;
}
