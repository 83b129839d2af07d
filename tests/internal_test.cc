// Internal routines, linked from the library's objects: the decimal reader
// and the digest layer.
#include <string>

#include "foundations/bytes_to_int.h"
#include "md5/md5_digest.h"
#include "support/expect_mrc.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::Hex;

TEST(DecimalReading, ReadsFixedWidthDigits) {
  EXPECT_EQ(24u, BytesToInt("00024", 0, 5));
  EXPECT_EQ(99999u, BytesToInt("99999", 0, 5));
  EXPECT_EQ(345u, BytesToInt("xx345yy", 2, 3));
  EXPECT_EQ(0u, BytesToInt("0000", 0, 4));
}

TEST(DecimalReading, ZeroWidthReadsNothing) {
  EXPECT_EQ(0u, BytesToInt(nullptr, 0, 0));
  EXPECT_EQ(0u, BytesToInt(nullptr, 100, 0));
}

TEST(DecimalReading, NonPositiveSignedEndReadsNothing) {
  // offset + width wraps to a value not above offset: nothing is read.
  EXPECT_EQ(0u, BytesToInt(nullptr, 0, 0xFFFFFFFFu));
  EXPECT_EQ(0u, BytesToInt(nullptr, 0x7FFFFFF0, 0x20));
}

TEST(DecimalReading, WrapsModulo2To32) {
  // 4294967296 = 2^32 wraps to 0; 4294967297 to 1.
  EXPECT_EQ(0u, BytesToInt("4294967296", 0, 10));
  EXPECT_EQ(1u, BytesToInt("4294967297", 0, 10));
  EXPECT_EQ(1410065408u, BytesToInt("10000000000", 0, 11));
}

TEST(DecimalReading, RejectsAnyNonDigit) {
  const char* const bad[] = {"12a45",
                             "-1234",
                             " 1234",
                             "1234 ",
                             "12\0"
                             "45",
                             "+1234",
                             "12/45",
                             "12:45"};
  for (const char* input : bad) {
    SCOPED_TRACE(input);
    EXPECT_MRC_THROW(BytesToInt(input, 0, 5), "BytesToInt Error");
  }
  // A byte above 0x7F must not pass as a digit once '0' is subtracted.
  EXPECT_MRC_THROW(BytesToInt("1\xB0", 0, 2), "BytesToInt Error");
}

TEST(DigestLayer, MatchesTheReferenceVectors) {
  const struct {
    std::string input;
    const char* md5;
  } vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {std::string(1000, 'a'), "cabe45dcc9ae5b66ba86600cca6b8ba8"},
  };
  for (const auto& v : vectors) {
    unsigned char d[16];
    Md5Digest(v.input.data(), v.input.size(), d);
    EXPECT_EQ(v.md5, Hex(d));
  }
  unsigned char d[16];
  Md5Digest(nullptr, 0, d);
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Hex(d));
}

}  // namespace
}  // namespace quillet
