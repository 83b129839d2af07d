// The exception type and field tags.
#include <cstring>
#include <string>

#include "support/expect_mrc.h"

namespace quillet {
namespace {

TEST(Exception, IsAStdExceptionWithItsMessage) {
  try {
    throw MrcException("Invalid record length");
  } catch (const std::exception& e) {
    EXPECT_STREQ("Invalid record length", e.what());
  }
}

std::string Ascii(const FieldTag& tag) {
  char out[4];
  return std::string(tag.ToAscii(out), 3);
}

TEST(Tags, RoundTripThroughAscii) {
  char out[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(out, FieldTag("245").ToAscii(out));
  EXPECT_EQ(0, std::memcmp(out, "245", 4));
  EXPECT_EQ(std::string("\x80"
                        "A\xFF",
                        3),
            Ascii(FieldTag("\x80"
                           "A\xFF")));
}

TEST(Tags, ReadExactlyThreeBytes) {
  // The fourth byte lies outside the array: only three may be read.
  const char three[3] = {'0', '0', '1'};
  EXPECT_EQ(FieldTag("001"), FieldTag(three));
  // A two-character text packs its terminating NUL as the third character.
  EXPECT_EQ(std::string("ab\0", 3), Ascii(FieldTag("ab")));
}

TEST(Tags, NullIsTheZeroTagBeforeEveryOther) {
  const FieldTag none(nullptr);
  char out[4] = {'x', 'x', 'x', 'x'};
  none.ToAscii(out);
  EXPECT_EQ(0, std::memcmp(out, "\0\0\0\0", 4));
  EXPECT_LT(none, FieldTag("\0\0\x01"));
  EXPECT_LT(none, FieldTag("000"));
}

TEST(Tags, OrderByteWiseFromTheFirstCharacter) {
  EXPECT_LT(FieldTag("001"), FieldTag("010"));
  EXPECT_LT(FieldTag("010"), FieldTag("245"));
  EXPECT_LT(FieldTag("245"), FieldTag("999"));
  EXPECT_LT(FieldTag("999"), FieldTag("A00"));
  EXPECT_LT(FieldTag("zzz"), FieldTag("\x80"
                                      "00"));
  EXPECT_FALSE(FieldTag("245") < FieldTag("245"));
  EXPECT_NE(FieldTag("245"), FieldTag("246"));
}

TEST(Tags, ToAsciiRejectsANullOutput) {
  EXPECT_MRC_THROW(FieldTag("245").ToAscii(nullptr), "FieldTag::ToAscii() Error. !pcTag");
}

}  // namespace
}  // namespace quillet
