// Reading records from the text formats: what the writers write reads back
// as the same record, and damaged text is reported where it is and read on.
#include <gtest/gtest.h>
#include <quillet/formats.h>
#include <quillet/text.h>
#include <quillet/view.h>
#include <quillet/writer.h>

#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::DataContent;

// The records of `text` read as `format`, each as its bytes, and every
// problem described ("record N: ..." or "none: ...").
struct Read {
  std::vector<std::string> records;
  std::vector<std::string> problems;
};

Read ReadAll(const std::string& text, InputFormat format, std::size_t chunk = 1 << 16) {
  const quillet_test::ExactBuffer exact(text);
  Reader::Options options;
  options.format = format;
  options.chunk_size = chunk;
  Reader reader(exact.data(), exact.size(), options);
  Read out;
  RecordView rec;
  while (reader.next(rec)) {
    out.records.emplace_back(rec.bytes());
    for (const Problem& p : rec.problems()) {
      out.problems.push_back("record " + std::to_string(out.records.size()) + ": " + p.describe());
    }
  }
  for (const Problem& p : reader.problems()) out.problems.push_back("none: " + p.describe());
  return out;
}

// The record as the writer builds it from its fields: the same bytes for a
// record whose fields' data stand in directory order.
std::string Rebuilt(const std::string& bytes) {
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  RecordWriter writer;
  writer.setLeader(rec.leader());
  for (const FieldView& f : rec.fields()) writer.addField(f.tag(), f.data());
  return writer.build();
}

// Whether the leader, every tag, indicator and subfield code of the record
// is ASCII: others cannot be written as UTF-8 text one byte each.
bool PlainCodes(const RecordView& rec) {
  for (const char c : rec.leader()) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  for (const FieldView& f : rec.fields()) {
    for (const char c : f.tag()) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    for (const char c : f.indicators()) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    for (const SubfieldView& s : f.subfields()) {
      if (static_cast<unsigned char>(s.code()) >= 0x80) return false;
    }
  }
  return true;
}

// `records` written in `format` through a RecordText of `charset`.
std::string WriteAll(const std::vector<std::string>& records, Format format, Charset charset) {
  OutputBuffer out;
  RecordText text({charset});
  for (const std::string& bytes : records) {
    const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
    text.start(rec);
    writeRecord(format, rec, text, out);
  }
  return std::string(out.view());
}

// Records whose every awkward byte the text formats must escape and restore.
std::vector<std::string> AwkwardRecords() {
  std::string controls;
  for (int b = 1; b < 0x20; ++b) {
    if (b != 0x1D && b != 0x1E && b != 0x1F) controls += static_cast<char>(b);
  }
  return {
      BuildRecord({{"001", "id 1\\x"}, {"008", "  blanks  and \\ {braces} $dollar"}}),
      BuildRecord({{"245", DataContent("\\{", {{'a', "$a {lcub} \\ \x7F" + controls}, {'$', "dollar code"}})},
                   {"500", DataContent("  ", {{'a', ""}, {'b', ""}})},        // empty subfields
                   {"520", Bytes("1 before the first$aafter")},              // bytes before a delimiter
                   {"590", Bytes("  $$a")},                                   // a delimiter without code
                   {"650", Bytes(" 0")}}),                                    // no subfield at all
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
  const std::string text = "stray line\n"
                           "=LDR  " + lead + "\n"
                           "=245  1\xEF\xBF\xBD$\xEF\xBF\xBDvalue\n"   // U+FFFD as indicator and code
                           "no equals sign\n"
                           "=500X$ano blanks\n"
                           "\n"
                           "=LDR  short\xEF\xBF\xBD\n"
                           "=001  x\n";
  const Read read = ReadAll(text, InputFormat::kMnemonic);
  ASSERT_EQ(2u, read.records.size());
  const std::vector<std::string> want = {
      "record 1: content the format does not define skipped (line 1, column 1: a line outside a record)",
      "record 1: field repaired (line 3, column 8: indicator that is not one byte read as a blank)",
      "record 1: field repaired (line 3, column 12: subfield code that is not one byte read as ?)",
      "record 1: content the format does not define skipped (line 4, column 1: a line that is not =TAG)",
      "record 1: field repaired (line 5, column 5: expected two blanks after the tag)",
      "record 2: field repaired (line 7, column 7: leader characters that are not one byte read as blanks)",
      "record 2: field repaired (line 7, column 7: leader of 6 characters; padded with blanks)",
  };
  EXPECT_EQ(want, read.problems);
  const RecordView first = RecordView::parse(read.records[0].data(), read.records[0].size());
  ASSERT_EQ(2u, first.fields().size());
  EXPECT_EQ("1 \x1F?value", first.fields()[0].data());
  EXPECT_EQ("X \x1F" "ano blanks", first.fields()[1].data());
  const RecordView second = RecordView::parse(read.records[1].data(), read.records[1].size());
  EXPECT_EQ(' ', second.leader()[5]);  // U+FFFD; the length before it is computed
}

TEST(TextReaders, ReadEveryWellFormedRealRecordBackAsItWasWritten) {
  std::size_t compared = 0;
  for (const auto& path : quillet_test::CorpusFiles(QUILLET_CORPUS_DIR)) {
    const std::string bytes = quillet_test::ReadFile(path);
    Reader reader(bytes.data(), bytes.size());
    std::vector<std::string> clean;
    RecordView rec;
    std::vector<std::string> rebuilt;
    while (reader.next(rec)) {
      if (!rec.problems().empty() || !PlainCodes(rec)) continue;
      clean.emplace_back(rec.bytes());
      rebuilt.push_back(Rebuilt(clean.back()));
    }
    if (clean.empty()) continue;
    // As read (raw), every record is the same fields again.
    const Read raw = ReadAll(WriteAll(clean, Format::kMnemonic, Charset::kRaw), InputFormat::kMnemonic);
    EXPECT_EQ(rebuilt, raw.records) << path;
    // Decoded to UTF-8, it is the record the ISO 2709 writer converts.
    const Read decoded =
        ReadAll(WriteAll(clean, Format::kMnemonic, Charset::kAuto), InputFormat::kMnemonic);
    const Read converted =
        ReadAll(WriteAll(clean, Format::kIso2709, Charset::kAuto), InputFormat::kIso2709);
    std::vector<std::string> want;
    for (const std::string& r : converted.records) want.push_back(Rebuilt(r));
    EXPECT_EQ(want.size(), decoded.records.size()) << path;
    for (std::size_t i = 0; i < want.size() && i < decoded.records.size(); ++i) {
      if (want[i] == decoded.records[i]) continue;
      std::size_t at = 0;
      while (want[i][at] == decoded.records[i][at]) ++at;
      ADD_FAILURE() << path << " record " << i << " byte " << at << ": "
                    << want[i].substr(at > 20 ? at - 20 : 0, 40) << " / "
                    << decoded.records[i].substr(at > 20 ? at - 20 : 0, 40);
      break;
    }
    compared += clean.size();
  }
  if (compared == 0) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
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
      {"   \n", InputFormat::kAuto},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, detectFormat(c.head)) << c.head;

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
