// UTF-8 to MARC-8: each set through its designation, marks before their
// letters, references for what MARC-8 lacks, designations carried to the end
// of the field; and every MARC-8 record of the corpus back to its bytes, or
// to its text where its bytes are written otherwise than the encoder would.
#include <quillet/marc8.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::ExactBuffer;

std::string_view View(const ExactBuffer& b) { return std::string_view(b.data(), b.size()); }

// The MARC-8 of `utf8` as one field, defaults back at its end.
std::string Encode(const std::string& utf8, std::size_t* references = nullptr,
                   std::vector<TextProblem>* problems = nullptr) {
  const ExactBuffer in(utf8);
  Marc8Encoder encoder;
  std::string out;
  const std::size_t n = encoder.encode(View(in), out, problems);
  if (references) *references = n;
  encoder.finish(out);
  return out;
}

std::string Utf8Of(std::uint32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const std::size_t len = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  std::string bytes(len, '\0');
  for (std::size_t i = len - 1; i > 0; --i, c >>= 6)
    bytes[i] = static_cast<char>(0x80 | (c & 0x3F));
  const unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  bytes[0] = static_cast<char>(lead[len] | c);
  return bytes;
}

std::string Decode(const std::string& marc8) {
  const ExactBuffer in(marc8);
  Marc8Decoder decoder;
  std::string out;
  decoder.decode(View(in), out);
  return out;
}

TEST(Marc8Encoder, EachSetDesignatedWhereItGoes) {
  const struct {
    const char* what;
    std::string utf8;
    std::string marc8;
  } cases[] = {
      {"basic Latin needs nothing", "Abc 1.", "Abc 1."},
      {"extended Latin is in G1 already", "\xC2\xA3\xC5\x81", "\xB9\xA1"},
      {"Greek symbols by the short escape", "\xCE\xB1", "\x1Bga\x1Bs"},
      {"subscripts", "\xE2\x82\x89", "\033b9\x1Bs"},
      {"superscripts", "\xE2\x81\xB9", "\x1Bp9\x1Bs"},
      {"Hebrew", "\xD7\xB2", "\x1B(2}\x1B(B"},
      {"Cyrillic, with its digits and space", "\xD0\xA7 1\xD0\xA7", "\x1B(N~ 1~\x1B(B"},
      {"extended Cyrillic in G1", "\xD2\x91", "\x1B)Q\xC0\x1B)!E"},
      {"Arabic before Greek, which has it too", "\xE2\x80\x9C", "\x1B(3z\x1B(B"},
      {"extended Arabic in G1", "\xDB\xBD", "\x1B)4\xA1\x1B)!E"},
      {"Greek", "\xCF\xA1", "\x1B(S~\x1B(B"},
      {"EACC", "\xE9\xBB\xA2\xE3\x80\x80", "\x1B$1pwq!#!\x1B(B"},
      {"a space leaves EACC", "\xE3\x80\x80 \xE3\x80\x80", "\x1B$1!#!\x1B(B \x1B$1!#!\x1B(B"},
      {"both registers at once", "\xD0\xA7\xD2\x91", "\x1B(N~\x1B)Q\xC0\x1B(B\x1B)!E"},
      {"from a short escape to another set", "\xCE\xB1\xD0\xA7", "\x1Bga\x1B(N~\x1B(B"},
      {"two characters of one short-escape set", "\xE2\x82\x89\xE2\x82\x88", "\033b98\x1Bs"},
      {"one EACC character, two codes: the lowest", "\xE4\xBA\x99", "\x1B$1!0W\x1B(B"},
      {"an alternate Unicode value reads as its character", "a\xEF\xB8\xA0",
       "\xEB"
       "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.marc8, Encode(c.utf8));
  }
  // What the other EACC code decodes to is written with the lowest.
  EXPECT_EQ("\x1B$1!0W\x1B(B", Encode(Decode("\x1B$1K0W")));
}

TEST(Marc8Encoder, MarksGoBeforeTheirLetter) {
  const struct {
    const char* what;
    std::string utf8;
    std::string marc8;
  } cases[] = {
      {"decomposed", "re\xCC\x81sume\xCC\x81",
       "r\xE2"
       "esum\xE2"
       "e"},
      {"composed, taken apart", "r\xC3\xA9sum\xC3\xA9",
       "r\xE2"
       "esum\xE2"
       "e"},
      {"two marks keep their order", "a\xCC\x81\xCC\x82",
       "\xE2\xE3"
       "a"},
      {"one letter, two marks by its decomposition", "\xC7\x96", "\xE8\xE5u"},
      {"a Greek accent from the Greek set", "\xCE\xB1\xCC\x80", "\x1B(S!a\x1B(B"},
      {"a letter MARC-8 has composed", "O\xCC\x9B", "\xAC"},
      {"a Cyrillic letter MARC-8 has composed", "\xD0\x98\xCC\x86", "\x1B(Nj\x1B(B"},
      {"a mark on a space", " \xCC\x81", "\xE2 "},
      {"a mark alone stays a mark", "\xCC\x81", "\xE2"},
      {"a mark before text would go on it: a reference",
       "\xCC\x81"
       "a",
       "&#x0301;a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.marc8, Encode(c.utf8));
  }
  // The decoder puts the marks back after their letters.
  EXPECT_EQ("re\xCC\x81sume\xCC\x81", Decode(Encode("r\xC3\xA9sum\xC3\xA9")));
}

TEST(Marc8Encoder, WhatMarc8LacksIsAReference) {
  const struct {
    const char* what;
    std::string utf8;
    std::string marc8;
    std::size_t references;
  } cases[] = {
      {"a snowman", "1\xE2\x98\x83", "1&#x2603;", 1},
      {"beyond the basic plane", "\xF0\x9F\x98\x80", "&#x1F600;", 1},
      {"a mark MARC-8 lacks, after its letter", "a\xCC\x81\xCC\xB4",
       "\xE2"
       "a&#x0334;",
       1},
      {"a character MARC-8 lacks, with its marks", "\xE2\x98\x83\xCC\x81", "&#x2603;&#x0301;", 2},
      {"from another set, in basic Latin", "\xD0\xA7\xE2\x98\x83\xD0\xA7",
       "\x1B(N~\x1B(B&#x2603;\x1B(N~\x1B(B", 1},
      {"an escape would start a designation", "a\x1B(N", "a&#x001B;(N", 1},
      {"delimiters and other controls pass",
       "a\x1F"
       "b\x1E\t",
       "a\x1F"
       "b\x1E\t",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::size_t references = 0;
    EXPECT_EQ(c.marc8, Encode(c.utf8, &references));
    EXPECT_EQ(c.references, references);
  }
}

TEST(Marc8Encoder, BytesThatAreNotUtf8AreReplacementReferences) {
  const struct {
    const char* what;
    std::string utf8;
    std::string marc8;
    std::vector<std::uint64_t> offsets;
  } cases[] = {
      {"a byte that starts nothing",
       "a\xFF"
       "b",
       "a&#xFFFD;b",
       {1}},
      {"a sequence cut short by the end", "a\xE2\x82", "a&#xFFFD;&#xFFFD;", {1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TextProblem> problems;
    std::size_t references = 0;
    EXPECT_EQ(c.marc8, Encode(c.utf8, &references, &problems));
    EXPECT_EQ(c.offsets.size(), references);
    ASSERT_EQ(c.offsets.size(), problems.size());
    for (std::size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(TextProblem::Kind::kInvalidUtf8, problems[i].kind);
      EXPECT_EQ(c.offsets[i], problems[i].offset);
    }
  }
}

TEST(Marc8Encoder, DesignationsLastUntilFinish) {
  Marc8Encoder encoder;
  std::string out;
  encoder.encode("\xD0\xA7", out);
  encoder.encode("\xD0\xA7", out);  // the next subfield: still Cyrillic
  encoder.finish(out);
  encoder.encode("\xD0\xA7", out);  // the next field starts from the defaults
  encoder.finish(out);
  encoder.finish(out);  // nothing more to bring back
  EXPECT_EQ("\x1B(N~~\x1B(B\x1B(N~\x1B(B", out);

  // reset() forgets a field left unfinished, writing nothing.
  out.clear();
  encoder.encode("\xE3\x80\x80", out);
  encoder.reset();
  encoder.encode("\xE3\x80\x80", out);
  EXPECT_EQ("\x1B$1!#!\x1B$1!#!", out);
}

// Every character up to the end of the ideographs, alone in a field: MARC-8
// gives back the character, its decomposition, or what its alternate value
// stands for; or it is written as a reference.
TEST(Marc8Encoder, EveryCharacterComesBack) {
  Marc8Encoder encoder;
  std::size_t mapped = 0;
  std::string utf8, marc8, back, again;
  for (std::uint32_t c = 0x20; c < 0x30000; ++c) {
    if (c >= 0xD800 && c < 0xE000) continue;
    utf8 = Utf8Of(c);
    marc8.clear();
    const std::size_t references = encoder.encode(utf8, marc8);
    encoder.finish(marc8);
    if (references != 0) {
      char expected[16];
      std::snprintf(expected, sizeof expected, "&#x%04X;", static_cast<unsigned>(c));
      ASSERT_EQ(expected, marc8) << std::hex << c;
      continue;
    }
    ++mapped;
    back = Decode(marc8);
    std::string composed = back, original = utf8;
    composeNfc(composed);
    composeNfc(original);
    if (composed == original) continue;
    again.clear();
    encoder.encode(back, again);
    encoder.finish(again);
    ASSERT_EQ(marc8, again) << std::hex << c;
  }
  EXPECT_GT(mapped, 16000u);
}

// The text pieces of a field: a control field's data; a data field's bytes
// before its first delimiter and its subfield values.
std::vector<std::string_view> Pieces(const FieldView& f) {
  std::vector<std::string_view> pieces;
  if (f.isControl()) {
    pieces.push_back(f.data());
    return pieces;
  }
  pieces.push_back(fieldPrefix(f));
  for (const SubfieldView& s : f.subfields()) pieces.push_back(s.value());
  return pieces;
}

// Bytes as C escapes, for the report of a difference.
std::string Shown(std::string_view bytes) {
  std::string text;
  for (const char ch : bytes) {
    const unsigned char b = static_cast<unsigned char>(ch);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      text += ch;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      text += hex;
    }
  }
  return text;
}

struct RoundTrip {
  bool decodes = true;        // no TextProblem in the record's text
  bool identical = true;      // every piece encoded back to its bytes
  bool same_text = true;      // decode(encode(decode(x))) == decode(x), however encoded
  std::size_t differing = 0;  // pieces not written back as read
  std::string difference;     // the first piece that differs: tag, bytes read, bytes written
};

// MARC-8 to UTF-8 and back, each piece ending in the defaults as cataloguing
// systems write them; and with the designations carried across the pieces of
// a field, finished once at its end, which must read the same.
RoundTrip RoundTripOf(const RecordView& rec) {
  RoundTrip result;
  Marc8Decoder decoder, reader;
  Marc8Encoder encoder, carrier;
  std::vector<TextProblem> problems;
  std::vector<std::string> texts;
  std::string out, back, carried;
  for (const FieldView& f : rec.fields()) {
    const std::vector<std::string_view> pieces = Pieces(f);
    texts.assign(pieces.size(), std::string());
    decoder.reset();
    for (std::size_t i = 0; i < pieces.size(); ++i) decoder.decode(pieces[i], texts[i], &problems);
    if (!problems.empty()) {
      result.decodes = false;
      return result;
    }
    carried.clear();
    reader.reset();
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      out.clear();
      encoder.encode(texts[i], out);
      encoder.finish(out);
      if (out != pieces[i]) {
        if (result.identical) {
          result.difference =
              std::string(f.tag()) + " read " + Shown(pieces[i]) + " written " + Shown(out);
        }
        result.identical = false;
        ++result.differing;
      }
      back.clear();
      Marc8Decoder alone;
      alone.decode(out, back);
      result.same_text = result.same_text && back == texts[i];

      const std::size_t start = carried.size();
      carrier.encode(texts[i], carried);
      if (i + 1 == pieces.size()) carrier.finish(carried);
      back.clear();
      reader.decode(std::string_view(carried).substr(start), back);
      result.same_text = result.same_text && back == texts[i];
    }
  }
  return result;
}

TEST(Marc8RoundTrip, BuiltRecordComesBackByteForByte) {
  using quillet_test::BuildRecord;
  using quillet_test::DataContent;
  quillet_test::LeaderSpec marc8;
  marc8.pos5to11 = "nam  22";
  const ExactBuffer record(BuildRecord(
      {{"001", "ocm 1"},
       {"100", DataContent("1 ", {{'a', "Dvo\xE9rak, Anton\xEDin,"}, {'d', "1841-1904."}})},
       {"245", DataContent("10", {{'6', "880-01"},
                                  {'a', "\x1B(NsAWEZNI\x1B)Q\xC0 :\x1B(B\x1B)!E"},
                                  {'b', "\x1B$1!0W\x1B(B \x1B$1pwq\x1B(B / \x1Bga\x1Bs."}})},
       {"500", DataContent("  ", {{'a', "x\x1Bp2\x1B(2}\x1B(B"}, {'b', "&#x20AC;"}})}},
      marc8));
  Reader reader(record.data(), record.size());
  RecordView rec;
  ASSERT_TRUE(reader.next(rec));
  const RoundTrip trip = RoundTripOf(rec);
  EXPECT_TRUE(trip.decodes);
  EXPECT_TRUE(trip.identical) << trip.difference;
  EXPECT_TRUE(trip.same_text);
}

// Every MARC-8 record of the corpus whose text decodes.
TEST(Marc8RoundTrip, CorpusRecordsComeBack) {
  namespace fs = std::filesystem;
  const fs::path dir(QUILLET_CORPUS_DIR);
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  std::size_t marc8 = 0, undecodable = 0, identical = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || ext == ".md" || ext == ".tsv") continue;
    Reader reader(entry.path().string());
    RecordView rec;
    while (reader.next(rec)) {
      const std::string_view leader = rec.leader();
      if (leader.size() < 10 || leader[9] != ' ' ||
          guessEncoding(rec).encoding != Encoding::kMarc8) {
        continue;
      }
      ++marc8;
      const RoundTrip trip = RoundTripOf(rec);
      if (!trip.decodes) {
        ++undecodable;
        continue;
      }
      const std::string where =
          entry.path().lexically_relative(dir).string() + " @" + std::to_string(rec.offset());
      EXPECT_TRUE(trip.same_text) << where;
      if (trip.identical) {
        ++identical;
      } else {
        std::cout << "[ written otherwise ] " << where << ", " << trip.differing
                  << " piece(s), first " << trip.difference << "\n";
      }
    }
  }
  std::cout << "[ corpus   ] " << marc8 << " MARC-8 records, " << undecodable
            << " with text that does not decode, " << identical << " back byte for byte\n";
  EXPECT_GT(identical, 0u);
}

}  // namespace
}  // namespace quillet
