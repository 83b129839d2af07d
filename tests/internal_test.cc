// The decimal readers behind every number of a record, linked from the
// library's objects.
#include <string>

#include "classic/bytes_to_int.h"
#include "common/directory_entry.h"
#include "support/expect_mrc.h"

namespace quillet {
namespace {

TEST(DecimalReading, ReadsFixedWidthDigitsModulo2To32) {
  EXPECT_EQ(24u, BytesToInt("00024", 0, 5));
  EXPECT_EQ(99999u, BytesToInt("99999", 0, 5));
  EXPECT_EQ(345u, BytesToInt("xx345yy", 2, 3));
  EXPECT_EQ(0u, BytesToInt("4294967296", 0, 10));
  EXPECT_EQ(1u, BytesToInt("4294967297", 0, 10));
  EXPECT_EQ(1410065408u, BytesToInt("10000000000", 0, 11));
}

TEST(DecimalReading, ReadsNothingWhenTheSignedEndIsNotAboveTheOffset) {
  EXPECT_EQ(0u, BytesToInt(nullptr, 100, 0));
  EXPECT_EQ(0u, BytesToInt(nullptr, 0, 0xFFFFFFFFu));
  EXPECT_EQ(0u, BytesToInt(nullptr, 0x7FFFFFF0, 0x20));
}

TEST(DecimalReading, RejectsAnyNonDigit) {
  // A byte above 0x7F must not pass as a digit once '0' is subtracted.
  for (const char* input : {"12a45", "-1234", " 1234", "1234 ", "+1234", "12/45", "12:45",
                            "1\xB0"
                            "345"}) {
    SCOPED_TRACE(input);
    EXPECT_MRC_THROW(BytesToInt(input, 0, 5), "BytesToInt Error");
  }
  EXPECT_MRC_THROW(BytesToInt(std::string("12\0"
                                          "45",
                                          5)
                                  .data(),
                              0, 5),
                   "BytesToInt Error");
}

// Both parsers decode entries here; the four digits of a length are read
// at once, so bytes beside '0' and '9' must fail in every position.
TEST(DirectoryEntries, DecodeTagLengthAndStartOrRejectNonDigits) {
  DirectoryEntry e{};
  ASSERT_TRUE(DirectoryEntry::Decode("245009912345", &e));
  EXPECT_EQ(std::string("245"), std::string(e.tag, 3));
  EXPECT_EQ(99u, e.length);
  EXPECT_EQ(12345u, e.start);
  ASSERT_TRUE(DirectoryEntry::Decode("abc999999999", &e));  // the tag is any three bytes
  EXPECT_EQ(9999u, e.length);
  EXPECT_EQ(99999u, e.start);
  for (std::size_t at = 3; at < 12; ++at) {
    for (const char bad : {'/', ':', ' ', '\xB0', '\0'}) {
      std::string entry = "245000100000";
      entry[at] = bad;
      SCOPED_TRACE(entry);
      EXPECT_FALSE(DirectoryEntry::Decode(entry.data(), &e));
    }
  }
}

}  // namespace
}  // namespace quillet
