// MARC-8 to UTF-8: every character set through its escape sequence, the
// marks moved after their letters, damage reported with the text after it
// intact, and the encoding a record is read in.
#include <quillet/marc8.h>
#include <quillet/view.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;

std::string Decode(const std::string& marc8, std::vector<TextProblem>* problems = nullptr) {
  Marc8Decoder decoder;
  std::string out;
  decoder.decode(marc8, out, problems);
  return out;
}

TEST(Marc8, EachSetThroughItsEscapeFirstAndLastRows) {
  const struct {
    const char* what;
    std::string marc8;
    std::string utf8;
  } cases[] = {
      {"basic Latin, the default G0", "!~", "!~"},
      {"extended Latin (ANSEL), the default G1", "\x88\xB9", "\xC2\x98\xC2\xA3"},
      {"Greek symbols, ESC g", "\x1Bga\x63\x1Bs", "\xCE\xB1\xCE\xB3"},
      {"subscripts, ESC b",
       "\x1B"
       "b(9\x1Bs",
       "\xE2\x82\x8D\xE2\x82\x89"},
      {"superscripts, ESC p", "\x1Bp(9\x1Bs", "\xE2\x81\xBD\xE2\x81\xB9"},
      {"Hebrew, ESC ( 2", "\x1B(2!}", "!\xD7\xB2"},
      {"Cyrillic, ESC ( N", "\x1B(N!~", "!\xD0\xA7"},
      {"extended Cyrillic, ESC ) Q", "\x1B)Q\xC0\xF3", "\xD2\x91\xD1\xAA"},
      {"Arabic, ESC ( 3", "\x1B(3!z", "!\xE2\x80\x9C"},
      {"extended Arabic, ESC ) 4", "\x1B)4\xA1", "\xDB\xBD"},
      {"Greek, ESC ( S", "\x1B(S~", "\xCF\xA1"},
      {"EACC, ESC $ 1", "\x1B$1!# pwq", "\xE3\x80\x80\xE9\xBB\xA2"},
      {"EACC into G1, ESC $ ) 1", "\x1B$)1\xA1\xA3\xA0", "\xE3\x80\x80"},
      {"other forms: ESC , N and ESC - Q", "\x1B,N~\x1B-Q\xC0", "\xD0\xA7\xD2\x91"},
      {"EACC by ESC $ , 1", "\x1B$,1!# ", "\xE3\x80\x80"},
      {"EACC into G1 by ESC $ - 1", "\x1B$-1\xA1\xA3\xA0", "\xE3\x80\x80"},
      {"back to ASCII, ESC ( B", "\x1B(N~\x1B(B~", "\xD0\xA7~"},
      {"ANSEL into G1 with its intermediate, ESC ) ! E", "\x1B)Q\x1B)!E\xB9", "\xC2\xA3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TextProblem> problems;
    EXPECT_EQ(c.utf8, Decode(c.marc8, &problems));
  }
}

TEST(Marc8, MarksFollowTheirLetter) {
  // MARC-8 writes diacritics before the letter, Unicode after it, in order.
  EXPECT_EQ(
      "re\xCC\x81"
      "sume\xCC\x81",
      Decode("r\xE2"
             "esum\xE2"
             "e"));
  EXPECT_EQ("a\xCC\x81\xCC\x82", Decode("\xE2\xE3"
                                        "a"));  // two marks on one letter
  EXPECT_EQ("ab\xCC\x81", Decode("ab\xE2"));    // a mark ending the text
  std::string composed = Decode(
      "r\xE2"
      "esum\xE2"
      "e");
  composeNfc(composed);
  EXPECT_EQ("r\xC3\xA9sum\xC3\xA9", composed);
  // Marks of a set designated by escape: Hebrew points, Greek accents.
  EXPECT_EQ("\xCE\xB1\xCC\x80", Decode("\x1B(S!a"));
}

TEST(Marc8, DamageBecomesReplacementAndTheRestIsRead) {
  const struct {
    const char* what;
    std::string marc8;
    std::string utf8;
    TextProblem::Kind kind;
    std::uint64_t offset;
  } cases[] = {
      {"a code with no character", "a\xAFz", "a\xEF\xBF\xBDz", TextProblem::Kind::kUnmapped, 1},
      {"an unknown escape", "a\x1B(Zz", "a\xEF\xBF\xBDz", TextProblem::Kind::kUnknownEscape, 1},
      {"an escape cut short", "ab\x1B(", "ab\xEF\xBF\xBD", TextProblem::Kind::kUnknownEscape, 2},
      {"an EACC character cut short", "\x1B$1!#", "\xEF\xBF\xBD", TextProblem::Kind::kCutShort, 3},
      {"an EACC code with no character", "\x1B$1!!!!# ", "\xEF\xBF\xBD\xE3\x80\x80",
       TextProblem::Kind::kUnmapped, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TextProblem> problems;
    EXPECT_EQ(c.utf8, Decode(c.marc8, &problems));
    ASSERT_EQ(1u, problems.size());
    EXPECT_EQ(c.kind, problems[0].kind);
    EXPECT_EQ(c.offset, problems[0].offset);
  }
  std::vector<TextProblem> problems;
  std::string out;
  appendUtf8("ok\xC3(\xE2\x82\xAC", out, &problems, 100);
  EXPECT_EQ("ok\xEF\xBF\xBD(\xE2\x82\xAC", out);
  ASSERT_EQ(1u, problems.size());
  EXPECT_EQ(102u, problems[0].offset);
}

TEST(Marc8, DesignationsLastToTheEndOfTheField) {
  Marc8Decoder decoder;
  std::string out;
  decoder.decode("\x1B(N", out);
  decoder.decode("~", out);  // the next subfield: still Cyrillic
  decoder.reset();           // the next field
  decoder.decode("~", out);
  EXPECT_EQ("\xD0\xA7~", out);
}

RecordView Parse(const std::string& bytes) { return RecordView::parse(bytes.data(), bytes.size()); }

TEST(Encoding, LeaderDecidesUnlessTheBytesDisagree) {
  quillet_test::LeaderSpec marc8;
  marc8.pos5to11 = "nam  22";
  const std::string utf8_title = DataContent("10", {{'a', "caf\xC3\xA9"}});
  const std::string marc8_title = DataContent("10", {{'a',
                                                      "caf\xE2"
                                                      "e"}});
  const struct {
    const char* what;
    std::string record;
    Encoding encoding;
    bool disagrees;
    bool well_formed;
  } cases[] = {
      {"marked UTF-8", BuildRecord({{"245", utf8_title}}), Encoding::kUtf8, false, true},
      {"marked MARC-8", BuildRecord({{"245", marc8_title}}, marc8), Encoding::kMarc8, false, false},
      {"marked MARC-8, plain ASCII",
       BuildRecord({{"245",
                     "10\x1F"
                     "aAbc"}},
                   marc8),
       Encoding::kMarc8, false, false},
      {"marked MARC-8, UTF-8 bytes", BuildRecord({{"245", utf8_title}}, marc8), Encoding::kUtf8,
       true, true},
      {"marked UTF-8, MARC-8 bytes", BuildRecord({{"245", marc8_title}}), Encoding::kMarc8, true,
       false},
      {"marked MARC-8 with an escape",
       BuildRecord({{"245",
                     "10\x1F"
                     "a\x1B(N~\xC3\xA9"}},
                   marc8),
       Encoding::kMarc8, false, false},
      // The field is well-formed, but its code takes the first byte of
      // U+00E9, so the value starts with a lone continuation byte.
      {"marked UTF-8, a code cuts a character", BuildRecord({{"245", "10\x1F\xC3\xA9t\xC3\xA9"}}),
       Encoding::kUtf8, false, false},
      {"marked UTF-8, an indicator cuts a character",
       BuildRecord({{"245",
                     "1\xC3\xA9\x1F"
                     "at"}}),
       Encoding::kUtf8, false, false},
      {"unmarked UTF-8, a code cuts a character",
       BuildRecord({{"245", "10\x1F\xC3\xA9t\xC3\xA9"}}, marc8), Encoding::kUtf8, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const EncodingGuess guess = guessEncoding(Parse(c.record));
    EXPECT_EQ(c.encoding, guess.encoding);
    EXPECT_EQ(c.disagrees, guess.leader_disagrees);
    EXPECT_EQ(c.well_formed, guess.well_formed);
    EXPECT_EQ(c.disagrees, guess.disagreement() != nullptr);
  }
  EXPECT_STREQ("leader/09 says MARC-8, but the data is UTF-8; read as UTF-8",
               guessEncoding(Parse(BuildRecord({{"245", utf8_title}}, marc8))).disagreement());
}

}  // namespace
}  // namespace quillet
