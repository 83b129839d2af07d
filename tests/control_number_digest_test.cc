// The control number from 001 and the MD5 of the raw record.
#include <sstream>
#include <string>

#include "support/expect_mrc.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;
using quillet_test::EntryPos;
using quillet_test::ExactBuffer;
using quillet_test::Hex;
using quillet_test::Patched;

int IdOf(const std::vector<quillet_test::FieldSpec>& fields) {
  const ExactBuffer buf(BuildRecord(fields));
  Record rec(buf.data(), buf.size());
  return rec.getId();
}

TEST(ControlNumber, ReadsTheWholeContentAsOneNumber) {
  EXPECT_EQ(345, IdOf({{"001", "345"}}));
  EXPECT_EQ(42, IdOf({{"001", "000042"}}));
  EXPECT_EQ(0, IdOf({{"001", ""}}));
  EXPECT_EQ(7, IdOf({{"001", "7"}, {"001", "8"}}));  // first in directory order
  EXPECT_EQ(2147483647, IdOf({{"001", "2147483647"}}));
}

TEST(ControlNumber, LargeNumbersGoNegative) {
  EXPECT_EQ(-2147483647 - 1, IdOf({{"001", "2147483648"}}));
  EXPECT_EQ(-1, IdOf({{"001", "4294967295"}}));
}

TEST(ControlNumber, DataField001GivesMinusOne) {
  EXPECT_EQ(-1, IdOf({{"001", DataContent("  ", {{'a', "123"}})}}));
}

TEST(ControlNumber, Errors) {
  const ExactBuffer letters(BuildRecord({{"001", "ocm12345"}}));
  Record rec(letters.data(), letters.size());
  EXPECT_MRC_THROW(rec.getId(), "BytesToInt Error");
  EXPECT_MRC_THROW(rec.getId(), "BytesToInt Error");  // not cached

  const ExactBuffer none(BuildRecord({{"003", "123"}}));
  Record rec2(none.data(), none.size());
  EXPECT_MRC_THROW(rec2.getId(), "Missing field 001");

  const ExactBuffer bad_base(Patched(BuildRecord({{"001", "1"}}), 12, "00000"));
  Record rec3(bad_base.data(), bad_base.size());
  EXPECT_MRC_THROW(rec3.getId(), "Invalid base offset");
}

TEST(ControlNumber, ZeroLengthFieldReadsAsZero) {
  const ExactBuffer buf(Patched(BuildRecord({{"001", "12"}}), EntryPos(0) + 3, "0000"));
  Record rec(buf.data(), buf.size());
  EXPECT_EQ(0, rec.getId());
}

TEST(ControlNumber, IsCachedUntilTheRecordIsReadAgain) {
  std::istringstream in(BuildRecord({{"001", "11"}}) + BuildRecord({{"001", "22"}}));
  Record rec;
  ASSERT_TRUE(in >> rec);
  EXPECT_EQ(11, rec.getId());
  EXPECT_EQ(11, rec.getId());
  ASSERT_TRUE(in >> rec);
  EXPECT_EQ(22, rec.getId());
}

TEST(Digest, CoversExactlyTheRecordBytes) {
  const std::string bytes = BuildRecord({{"001", "1"}, {"245", DataContent("10", {{'a', "T"}})}});
  // md5sum of those 58 bytes.
  const std::string expected = "d78dd1196d0e8d2801ab8539bae2e304";

  const ExactBuffer buf(bytes + "ignored");
  Record from_memory(buf.data(), buf.size());
  std::istringstream in(bytes + bytes);
  Record from_stream;
  ASSERT_TRUE(in >> from_stream);
  unsigned char a[16], b[16];
  from_memory.getMD5(a);
  from_stream.getMD5(b);
  EXPECT_EQ(expected, Hex(a));
  EXPECT_EQ(expected, Hex(b));
  Record empty;
  empty.getMD5(a);
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Hex(a));  // of zero bytes
}

}  // namespace
}  // namespace quillet
