// quillet-dump's formats: escaping that keeps line formats one field per
// line whatever the bytes, and JSON that stays valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "dump.h"
#include "support/record_builder.h"

namespace quillet_dump {
namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;

std::string Formatted(Format format, const std::string& bytes) {
  const quillet::RecordView rec = quillet::RecordView::parse(bytes.data(), bytes.size());
  TextBuffer out;
  TextConverter text(Charset::kRaw, false);
  text.StartRecord(rec);
  AppendRecord(format, rec, TagFilter(), text, out);
  return std::string(out.view());
}

TEST(DumpFormats, EscapesEveryByteThatCouldBreakALine) {
  const struct {
    std::string in;
    const char* mrk;
    const char* line;
  } cases[] = {
      {"a\nb", "a{0x0A}b", "a{0x0A}b"},
      {"\r\t\x01\x7F", "{0x0D}{0x09}{0x01}{0x7F}", "{0x0D}{0x09}{0x01}{0x7F}"},
      {"{0x0A}", "{lcub}0x0A}", "{lcub}0x0A}"},  // the notation itself cannot be forged
      {"$5", "{dollar}5", "$5"},
      {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string mrk, line;
    AppendEscaped(c.in, true, mrk);
    AppendEscaped(c.in, false, line);
    EXPECT_EQ(c.mrk, mrk);
    EXPECT_EQ(c.line, line);
  }
}

TEST(DumpFormats, EveryFieldIsOneLineWhateverItsBytes) {
  std::string awkward;
  for (int b = 0; b < 256; ++b) {
    if (b != 0x1D && b != 0x1E && b != 0x1F) awkward += static_cast<char>(b);
  }
  const std::string rec =
      BuildRecord({{"001", awkward}, {"500", DataContent("\n\r", {{'a', awkward}, {'\n', ""}})}});
  for (Format format : {Format::kMrk, Format::kLine}) {
    const std::string out = Formatted(format, rec);
    EXPECT_EQ(4, std::count(out.begin(), out.end(), '\n'));  // leader, 001, 500, blank line
  }
}

TEST(DumpFormats, JsonIsValidWhateverTheBytes) {
  const std::string rec = BuildRecord(
      {{"001", "q\"\\\t\x01"}, {"245", DataContent("1\x7F", {{'a', "caf\xC3\xA9 \xFF\xC3"}, {'b', ""}})}});
  EXPECT_EQ("{\"leader\":\"" + rec.substr(0, 24) +
                "\",\"fields\":[{\"001\":\"q\\\"\\\\\\t\\u0001\"},{\"245\":{\"ind1\":\"1\","
                "\"ind2\":\"\x7F\",\"subfields\":[{\"a\":\"caf\xC3\xA9 "
                "\xEF\xBF\xBD\xEF\xBF\xBD\"},{\"b\":\"\"}]}}]}\n",
            Formatted(Format::kJson, rec));
}

TEST(DumpFormats, JsonReplacesMalformedUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},                                          // euro sign, kept
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                                  // four bytes, kept
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // cut short
  };
  for (const auto& c : cases) {
    std::string out;
    AppendJsonText(c.in, out);
    EXPECT_EQ(c.out, out);
  }
}

TEST(DumpStats, CountsRecordsAndOccurrencesPerTagAndCode) {
  using quillet_test::Bytes;
  const std::string one = BuildRecord({{"001", "1"},
                                       {"245", Bytes("10$aTitle$bpart")},
                                       {"650", Bytes(" 0$aMaps")},
                                       {"650", Bytes(" 0$aSeas$xHistory$x")}});
  const std::string two = BuildRecord({{"245", Bytes("00$aOther")}, {"517", "1 "}});
  TagStats stats;
  for (const std::string& bytes : {one, two}) {
    stats.Add(quillet::RecordView::parse(bytes.data(), bytes.size()));
  }
  EXPECT_EQ("records\t\t2\t\n"
            "bytes\t\t" + std::to_string(one.size() + two.size()) + "\t\n"
            "problem\tdata field without subfield delimiter\t1\t\n"
            "field\t001\t1\t1\n"
            "field\t245\t2\t2\n"
            "subfield\t245$a\t2\t2\n"
            "subfield\t245$b\t1\t1\n"
            "field\t517\t1\t1\n"
            "field\t650\t1\t2\n"
            "subfield\t650$a\t1\t2\n"
            "subfield\t650$x\t1\t2\n",
            stats.Table());
}

}  // namespace
}  // namespace quillet_dump
