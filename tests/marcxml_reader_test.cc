// Reading MARCXML: what the writer writes reads back as the same record,
// the shapes MARCXML takes in the wild read alike, and damage is reported
// where it is and read on.
#include <gtest/gtest.h>
#include <quillet/formats.h>
#include <quillet/marc8.h>
#include <quillet/text.h>
#include <quillet/view.h>
#include <unistd.h>
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
      BuildRecord(
          {{"245", DataContent("10", {{'a', "a < b & c > \"d\""}, {'b', "line\nfeed\r\ttab"}})},
           {"500", DataContent("  ", {{'a', ""}, {'b', ""}})},
           {"520", Bytes("1 before the first$aafter")},
           {"590", Bytes("  $$a")},
           {"650", Bytes(" 0")},
           {"100", DataContent("1 ", {{'a', "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x9A"}})},
           {"880", DataContent("&<", {{'&', "amp"}, {'<', "lt"}, {'"', "quot"}, {'>', "gt"}})}},
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
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && !(delimiters && c == 0x1F))
        return false;
      const std::size_t n = utf8SequenceLength(text.substr(i));
      if (n == 0 || text.substr(i, 3) == "\xEF\xBF\xBE" || text.substr(i, 3) == "\xEF\xBF\xBF")
        return false;
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
    std::vector<bool> shaped;  // the records compared decoded
    RecordView rec;
    while (reader.next(rec)) {
      if (rec.problems().empty() && quillet_test::PlainCodes(rec)) {
        clean.emplace_back(rec.bytes());
        shaped.push_back(quillet_test::TwoIndicatorsOneByteCodes(rec));
      }
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
        if (how.second == &converted[i] && !shaped[i]) continue;
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

// The reference record of the shape tests: what every shape below reads as.
std::string ShapeRecord() {
  return BuildRecord(
      {{"001", "id & 1"},
       {"245", DataContent("10", {{'a', "T\xC3\xA9tle <x>"}, {'c', "by \xE2\x82\xAC"}})},
       {"500", DataContent("  ", {{'a', "note"}})}});
}

TEST(MarcXmlReader, ReadsTheShapesMarcXmlTakes) {
  const std::string record = ShapeRecord();
  const std::string leader = "99999nam a2299999 a 4500";  // wrong length and base: recomputed
  const std::string fields =
      "<controlfield tag=\"001\">id &amp; 1</controlfield>"
      "<datafield ind2=\"0\" tag=\"245\" ind1=\"1\"><subfield code=\"a\">T&#233;tle "
      "&lt;x></subfield>"
      "<subfield code=\"c\">by &#x20AC;</subfield></datafield>"
      "<datafield tag=\"500\" ind1=\"\"><subfield code=\"a\">note</subfield></datafield>";
  const std::string plain = "<record><leader>" + leader + "</leader>" + fields + "</record>";
  std::string prefixed = plain;
  for (const char* name : {"record", "leader", "controlfield", "datafield", "subfield"}) {
    for (const std::string open : {"<", "</"}) {
      for (std::size_t at = 0; (at = prefixed.find(open + name, at)) != std::string::npos;) {
        prefixed.insert(at + open.size(), "marc:");
        at += open.size() + 5;
      }
    }
  }
  std::string entity_fields = fields;
  entity_fields.replace(entity_fields.find("id &amp; 1"), 10, "&id1;");
  const std::string ns = " xmlns=\"http://www.loc.gov/MARC21/slim\"";
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"one record, no namespace", plain},
      {"a collection, default namespace",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<collection" + ns + ">\n  " + plain +
           "\n</collection>\n"},
      {"prefixed", "<marc:collection xmlns:marc=\"http://www.loc.gov/MARC21/slim\">" + prefixed +
                       "</marc:collection>"},
      {"comments, CDATA, processing instructions, a byte order mark, CRLF",
       "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<!-- c --><collection>\r\n<?pi x?><record>\r\n<!-- "
       "c -->"
       "<leader><![CDATA[" +
           leader + "]]></leader>" + fields + "</record></collection>"},
      {"an internal entity",
       "<!DOCTYPE collection [<!ENTITY id1 \"id &#38;#38; 1\">]><collection><record><leader>" +
           leader + "</leader>" + entity_fields + "</record></collection>"},
      {"records one after another", plain + "\n"},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : kChunks) {
      const Read read = ReadAll(c.text, InputFormat::kMarcXml, chunk);
      ASSERT_EQ(1u, read.records.size()) << c.what;
      EXPECT_EQ(record, read.records[0]) << c.what << ", chunk " << chunk;
      EXPECT_TRUE(read.problems.empty()) << c.what << ": " << read.problems[0];
      Reader::Options options;
      options.format = InputFormat::kAuto;
      options.chunk_size = chunk;
      const quillet_test::ExactBuffer exact(c.text);
      Reader reader(exact.data(), exact.size(), options);
      RecordView rec;
      ASSERT_TRUE(reader.next(rec));
      EXPECT_EQ(InputFormat::kMarcXml, reader.format());
      std::size_t at = c.text.find("<record");
      if (at == std::string::npos) at = c.text.find("<marc:record");
      EXPECT_EQ(at, rec.offset()) << c.what;
    }
  }
  // Documents put one after another keep their offsets and lines.
  const std::string three =
      plain + "\n" + prefixed.substr(0, 0) + plain + "\n\n<collection>" + plain + "</collection>";
  const Read read = ReadAll(three, InputFormat::kMarcXml, 7);
  EXPECT_EQ((std::vector<std::string>{record, record, record}), read.records);
  EXPECT_TRUE(read.problems.empty()) << read.problems[0];
}

TEST(MarcXmlReader, ReadsGzipFilesThroughByTheirPath) {
  const std::string xml = WriteAll(EdgeRecords(), Format::kMarcXml, Charset::kRaw);
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("marcxml_reader_test_" + std::to_string(::getpid()) + ".xml.gz"))
                               .string();
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, gz);
  ASSERT_EQ(static_cast<int>(xml.size()),
            gzwrite(gz, xml.data(), static_cast<unsigned>(xml.size())));
  ASSERT_EQ(Z_OK, gzclose(gz));
  Reader::Options options;
  options.format = InputFormat::kAuto;
  options.chunk_size = 100;
  Reader reader(path, options);
  std::vector<std::string> got;
  RecordView rec;
  while (reader.next(rec)) got.emplace_back(rec.bytes());
  std::remove(path.c_str());
  EXPECT_EQ(InputFormat::kMarcXml, reader.format());
  EXPECT_EQ(EdgeRecords(), got);
  EXPECT_TRUE(reader.problems().empty());
}

// The problems of `text`, the same in every chunk size.
std::vector<std::string> ProblemsOf(const std::string& text, std::size_t* records = nullptr) {
  const Read first = ReadAll(text, InputFormat::kMarcXml, 1);
  for (std::size_t chunk : {std::size_t{7}, std::size_t{1} << 16}) {
    const Read read = ReadAll(text, InputFormat::kMarcXml, chunk);
    EXPECT_EQ(first.problems, read.problems) << "chunk " << chunk;
    EXPECT_EQ(first.records, read.records) << "chunk " << chunk;
  }
  if (records != nullptr) *records = first.records.size();
  return first.problems;
}

const char kLeaderXml[] = "<leader>00000nam a2200000 a 4500</leader>";

TEST(MarcXmlReader, ReportsWhatIsNotMarcXmlAndSkipsIt) {
  const std::string text =
      std::string("<collection>\n") +
      "<header>x</header>\n"
      "<record>" +
      kLeaderXml +
      "\n"
      "  stray text<controlfield tag=\"001\">1<b>bold</b></controlfield>\n"
      "  <datafield tag=\"245\">t<subfield code=\"a\">T</subfield><foo/></datafield>\n"
      "  <subfield code=\"a\">lost</subfield><record/>\n"
      "</record>\n"
      "</collection>";
  std::size_t records = 0;
  const std::vector<std::string> want = {
      "record 1: content the format does not define skipped (line 2, column 1: element \"header\" "
      "is not MARCXML; skipped with its content)",
      "record 1: content the format does not define skipped (line 4, column 3: text in a record; "
      "skipped)",
      "record 1: content the format does not define skipped (line 4, column 38: element \"b\" is "
      "not MARCXML; skipped with its content)",
      "record 1: content the format does not define skipped (line 5, column 24: text in a "
      "datafield; skipped)",
      "record 1: content the format does not define skipped (line 5, column 56: element \"foo\" is "
      "not MARCXML; skipped with its content)",
      "record 1: content the format does not define skipped (line 6, column 3: element "
      "\"subfield\" out of place; skipped with its content)",
      "record 1: content the format does not define skipped (line 6, column 37: element \"record\" "
      "out of place; skipped with its content)",
  };
  EXPECT_EQ(want, ProblemsOf(text, &records));
  EXPECT_EQ(1u, records);
  const Read read = ReadAll(text, InputFormat::kMarcXml);
  EXPECT_EQ(BuildRecord({{"001", "1"}, {"245", DataContent("  ", {{'a', "T"}})}}), read.records[0]);
}

TEST(MarcXmlReader, ReportsFieldsThatCannotBeTakenAsTheyStand) {
  const std::string text =
      std::string("<record><leader>short</leader>\n") +
      "<controlfield>no tag</controlfield><controlfield tag=\"01\">x</controlfield>\n"
      "<datafield tag=\"2456\" ind1=\"10\"><subfield "
      "code=\"ab\">x</subfield><subfield>y</subfield></datafield>\n"
      "<leader>00000nam a2200000 a 4500</leader></record>\n"
      "<record><leader>\xEF\xBF\xBDnam a2200000 a 4500 and more</leader></record>\n"
      "<record></record>";
  const std::vector<std::string> want = {
      "record 1: field repaired (line 1, column 17: leader of 5 characters; padded with blanks)",
      "record 1: field repaired (line 2, column 1: field without a tag attribute; tag read as "
      "three blanks)",
      "record 1: data field without subfield delimiter (entry 0)",
      "record 1: field repaired (line 2, column 36: tag \"01\" is not 3 bytes; padded with blanks)",
      "record 1: data field shorter than its indicators (entry 1, tag 01 )",
      "record 1: field repaired (line 3, column 1: tag \"2456\" is not 3 bytes; cut to 3)",
      "record 1: field repaired (line 3, column 1: ind1 \"10\" is not one byte; read as a blank)",
      "record 1: field repaired (line 3, column 33: subfield code \"ab\" is not one byte; read as "
      "?)",
      "record 1: field repaired (line 3, column 65: subfield without a code attribute; read as "
      "code=\"\")",
      "record 1: field repaired (line 4, column 9: a second leader; the first kept)",
      "record 2: field repaired (line 5, column 17: leader characters that are not one byte read "
      "as blanks)",
      "record 2: field repaired (line 5, column 17: leader of more than 24 characters; cut to 24)",
      "record 3: field repaired (line 6, column 1: record without a leader; a default one used)",
  };
  std::size_t records = 0;
  EXPECT_EQ(want, ProblemsOf(text, &records));
  ASSERT_EQ(3u, records);
  const Read read = ReadAll(text, InputFormat::kMarcXml);
  const RecordView first = RecordView::parse(read.records[0].data(), read.records[0].size());
  ASSERT_EQ(3u, first.fields().size());
  EXPECT_EQ("   ", first.fields()[0].tag());
  EXPECT_EQ("01 ", first.fields()[1].tag());
  EXPECT_EQ("245", first.fields()[2].tag());
  EXPECT_EQ(" \x1F?x\x1Fy", first.fields()[2].data().substr(1));
}

TEST(MarcXmlReader, ReadsOnAfterXmlDamageWhereXmlAllows) {
  const std::string good = "<record>" + std::string(kLeaderXml) +
                           "<datafield tag=\"245\" ind1=\"1\" ind2=\"0\"><subfield "
                           "code=\"a\">T</subfield></datafield></record>\n";
  const struct {
    const char* what;
    std::string text;
    std::size_t records;
    std::vector<std::string> problems;
  } cases[] = {
      {"a mismatched end tag",
       "<collection>\n" + good + "<record>" + kLeaderXml +
           "<controlfield tag=\"001\">x</controlfeld></record>\n" + good + "</collection>",
       3,
       {"record 2: malformed input (line 3, column 75: end tag \"controlfeld\" does not match "
        "start tag \"controlfield\")",
        "record 2: input ends inside the record (line 3, column 75: the record ends at the damage; "
        "its fields read so far kept)"}},
      {"a bare ampersand",
       "<collection>\n" + good + "<record>" + kLeaderXml +
           "<controlfield tag=\"001\">a & b</controlfield></record>\n" + good + "</collection>",
       3,
       {"record 2: malformed input (line 3, column 76: '&' that starts no reference (write "
        "\"&amp;\"))",
        "record 2: input ends inside the record (line 3, column 76: the record ends at the damage; "
        "its fields read so far kept)"}},
      {"a broken start tag",
       "<collection>\n" + good + "<record>" + kLeaderXml +
           "<controlfield tag=\"001\"x</controlfield></record>\n" + good + "</collection>",
       3,
       {"record 2: malformed input (line 3, column 73: character \"x\" where an attribute or the "
        "tag's end belongs)",
        "record 2: input ends inside the record (line 3, column 73: the record ends at the damage; "
        "its fields read so far kept)"}},
      {"an external entity",
       "<!DOCTYPE collection [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n<collection>" +
           good.substr(0, 108) + "&x;" + good.substr(108) + "</collection>",
       1,
       {"record 1: content the format does not define skipped (line 2, column 124: entity \"x\" is "
        "not in the document; not read)"}},
      {"a file cut short",
       "<collection>\n" + good + good.substr(0, 107),
       2,
       {"record 2: malformed input (line 3, column 108: the input ends inside element "
        "\"subfield\")",
        "record 2: input ends inside the record (line 3, column 108: the record ends here; its "
        "fields read so far kept)"}},
      {"a byte that is not UTF-8",
       "<collection>\n" + good + "<record>" + kLeaderXml + "\xFF</record>\n" + good +
           "</collection>",
       3,
       {"record 2: malformed input (line 3, column 50: bytes that are not UTF-8)",
        "record 2: input ends inside the record (line 3, column 50: the record ends at the damage; "
        "its fields read so far kept)"}},
      {"a byte that is not UTF-8 in a document libxml2 reads: it reports it and hands it on",
       "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<collection>" + good + "<record>" +
           kLeaderXml + "<controlfield tag=\"001\">\xFF</controlfield></record>\n" + good +
           "</collection>",
       3,
       {}},
      {"not XML at all",
       "00714cam a2200205 a 4500",
       0,
       {"none: malformed input (line 1, column 1: text before the document's root element)"}},
  };
  for (const auto& c : cases) {
    std::size_t records = 0;
    EXPECT_EQ(c.problems, ProblemsOf(c.text, &records)) << c.what;
    EXPECT_EQ(c.records, records) << c.what;
  }
}

TEST(MarcXmlReader, QuotesWhatItFoundAsUtf8) {
  // A long name is cut, and bytes that are not UTF-8 (libxml2 hands them on
  // once it has reported them; the scanner stops there) are quoted as
  // U+FFFD: the details stay UTF-8, cut between characters.
  const std::string body = "<record>" + std::string(kLeaderXml) + "<datafield tag=\"" +
                           std::string(12, 'a') + "\xC3\xA9\xC3\xA9\xE2\x82\xAC\xE2\x82\xAC" +
                           std::string(10, 'b') +
                           "\"/><\xFF/><controlfield tag=\"\xFF\">x</controlfield></record>";
  for (const bool libxml : {false, true}) {
    const std::string text = (libxml ? "<!DOCTYPE record>" : "") + body;
    const quillet_test::ExactBuffer exact(text);
    Reader::Options options;
    options.format = InputFormat::kMarcXml;
    Reader reader(exact.data(), exact.size(), options);
    RecordView rec;
    ASSERT_TRUE(reader.next(rec));
    std::string details;
    for (const Problem& p : rec.problems()) details += p.detail + "\n";
    for (std::size_t i = 0, n; i < details.size(); i += n) {
      n = utf8SequenceLength(std::string_view(details).substr(i));
      ASSERT_NE(0u, n) << "not UTF-8 at " << i << ": " << details;
    }
    EXPECT_NE(std::string::npos,
              details.find("tag \"aaaaaaaaaaaa\xC3\xA9\xC3\xA9\xE2\x82\xAC\xE2\x82\xAC"
                           "bbbb...\" is not 3 bytes"))
        << details;
    EXPECT_NE(std::string::npos, details.find(libxml ? "tag \"\xEF\xBF\xBD\" is not 3 bytes"
                                                     : "bytes that are not UTF-8"))
        << details;
    if (!libxml) {
      EXPECT_NE(std::string::npos, details.find("element \"\xEF\xBF\xBD\" is not MARCXML"))
          << details;
    }
  }
}

TEST(MarcXmlReader, BoundsTheTextItKeeps) {
  // Text longer than a record: cut. A field ISO 2709 cannot state: the
  // record is not written. Fields past the most a record holds: dropped.
  std::string many;
  for (int i = 0; i < 1200; ++i) {
    many += "<datafield tag=\"500\"><subfield code=\"a\">" + std::string(80, 'x') +
            "</subfield></datafield>";
  }
  const std::string lead = std::string("<record>") + kLeaderXml;
  const std::string text = "<collection>" + lead + "<controlfield tag=\"001\">" +
                           std::string(150000, 'x') + "</controlfield></record>\n" + lead +
                           "<controlfield tag=\"001\">" + std::string(20000, 'x') +
                           "</controlfield></record>\n" + lead + many + "</record></collection>";
  std::size_t records = 0;
  const std::vector<std::string> want = {
      "record 1: field repaired (line 1, column 86: text longer than a record can hold; cut at "
      "100000 bytes)",
      "record 1: field repaired (line 1, column 86: the record grows past 99999 bytes, the most "
      "ISO 2709 states; this field and those after it dropped)",
      "record 2: record cannot be written as ISO 2709; skipped (field longer than 9998 bytes)",
      "record 2: field repaired (line 3, column 147361: the record grows past 99999 bytes, the "
      "most ISO 2709 states; this field and those after it dropped)",
  };
  EXPECT_EQ(want, ProblemsOf(text, &records));
  EXPECT_EQ(2u, records);
}

}  // namespace
}  // namespace quillet
