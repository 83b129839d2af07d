// Reading records from the text formats: what the writers write reads back
// as the same record, and damaged text is reported where it is and read on.
#include <gtest/gtest.h>
#include <quillet/formats.h>
#include <quillet/text.h>
#include <quillet/view.h>
#include <quillet/writer.h>

#include <string>
#include <vector>

#include "support/record_builder.h"
#include "support/text_formats.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::DataContent;
using quillet_test::Read;
using quillet_test::ReadAll;
using quillet_test::WriteAll;

// Records whose every awkward byte the text formats must escape and restore.
std::vector<std::string> AwkwardRecords() {
  std::string controls;
  for (int b = 1; b < 0x20; ++b) {
    if (b != 0x1D && b != 0x1E && b != 0x1F) controls += static_cast<char>(b);
  }
  return {
      BuildRecord({{"001", "id 1\\x"}, {"008", "  blanks  and \\ {braces} $dollar"}}),
      BuildRecord({{"245", DataContent("\\{", {{'a', "$a {lcub} \\ \x7F" + controls},
                                               {'$', "dollar code"}})},
                   {"500", DataContent("  ", {{'a', ""}, {'b', ""}})},  // empty subfields
                   {"520", Bytes("1 before the first$aafter")},         // bytes before a delimiter
                   {"590", Bytes("  $$a")},                             // a delimiter without code
                   {"650", Bytes(" 0")}}),                              // no subfield at all
      BuildRecord({{"100", DataContent("1 ", {{'a', "Caf\xC3\xA9 \xE2\x82\xAC"}})}}),
  };
}

TEST(MnemonicReader, ReadsBackEveryRecordTheWriterWrites) {
  const std::vector<std::string> records = AwkwardRecords();
  std::string all;
  for (const std::string& r : records) all += r;
  const Read original = ReadAll(all, InputFormat::kIso2709);  // the damage the records hold
  ASSERT_EQ(3u, original.problems.size());
  const std::string text = WriteAll(records, Format::kMnemonic, Charset::kRaw);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 16}) {
    const Read read = ReadAll(text, InputFormat::kMnemonic, chunk);
    EXPECT_EQ(records, read.records) << "chunk " << chunk;
    EXPECT_EQ(original.problems, read.problems) << "chunk " << chunk;
  }
}

TEST(MnemonicReader, TakesTheEditorsHabits) {
  // CRLF line ends, no blank line between records, none at the end, no final
  // line end, a leader without its two blanks.
  const std::string one = BuildRecord({{"001", "a"}, {"245", DataContent("10", {{'a', "T"}})}});
  const std::string two = BuildRecord({{"001", "b"}});
  const std::string text = "=LDR  " + one.substr(0, 24) + "\r\n=001  a\r\n=245  10$aT\r\n=LDR" +
                           two.substr(0, 24) + "\n=001  b";
  const Read read = ReadAll(text, InputFormat::kMnemonic);
  EXPECT_EQ((std::vector<std::string>{one, two}), read.records);
  EXPECT_TRUE(read.problems.empty());
}

TEST(MnemonicReader, ReportsDamageWithItsLineAndReadsOn) {
  const std::string lead = BuildRecord({}).substr(0, 24);
  const std::string text =
      "stray line\n"
      "=LDR  " +
      lead +
      "\n"
      "=245  1\xEF\xBF\xBD$\xEF\xBF\xBDvalue\n"  // U+FFFD as indicator and code
      "no equals sign\n"
      "=500X$ano blanks\n"
      "={0x1E}\x1D"
      "0  12$ax\n"  // separators in a tag would end the directory
      "\n"
      "=LDR  short\xEF\xBF\xBD\n"
      "=001  x\n";
  const Read read = ReadAll(text, InputFormat::kMnemonic);
  ASSERT_EQ(2u, read.records.size());
  const std::vector<std::string> want = {
      "record 1: content the format does not define skipped (line 1, column 1: a line outside a "
      "record)",
      "record 1: field repaired (line 3, column 8: indicator that is not one byte read as a blank)",
      "record 1: field repaired (line 3, column 12: subfield code that is not one byte read as ?)",
      "record 1: content the format does not define skipped (line 4, column 1: a line that is not "
      "=TAG)",
      "record 1: field repaired (line 5, column 5: expected two blanks after the tag)",
      "record 1: field repaired (line 6, column 2: tag byte that is a separator read as ?)",
      "record 1: field repaired (line 6, column 8: tag byte that is a separator read as ?)",
      "record 2: field repaired (line 8, column 7: leader characters that are not one byte, or "
      "separators, read as blanks)",
      "record 2: field repaired (line 8, column 7: leader of 6 characters; padded with blanks)",
  };
  EXPECT_EQ(want, read.problems);
  const RecordView first = RecordView::parse(read.records[0].data(), read.records[0].size());
  ASSERT_EQ(3u, first.fields().size());
  EXPECT_EQ("??0", first.fields()[2].tag());
  EXPECT_EQ("1 \x1F?value", first.fields()[0].data());
  EXPECT_EQ(
      "X \x1F"
      "ano blanks",
      first.fields()[1].data());
  const RecordView second = RecordView::parse(read.records[1].data(), read.records[1].size());
  EXPECT_EQ(' ', second.leader()[5]);  // U+FFFD; the length before it is computed
}

TEST(MnemonicReader, ReadsEveryWellFormedRealRecordBackAsItWasWritten) {
  std::size_t compared = 0;
  const std::vector<std::string> differ = quillet_test::RoundTripCorpus(
      QUILLET_CORPUS_DIR, Format::kMnemonic, InputFormat::kMnemonic, &compared);
  if (compared == 0) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  EXPECT_TRUE(differ.empty()) << differ.size() << " differ; the first: " << differ[0];
}

TEST(InputFormats, AreToldFromTheFirstBytes) {
  const struct {
    std::string head;
    InputFormat want;
  } cases[] = {
      {"", InputFormat::kIso2709},
      {"00714cam a2200205 a 4500", InputFormat::kIso2709},
      {"<?xml version=\"1.0\"?>", InputFormat::kMarcXml},
      {"\xEF\xBB\xBF\r\n  <marc:collection", InputFormat::kMarcXml},
      {"{\"leader\":", InputFormat::kJson},
      {" [ {", InputFormat::kJson},
      {"=LDR  00714cam", InputFormat::kMnemonic},
      {"root:x:0:0:root", InputFormat::kAuto},
      {"[junk]00026nam  2200025   4500\x1E\x1D", InputFormat::kIso2709},  // records after junk
      {"   \n", InputFormat::kAuto},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, detectFormat(c.head)) << c.head;

  // Their names, as users type them.
  InputFormat named = InputFormat::kAuto;
  for (const char* name : {"marc", "ISO2709", "usmarc"}) {
    EXPECT_TRUE(parseInputFormat(name, &named) && named == InputFormat::kIso2709) << name;
  }
  EXPECT_TRUE(parseInputFormat("MarcXml", &named) && named == InputFormat::kMarcXml);
  EXPECT_TRUE(parseInputFormat("mrk", &named) && named == InputFormat::kMnemonic);
  for (const char* refused : {"", "marc21", "xml ", "mnemonics"}) {
    EXPECT_FALSE(parseInputFormat(refused, &named)) << refused;
  }

  const std::string record = BuildRecord({{"001", "x"}});
  const std::string mrk = WriteAll({record}, Format::kMnemonic, Charset::kRaw);
  for (InputFormat asked : {InputFormat::kAuto, InputFormat::kMnemonic}) {
    Reader::Options options;
    options.format = asked;
    Reader reader(mrk.data(), mrk.size(), options);
    EXPECT_EQ(InputFormat::kMnemonic, reader.format());
    RecordView rec;
    ASSERT_TRUE(reader.next(rec));
    EXPECT_EQ(record, rec.bytes());
    EXPECT_FALSE(reader.next(rec));
  }
}

}  // namespace
}  // namespace quillet
