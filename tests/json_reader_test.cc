// Reading MARC-in-JSON: what writeJson() writes reads back as the same
// record in every shape and chunking, and damage is reported where it is
// and read past.
#include <gtest/gtest.h>
#include <quillet/formats.h>
#include <quillet/text.h>
#include <quillet/view.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

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

std::vector<std::string> EdgeRecords() {
  std::string controls;
  for (int b = 1; b < 0x20; ++b) {
    if (b != 0x1D && b != 0x1E && b != 0x1F) controls += static_cast<char>(b);
  }
  LeaderSpec one_indicator, no_indicators, codeless;
  one_indicator.pos5to11 = "nam a12";
  no_indicators.pos5to11 = "nam a02";
  codeless.pos5to11 = "nam a21";
  return {
      BuildRecord({{"001", "id \"1\" \\ /"},
                   {"007", Bytes("$av$bf")},
                   {"008", std::string("\0nul", 4) + controls}}),
      BuildRecord({{"245", DataContent("\"\\", {{'a', "quote \" backslash \\ \x7F" + controls},
                                                {'"', "x"}})},
                   {"500", DataContent("  ", {{'a', ""}, {'b', ""}})},  // empty subfields
                   {"520", Bytes("1 before the first$aafter")},         // bytes before a delimiter
                   {"590", Bytes("  $$a$")},                            // delimiters without a code
                   {"650", Bytes(" 0")}}),                              // no subfield at all
      BuildRecord(
          {{"100", DataContent("1 ", {{'a', "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x9A"}})}}),
      BuildRecord({{"245", DataContent("1", {{'a', "one indicator"}})}}, one_indicator),
      BuildRecord({{"245", DataContent("", {{'a', "none"}})}}, no_indicators),
      BuildRecord({{"245", Bytes("10$no codes$at all")}}, codeless),
      BuildRecord({}),
  };
}

std::string Json(const std::vector<std::string>& records) {
  return WriteAll(records, Format::kJson, Charset::kRaw);
}

TEST(JsonReader, ReadsBackEveryRecordTheWriterWritesInAnyChunks) {
  const std::vector<std::string> records = EdgeRecords();
  std::string all;
  for (const std::string& r : records) all += r;
  const Read original = ReadAll(all, InputFormat::kIso2709);  // the damage the records hold
  const std::string text = Json(records);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 16}) {
    const Read read = ReadAll(text, InputFormat::kJson, chunk);
    EXPECT_EQ(records, read.records) << "chunk " << chunk;
    EXPECT_EQ(original.problems, read.problems) << "chunk " << chunk;
  }
}

TEST(JsonReader, ReadsEveryWellFormedRealRecordBackAsItWasWritten) {
  std::size_t compared = 0;
  const std::vector<std::string> differ = quillet_test::RoundTripCorpus(
      QUILLET_CORPUS_DIR, Format::kJson, InputFormat::kJson, &compared);
  if (compared == 0) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  EXPECT_TRUE(differ.empty()) << differ.size() << " differ; the first: " << differ[0];
}

TEST(JsonReader, TakesEveryShapeOfInput) {
  const std::string one = BuildRecord({{"001", "a"}, {"245", DataContent("10", {{'a', "T"}})}});
  const std::string two = BuildRecord({{"001", "b"}});
  const std::string lines = Json({one, two});
  const std::string first = lines.substr(0, lines.find('\n'));
  const std::string second =
      lines.substr(lines.find('\n') + 1, lines.size() - lines.find('\n') - 2);
  const std::string pretty =
      "\xEF\xBB\xBF[\n  {\n    \"fields\": [\n      {\"001\": \"a\"},\n      {\"245\": "
      "{\"subfields\": "
      "[{\"a\": \"T\"}], \"ind2\": \"0\", \"ind1\": \"1\"}}\n    ],\n    \"leader\": \"" +
      one.substr(0, 24) + "\"\n  },\n  " + second + "\n]\n";
  const struct {
    const char* name;
    std::string text;
  } shapes[] = {
      {"lines", lines},
      {"lines with CRLF and no last line end", first + "\r\n" + second},
      {"concatenated", first + second},
      {"array", "[" + first + "," + second + "]"},
      {"pretty-printed array, members in any order", pretty},
  };
  for (const auto& s : shapes) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 16}) {
      const Read read = ReadAll(s.text, InputFormat::kJson, chunk);
      EXPECT_EQ((std::vector<std::string>{one, two}), read.records)
          << s.name << ", chunk " << chunk;
      EXPECT_EQ(std::vector<std::string>(), read.problems) << s.name << ", chunk " << chunk;
    }
  }
  const Read single = ReadAll(first, InputFormat::kJson);
  EXPECT_EQ(std::vector<std::string>{one}, single.records);
  EXPECT_TRUE(ReadAll("", InputFormat::kJson).records.empty());
  EXPECT_TRUE(ReadAll("[]", InputFormat::kJson).problems.empty());
}

TEST(JsonReader, ReadsGzipDataFromAFile) {
  const std::vector<std::string> records = EdgeRecords();
  const std::string text = Json(records);
  const std::string path = ::testing::TempDir() + "json_reader_test.json.gz";
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, gz);
  ASSERT_EQ(static_cast<int>(text.size()),
            gzwrite(gz, text.data(), static_cast<unsigned>(text.size())));
  ASSERT_EQ(Z_OK, gzclose(gz));
  Reader::Options options;
  options.format = InputFormat::kAuto;  // told through the compression
  Reader reader(path, options);
  EXPECT_EQ(InputFormat::kJson, reader.format());
  std::vector<std::string> read;
  RecordView rec;
  while (reader.next(rec)) read.emplace_back(rec.bytes());
  EXPECT_EQ(records, read);
  std::remove(path.c_str());
}

// Damage, each case an input and what is read of it, in any chunks.
struct Damage {
  std::string text;
  std::vector<std::string> problems;
  std::vector<std::string> records;  // each as its fields: "tag content | ..."
};

std::string Fields(const std::string& bytes) {
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  std::string out;
  for (const FieldView& f : rec.fields()) {
    if (!out.empty()) out += " | ";
    out += std::string(f.tag()) + " " + std::string(f.data());
  }
  return out;
}

void ExpectRead(const std::vector<Damage>& cases) {
  for (const Damage& d : cases) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 16}) {
      const Read read = ReadAll(d.text, InputFormat::kJson, chunk);
      EXPECT_EQ(d.problems, read.problems) << d.text << "\nchunk " << chunk;
      std::vector<std::string> records;
      for (const std::string& r : read.records) records.push_back(Fields(r));
      EXPECT_EQ(d.records, records) << d.text << "\nchunk " << chunk;
    }
  }
}

const std::string kLeader = "\"leader\":\"00000cam a2200000 a 4500\"";

TEST(JsonReader, ReportsValuesOfTheWrongKindAndKeepsTheRest) {
  ExpectRead({
      {"{" + kLeader +
           ",\"fields\":[{\"001\":12},{\"005\":null},{\"006\":[1]},7,"
           "{\"245\":{\"ind1\":null,\"ind2\":7,\"subfields\":[{\"a\":true},{\"b\":[\"x\"]},\"c\",{"
           "\"d\":-1.5e3}]}},"
           "{\"246\":{\"ind1\":{},\"subfields\":{\"a\":\"x\"}}}],\"leader\":\"second\"}",
       {"record 1: field repaired (line 1, column 55: field \"001\": a number where a string "
        "belongs; its text taken)",
        "record 1: field repaired (line 1, column 66: field \"005\": null where a string belongs; "
        "read as empty)",
        "record 1: field repaired (line 1, column 79: field \"006\": an array where a string or an "
        "object belongs; skipped)",
        "record 1: field repaired (line 1, column 84: a field that is not an object; skipped)",
        // Problems of the record's ISO 2709 bytes come in among those of its text, by offset.
        "record 1: data field without subfield delimiter (entry 3, tag 246)",
        "record 1: field repaired (line 1, column 101: field \"245\", ind1: null where a string "
        "belongs; read as a blank)",
        "record 1: field repaired (line 1, column 113: field \"245\", ind2: a number where a "
        "string belongs; its text taken)",
        "record 1: field repaired (line 1, column 133: field \"245\", subfield \"a\": true or "
        "false where a string belongs; read as empty)",
        "record 1: field repaired (line 1, column 144: field \"245\", subfield \"b\": an array "
        "where a string belongs; skipped)",
        "record 1: field repaired (line 1, column 152: field \"245\": a subfield that is not an "
        "object; skipped)",
        "record 1: field repaired (line 1, column 160: field \"245\", subfield \"d\": a number "
        "where a string belongs; its text taken)",
        "record 1: field repaired (line 1, column 186: field \"246\", ind1: an object where a "
        "string belongs; skipped)",
        "record 1: field repaired (line 1, column 201: field \"246\": \"subfields\" is not an "
        "array; skipped)",
        "record 1: content the format does not define skipped (line 1, column 224: a second "
        "\"leader\"; skipped)"},
       {"001 12 | 005  | 245  7\x1F"
        "a\x1F"
        "d-1.5e3 | 246   "}},
      // Unknown keys, at every level that has keys; their values skipped whatever they hold.
      {"{\"id\":{\"x\":[\"y\"]},\"fields\":[{\"245\":{\"tag\":\"245\",\"subfields\":[{\"a\":\"t\"}]"
       "}}]," +
           kLeader + "}",
       {"record 1: content the format does not define skipped (line 1, column 3: unknown key "
        "\"id\"; skipped)",
        "record 1: content the format does not define skipped (line 1, column 38: field \"245\": "
        "unknown key \"tag\"; skipped)"},
       {"245   \x1F"
        "at"}},
      // The empty objects: a record, a field, a subfield.
      {"{}{\"fields\":[{},{\"500\":{\"subfields\":[{}]}}]}",
       {"record 1: field repaired (line 1, column 1: no leader; read as blanks with 'a' at 09, "
        "'22' at 10-11 and '4500' at 20-23)",
        "record 2: field repaired (line 1, column 3: no leader; read as blanks with 'a' at 09, "
        "'22' at 10-11 and '4500' at 20-23)",
        "record 2: field repaired (line 1, column 15: a field object with no tag; skipped)",
        "record 2: field repaired (line 1, column 39: field \"500\": a subfield object with no "
        "code; skipped)",
        "record 2: data field without subfield delimiter (entry 0, tag 500)"},
       {"", "500   "}},
  });
}

TEST(JsonReader, ReadsTagsCodesAndIndicatorsThatAreNotOneByteAsItSays) {
  ExpectRead({
      {"{\"leader\":\"short\",\"fields\":[{\"24\":\"x\"},{\"2450\":\"y\"},{\"\xC3\xA9\x31\x32\":"
       "\"z\"},"
       "{\"500\":{\"ind1\":\"10\",\"ind2\":\"\\u001e\",\"subfields\":[{\"a\":\"a\\u001fb\"},{"
       "\"ab\":\"c\"},{\"\":\"d\"}]}},"
       "{\"001\":\"\\u001fkept\\u001d\"}]}",
       {"record 1: field repaired (line 1, column 12: leader of 5 characters; padded with blanks)",
        "record 1: field repaired (line 1, column 31: tag \"24\" is not 3 one-byte characters; "
        "padded with blanks)",
        "record 1: field repaired (line 1, column 42: tag \"2450\" is not 3 one-byte characters; "
        "cut to 3)",
        "record 1: field repaired (line 1, column 55: tag \"\xC3\xA9"
        "12\" is not 3 one-byte characters; characters of several bytes read as ?)",
        "record 1: field repaired (line 1, column 82: field \"500\", ind1 \"10\" is not one byte; "
        "read as a blank)",
        "record 1: data field shorter than its indicators (entry 0, tag 24 )",
        "record 1: data field shorter than its indicators (entry 1, tag 245)",
        "record 1: data field shorter than its indicators (entry 2, tag ?12)",
        "record 1: field repaired (line 1, column 94: field \"500\", ind2 \"\\u001e\" is a "
        "separator byte; read as a blank)",
        "record 1: field repaired (line 1, column 121: field \"500\", subfield \"a\": separator "
        "bytes (0x1D, 0x1E, 0x1F) dropped)",
        "record 1: field repaired (line 1, column 134: field \"500\", subfield \"ab\": a code that "
        "is not one byte; read as ?)",
        "record 1: field repaired (line 1, column 145: field \"500\", subfield \"\": no code but a "
        "value; its first byte reads as the code)",
        "record 1: field repaired (line 1, column 163: field \"001\": terminator bytes (0x1D, "
        "0x1E) dropped)"},
       {"24  x | 245 y | ?12 z | 500   \x1F"
        "aab\x1F?c\x1F"
        "d | 001 \x1Fkept"}},
      // The leader says how many indicators there are and how long codes are.
      {"{\"leader\":\"00000cam a1100000 a "
       "4500\",\"fields\":[{\"245\":{\"ind1\":\"1\",\"ind2\":\"2\","
       "\"subfields\":[{\"\":\"no code\"},{\"a\":\"b\"}]}}]}",
       {"record 1: field repaired (line 1, column 75: field \"245\", ind2: the leader counts 1 "
        "indicators; dropped)"},
       {"245 1\x1Fno code\x1F"
        "ab"}},
  });
}

TEST(JsonReader, ReportsSyntaxErrorsWhereTheyAreAndReadsOnInJsonLines) {
  const std::string ok = "{" + kLeader + ",\"fields\":[{\"001\":\"ok\"}]}\n";
  ExpectRead({
      {ok + "{" + kLeader +
           ",\"fields\":[{\"001\":\"x\" \"002\"}]}\n"                 // a comma missing
           "{\"fields\":[{\"001\":\"\\q\"}]}\n"                       // a bad escape: nothing kept
           "{\"fields\":[{\"001\":\"a\"},{\"002\":\"\xC3\x28\"}]}\n"  // not UTF-8
           "{\"fields\":[{\"001\":\"unclosed}]}\n"  // a string open at the line's end
           "{\"fields\":[\n"                        // an object open at the line's end
           "junk\n" +
           ok + "{\"fields\":[{\"001\":\"cut at the end\"}",
       {"record 2: malformed input (line 2, column 59: Missing a comma or '}' after an object "
        "member; the fields before it kept)",
        "record 3: malformed input (line 3, column 20: Invalid escape character in string; the "
        "object skipped)",
        "record 3: field repaired (line 4, column 1: no leader; read as blanks with 'a' at 09, "
        "'22' at 10-11 and '4500' at 20-23)",
        "record 3: malformed input (line 4, column 32: Invalid encoding in string; the fields "
        "before it kept)",
        "record 4: malformed input (line 5, column 31: Missing a closing quotation mark in string; "
        "the object skipped)",
        "record 4: malformed input (line 6, column 12: Invalid value; the object skipped)",
        "record 4: malformed input (line 7, column 1: unexpected 'j' outside a record object; "
        "skipped to the next line)",
        "record 5: field repaired (line 9, column 1: no leader; read as blanks with 'a' at 09, "
        "'22' at 10-11 and '4500' at 20-23)",
        "record 5: malformed input (line 9, column 36: Missing a comma or ']' after an array "
        "element; the fields before it kept)"},
       {"001 ok", "001 x", "001 a", "001 ok", "001 cut at the end"}},
  });
}

TEST(JsonReader, ResynchronisesAtTheNextRecordObjectInPrettyText) {
  ExpectRead({
      // An array whose first object spans lines: an object left open ends
      // where the next record object starts.
      {"[\n {\"leader\": \"00000cam a2200000 a 4500\",\n  \"fields\": [{\"001\": \"a\"},\n"
       "  {\"245\": {\"subfields\": [{\"a\": \"open\n"
       " {\"fields\": [{\"001\": \"b\"}]}\n"
       " {\"fields\": [{\"001\": \"c\"}]},,\n"
       " oops {\"fields\": [{\"001\": \"d\"}]},\n",
       {"record 1: malformed input (line 4, column 37: Invalid escape character in string; the "
        "fields before it kept)",
        "record 2: field repaired (line 5, column 2: no leader; read as blanks with 'a' at 09, "
        "'22' at 10-11 and '4500' at 20-23)",
        "record 3: malformed input (line 6, column 2: no ',' between the array's elements)",
        "record 3: field repaired (line 6, column 2: no leader; read as blanks with 'a' at 09, "
        "'22' at 10-11 and '4500' at 20-23)",
        "record 4: malformed input (line 6, column 29: unexpected ',' outside a record object; "
        "skipped to the next '{')",
        "record 4: field repaired (line 7, column 7: no leader; read as blanks with 'a' at 09, "
        "'22' at 10-11 and '4500' at 20-23)",
        "none: malformed input (line 8, column 1: the array is not closed at the end of the "
        "input)"},
       {"001 a", "001 b", "001 c", "001 d"}},
  });
}

TEST(JsonReader, BoundsTheDepthAndLengthOfAnObject) {
  const std::string deep = "{\"fields\":" + std::string(40, '[') + std::string(40, ']') + "}\n";
  const std::string next = "{\"fields\":[{\"001\":\"next\"}]}\n";
  const Read read = ReadAll(deep + next, InputFormat::kJson);
  EXPECT_EQ(
      (std::vector<std::string>{"record 1: malformed input (line 1, column 43: objects and arrays "
                                "nested deeper than 32 levels; the object skipped)",
                                "record 1: field repaired (line 2, column 1: no leader; read as "
                                "blanks with 'a' at 09, '22' at 10-11 and '4500' at 20-23)"}),
      read.problems);
  ASSERT_EQ(1u, read.records.size());

  // Longer than max_record_size, in JSON lines and in pretty-printed text.
  const std::string value(200000, 'x');
  const struct {
    std::string text;
    const char* problem;
  } cases[] = {
      {next + "{\"fields\":[{\"001\":\"" + value + "\"}]}\n" + next,
       "malformed input (line 2, column 1: an object longer than the longest record (100000 "
       "bytes); skipped)"},
      {"{\"fields\":[\n{\"001\":\"a\"}]}\n{\"fields\":[\n{\"001\":\"" + value + "\"}]}\n" + next,
       "malformed input (line 3, column 1: an object longer than the longest record (100000 "
       "bytes); skipped)"},
  };
  for (const auto& c : cases) {
    for (std::size_t chunk : {std::size_t{7}, std::size_t{4096}}) {
      const quillet_test::ExactBuffer exact(c.text);
      Reader::Options options;
      options.format = InputFormat::kJson;
      options.max_record_size = 100000;
      options.chunk_size = chunk;
      Reader reader(exact.data(), exact.size(), options);
      RecordView rec;
      std::vector<std::string> problems;
      int records = 0;
      while (reader.next(rec)) {
        ++records;
        for (const Problem& p : rec.problems()) {
          if (p.kind == Problem::Kind::kMalformed) problems.push_back(p.describe());
        }
      }
      EXPECT_EQ(2, records) << "chunk " << chunk;
      EXPECT_EQ(std::vector<std::string>{c.problem}, problems) << "chunk " << chunk;
    }
  }
}

}  // namespace
}  // namespace quillet
