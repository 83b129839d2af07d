// quillet-dump's reading, resynchronising and formatting, called directly.
#include "dump.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/record_builder.h"

namespace quillet_dump {
namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;
using quillet_test::EntryPos;
using quillet_test::ExactBuffer;
using quillet_test::Patched;

struct Outcome {
  std::string out, err;
  Stats stats;
};

Outcome DumpBytes(const std::string& bytes, Options options = {}) {
  std::ostringstream out, err;
  Dumper dumper(options, out, err);
  const ExactBuffer buf(bytes);
  Outcome run;
  run.stats = dumper.DumpMemory("f.mrc", buf.data(), buf.size());
  run.out = out.str();
  run.err = err.str();
  return run;
}

Outcome DumpStream(const std::string& bytes, Options options = {}) {
  std::ostringstream out, err;
  std::istringstream in(bytes);
  Dumper dumper(options, out, err);
  Outcome run;
  run.stats = dumper.DumpStream("<stdin>", in);
  run.out = out.str();
  run.err = err.str();
  return run;
}

Options WithFormat(Format format) {
  Options o;
  o.format = format;
  return o;
}

std::string Rec(const std::string& id, const std::string& title = "Title") {
  return BuildRecord({{"001", id}, {"245", DataContent("10", {{'a', title}})}});
}

TEST(DumpFormats, MnemonicEscapesBlanksAndDollars) {
  const std::string rec =
      BuildRecord({{"008", "a b"}, {"020", DataContent("  ", {{'a', "1 2"}, {'c', "$5"}})}});
  const Outcome run = DumpBytes(rec);
  EXPECT_EQ("=LDR  " + rec.substr(0, 24) + "\n=008  a\\b\n=020  \\\\$a1 2$c{dollar}5\n\n", run.out);
  EXPECT_EQ("", run.err);
}

TEST(DumpFormats, LineSeparatesItemsWithSpaces) {
  const std::string rec =
      BuildRecord({{"001", "12"}, {"100", DataContent("1 ", {{'a', "Doe, J."}, {'d', "1900-"}})}});
  EXPECT_EQ(rec.substr(0, 24) + "\n001 12\n100 1  $a Doe, J. $d 1900-\n\n",
            DumpBytes(rec, WithFormat(Format::kLine)).out);
}

TEST(DumpFormats, JsonIsValidWhateverTheBytes) {
  const std::string rec = BuildRecord(
      {{"001", "q\"\\\t\x01"}, {"245", DataContent("1\x7F", {{'a', "caf\xC3\xA9 \xFF\xC3"}})}});
  const std::string leader = rec.substr(0, 24);
  EXPECT_EQ("{\"leader\":\"" + leader +
                "\",\"fields\":[{\"001\":\"q\\\"\\\\\\t\\u0001\"},{\"245\":{\"ind1\":\"1\","
                "\"ind2\":\"\x7F\",\"subfields\":[{\"a\":\"caf\xC3\xA9 "
                "\xEF\xBF\xBD\xEF\xBF\xBD\"}]}}]}\n",
            DumpBytes(rec, WithFormat(Format::kJson)).out);
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
    AppendJsonText(c.in.data(), c.in.size(), out);
    EXPECT_EQ(c.out, out);
  }
}

TEST(DumpFormats, TagSelectionPrintsOnlyThoseTagsInTagOrder) {
  const std::string rec = BuildRecord({{"001", "1"},
                                       {"650", DataContent(" 0", {{'a', "B"}})},
                                       {"245", DataContent("10", {{'a', "T"}})},
                                       {"650", DataContent(" 0", {{'a', "C"}})}});
  Options options = WithFormat(Format::kLine);
  options.tags = {"650", "245", "999"};
  EXPECT_EQ(rec.substr(0, 24) + "\n245 10 $a T\n650  0 $a B\n650  0 $a C\n\n",
            DumpBytes(rec, options).out);
}

TEST(DumpResync, BadLengthIsReportedAndLaterRecordsRead) {
  const std::string a = Rec("1"), b = Patched(Rec("2"), 0, "0x123"), c = Rec("3");
  Options options = WithFormat(Format::kLine);
  options.tags = {"001"};
  const Outcome run = DumpBytes(a + b + c, options);
  EXPECT_EQ("f.mrc: record 2 at byte " + std::to_string(a.size()) + ": BytesToInt Error\n",
            run.err);
  EXPECT_NE(std::string::npos, run.out.find("001 1\n"));
  EXPECT_NE(std::string::npos, run.out.find("001 3\n"));
  EXPECT_EQ(2u, run.stats.records);
  EXPECT_EQ(1u, run.stats.bad_records);
  EXPECT_EQ(b.size(), run.stats.bytes_skipped);
}

TEST(DumpResync, FillerBetweenRecordsIsSkippedQuietly) {
  const std::string a = Rec("1"), b = Rec("2");
  Options options;
  options.mode = Mode::kIndex;
  const Outcome run = DumpBytes(a + "\r\n\x1A" + b + std::string("\0 \n", 3), options);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(0u, run.stats.bad_records);
  EXPECT_EQ(6u, run.stats.bytes_skipped);
  EXPECT_NE(std::string::npos, run.out.find("2\t" + std::to_string(a.size() + 3) + "\t"));
}

TEST(DumpResync, LengthTooLongOrTooShortResumesAtTheTerminator) {
  const std::string a = Rec("1"), b = Rec("2");
  const std::string len_long = std::to_string(100000 + a.size() + 1).substr(1);
  const std::string len_short = std::to_string(100000 + a.size() - 1).substr(1);
  Options options;
  options.mode = Mode::kIndex;
  for (const std::string& length : {len_long, len_short}) {
    SCOPED_TRACE(length);
    const Outcome run = DumpBytes(Patched(a, 0, length) + b, options);
    EXPECT_EQ("f.mrc: record 1 at byte 0: record length " + std::to_string(std::stoi(length)) +
                  " does not end at a record terminator\n",
              run.err);
    // The second record is found where it really starts.
    EXPECT_NE(std::string::npos, run.out.find("2\t" + std::to_string(a.size()) + "\t"));
  }
}

TEST(DumpResync, MissingTerminatorWithARightLengthKeepsTheLength) {
  const std::string a = Rec("1"), b = Rec("2");
  Options options;
  options.mode = Mode::kCount;
  const Outcome run = DumpBytes(Patched(a, a.size() - 1, "\x1E") + b, options);
  EXPECT_EQ("f.mrc: record 1 at byte 0: record does not end with a record terminator\n", run.err);
  EXPECT_EQ(2u, run.stats.records);
}

TEST(DumpResync, TruncatedLastRecordSkipsToTheEnd) {
  const std::string a = Rec("1"), b = Rec("2");
  const Outcome run = DumpBytes(a + b.substr(0, 30));
  EXPECT_EQ("f.mrc: record 2 at byte " + std::to_string(a.size()) +
                ": Record length longer than buffer size\n",
            run.err);
  EXPECT_EQ(30u, run.stats.bytes_skipped);
}

TEST(DumpCheck, ReportsBadDirectoryAndGoesOn) {
  const std::string a = Rec("1"), c = Rec("3");
  const std::string b = Patched(Rec("2"), EntryPos(1) + 3, "9999");
  Options options;
  options.mode = Mode::kCheck;
  const Outcome run = DumpBytes(a + b + c + BuildRecord({{"001", "x1"}}), options);
  const std::size_t at_d = a.size() + b.size() + c.size();
  EXPECT_EQ("f.mrc: record 2 at byte " + std::to_string(a.size()) + ": Field out of buffer.\n" +
                "f.mrc: record 4 at byte " + std::to_string(at_d) +
                ": BytesToInt Error (control number in 001)\n",
            run.err);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(4u, run.stats.records);
  EXPECT_EQ(2u, run.stats.bad_records);
}

TEST(DumpCheck, DamagedRecordStillPrintsWhatParsed) {
  const std::string rec =
      Patched(BuildRecord({{"001", "5"}, {"245", DataContent("10", {{'a', "T"}})}}),
              EntryPos(1) + 3, "0x04");
  const Outcome run = DumpBytes(rec, WithFormat(Format::kLine));
  EXPECT_EQ(rec.substr(0, 24) + "\n001 5\n\n", run.out);
  EXPECT_EQ("f.mrc: record 1 at byte 0: BytesToInt Error\n", run.err);
}

TEST(DumpSelection, OffsetAndLimitCountRecords) {
  std::string all;
  for (int i = 1; i <= 5; ++i) all += Rec(std::to_string(i));
  Options options;
  options.mode = Mode::kIndex;
  options.offset = 1;
  options.limit = 2;
  const Outcome run = DumpBytes(all, options);
  EXPECT_EQ(0u, run.out.find("2\t"));
  EXPECT_NE(std::string::npos, run.out.find("\n3\t"));
  EXPECT_EQ(std::string::npos, run.out.find("\n4\t"));
}

TEST(DumpIndex, GivesOffsetLengthIdAndDigest) {
  const std::string a = Rec("77"), b = BuildRecord({{"005", "x"}});
  Options options;
  options.mode = Mode::kIndex;
  const Outcome run = DumpBytes(a + b, options);
  std::istringstream lines(run.out);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_EQ(0u, first.find("1\t0\t" + std::to_string(a.size()) + "\t77\t"));
  EXPECT_EQ(0u, second.find("2\t" + std::to_string(a.size()) + "\t" + std::to_string(b.size()) +
                            "\t-\t"));
  EXPECT_EQ(first.size(), first.rfind('\t') + 33);  // 32 hex digits
}

TEST(DumpStream, ReadsRecordsAndIgnoresTrailingNewlines) {
  Options options;
  options.mode = Mode::kCount;
  const Outcome run = DumpStream(Rec("1") + "\n" + Rec("2") + "\n\n", options);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(2u, run.stats.records);
}

TEST(DumpStream, BadLengthEndsTheInput) {
  const std::string a = Rec("1");
  Options options;
  options.mode = Mode::kCount;
  const Outcome run = DumpStream(a + Patched(Rec("2"), 0, "00x00") + Rec("3"), options);
  EXPECT_EQ("<stdin>: record 2 at byte " + std::to_string(a.size()) +
                ": BytesToInt Error (input ends here: a stream cannot resynchronise)\n",
            run.err);
  EXPECT_EQ(1u, run.stats.records);
  EXPECT_EQ(1u, run.stats.bad_records);
}

TEST(DumpStream, TruncatedRecordIsReported) {
  const std::string a = Rec("1");
  const Outcome run = DumpStream(a + Rec("2").substr(0, 40), Options{});
  EXPECT_EQ("<stdin>: record 2 at byte " + std::to_string(a.size()) +
                ": Unable to read record (input ends here: a stream cannot resynchronise)\n",
            run.err);
  const Outcome tail = DumpStream(a + "012", Options{});
  EXPECT_EQ("<stdin>: record 2 at byte " + std::to_string(a.size()) +
                ": input ends inside a record length\n",
            tail.err);
}

}  // namespace
}  // namespace quillet_dump
