// Reading MARCXML: what the writer writes reads back as the same record,
// the shapes MARCXML takes in the wild read alike, and damage is reported
// where it is and read on.
#include <gtest/gtest.h>
#include <quillet/formats.h>
#include <quillet/marc8.h>
#include <quillet/text.h>
#include <quillet/view.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/record_builder.h"
#include "support/text_formats.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::DataContent;
using quillet_test::LeaderSpec;
using quillet_test::Read;
using quillet_test::ReadAll;
using quillet_test::WriteAll;

const std::size_t kChunks[] = {1, 7, std::size_t{1} << 16};

// Records with every shape and byte MARCXML must carry: markup characters,
// the white space the writer writes as references, empty subfields, bytes
// before the first delimiter, a delimiter without a code, no subfield.
std::vector<std::string> EdgeRecords() {
  return {
      BuildRecord({{"001", "id 1 <&>\"'"}, {"008", "  blanks \t\n\r  "}}),
      BuildRecord({{"245", DataContent("10", {{'a', "a < b & c > \"d\""}, {'b', "line\nfeed\r\ttab"}})},
                   {"500", DataContent("  ", {{'a', ""}, {'b', ""}})},
                   {"520", Bytes("1 before the first$aafter")},
                   {"590", Bytes("  $$a")},
                   {"650", Bytes(" 0")},
                   {"100", DataContent("1 ", {{'a', "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x9A"}})}},
                  LeaderSpec{"cam a22", " i 4500"}),
      BuildRecord({}),
  };
}

TEST(MarcXmlReader, ReadsBackEveryRecordTheWriterWrites) {
  const std::vector<std::string> records = EdgeRecords();
  std::string all;
  for (const std::string& r : records) all += r;
  const Read original = ReadAll(all, InputFormat::kIso2709);  // the damage the records hold
  ASSERT_EQ(3u, original.problems.size()) << ::testing::PrintToString(original.problems);
  const std::string xml = WriteAll(records, Format::kMarcXml, Charset::kRaw);
  for (std::size_t chunk : kChunks) {
    const Read read = ReadAll(xml, InputFormat::kMarcXml, chunk);
    EXPECT_EQ(records, read.records) << "chunk " << chunk;
    EXPECT_EQ(original.problems, read.problems) << "chunk " << chunk;
  }
}

// Why the writer cannot give `bytes` back as they are, or empty: it writes
// the control fields first, and XML cannot carry control characters (but
// tab, line feed and carriage return), U+FFFE, U+FFFF or bytes that are not
// UTF-8 (it writes U+FFFD for them).
std::string XmlLoss(const std::string& bytes) {
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  auto carried = [](std::string_view text, bool delimiters) {
    for (std::size_t i = 0; i < text.size();) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && !(delimiters && c == 0x1F)) return false;
      const std::size_t n = utf8SequenceLength(text.substr(i));
      if (n == 0 || text.substr(i, 3) == "\xEF\xBF\xBE" || text.substr(i, 3) == "\xEF\xBF\xBF") return false;
      i += n;
    }
    return true;
  };
  if (!carried(rec.leader(), false)) return "leader";
  bool data_seen = false;
  for (const FieldView& f : rec.fields()) {
    if (f.isControl() && data_seen) return "order";
    data_seen = data_seen || !f.isControl();
    if (!carried(f.data(), !f.isControl())) return "characters";
  }
  return std::string();
}

TEST(MarcXmlReader, ReadsEveryWellFormedRealRecordBackAsItWasWritten) {
  std::size_t compared = 0;
  const std::vector<std::string> differ = quillet_test::RoundTripCorpus(
      QUILLET_CORPUS_DIR, Format::kMarcXml, InputFormat::kMarcXml, &compared);
  if (compared == 0) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  // The records RoundTripCorpus compares, as written raw and decoded: those
  // the writer cannot give back must differ, and no other.
  std::set<std::string> lossy;
  std::map<std::string, int> why;
  for (const auto& path : quillet_test::CorpusFiles(QUILLET_CORPUS_DIR)) {
    const std::string bytes = quillet_test::ReadFile(path);
    Reader reader(bytes.data(), bytes.size());
    std::vector<std::string> clean;
    RecordView rec;
    while (reader.next(rec)) {
      if (rec.problems().empty() && quillet_test::PlainCodes(rec)) clean.emplace_back(rec.bytes());
    }
    if (clean.empty()) continue;
    const std::vector<std::string> converted =
        ReadAll(WriteAll(clean, Format::kIso2709, Charset::kAuto), InputFormat::kIso2709).records;
    ASSERT_EQ(clean.size(), converted.size());
    for (std::size_t i = 0; i < clean.size(); ++i) {
      const std::string record = ": record " + std::to_string(i + 1);
      const std::pair<const char*, const std::string*> written[] = {{"raw", &clean[i]},
                                                                     {"decoded", &converted[i]}};
      for (const auto& how : written) {
        const std::string loss = XmlLoss(*how.second);
        if (loss.empty()) continue;
        lossy.insert(path.string() + " " + how.first + record);
        ++why[std::string(how.first) + " " + loss];
      }
    }
  }
  std::set<std::string> differing;
  for (const std::string& line : differ) differing.insert(line.substr(0, line.find(" differs at")));
  EXPECT_EQ(lossy, differing) << "first: " << (differ.empty() ? "" : differ[0]);
  EXPECT_LT(lossy.size(), compared);  // most records are carried
  std::string counts;
  for (const auto& w : why) counts += w.first + " " + std::to_string(w.second) + "; ";
  std::cout << compared << " records compared twice; not carried: " << counts << '\n';
}

}  // namespace
}  // namespace quillet
