// The directory parse: field map order, look-ups, field kinds, damage.
#include <string>
#include <vector>

#include "support/expect_mrc.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::DataContent;
using quillet_test::EntryPos;
using quillet_test::ExactBuffer;
using quillet_test::Patched;

std::string Tag(const FieldTag& tag) {
  char out[4];
  return tag.ToAscii(out);
}

std::string Content(const Field* field) {
  if (field->isControl()) {
    auto* c = static_cast<const ControlField*>(field);
    return std::string(c->getData(), c->getDatalen());
  }
  auto* d = static_cast<const DataField*>(const_cast<Field*>(field));
  return std::string(1, d->getInd1()) + d->getInd2();
}

// Directory order 245, 100, 650, 650, 001.
std::string UnorderedRecord() {
  return BuildRecord({{"245", DataContent("10", {{'a', "Title"}})},
                      {"100", DataContent("1 ", {{'a', "Author"}})},
                      {"650", DataContent(" 0", {{'a', "First"}})},
                      {"650", DataContent(" 7", {{'a', "Second"}})},
                      {"001", "12345"}});
}

TEST(Directory, WalksInTagOrderWithEqualTagsInDirectoryOrder) {
  const ExactBuffer buf(UnorderedRecord());
  Record rec(buf.data(), buf.size());
  std::vector<std::string> walked;
  for (auto it = rec.getFMapBegin(); it != rec.getFMapEnd(); ++it) {
    walked.push_back(Tag(it->first) + ":" + Content(it->second));
  }
  const std::vector<std::string> expected = {"001:12345", "100:1 ", "245:10", "650: 0", "650: 7"};
  EXPECT_EQ(expected, walked);
}

TEST(Directory, LooksUpTags) {
  const ExactBuffer buf(UnorderedRecord());
  Record rec(buf.data(), buf.size());
  auto first = rec.getFirstField("650");
  ASSERT_NE(rec.getFMapEnd(), first);
  EXPECT_EQ(" 0", Content(first->second));
  auto range = rec.getFieldRange("650");
  EXPECT_EQ(first, range.first);
  EXPECT_EQ(2, std::distance(range.first, range.second));
  EXPECT_EQ(rec.getFMapEnd(), rec.getFirstField("500"));
  EXPECT_EQ(rec.getFirstField("245"), rec.getFirstField("245\0junk"));
  auto none = rec.getFieldRange("500");
  EXPECT_EQ(none.first, none.second);
  EXPECT_EQ(rec.getFirstField("650"), none.first);  // where 500 would go
  EXPECT_EQ(rec.getFMapEnd(), rec.getFirstField(nullptr));
  EXPECT_EQ(rec.getFMapEnd(), rec.getFirstField("999"));
  // Parsed once: the same objects every time.
  EXPECT_EQ(rec.getFMapBegin()->second, rec.getFirstField("001")->second);
  EXPECT_EQ(5, std::distance(rec.getFMapBegin(), rec.getFMapEnd()));
}

TEST(Directory, KindFollowsContentNotTag) {
  const ExactBuffer buf(BuildRecord(
      {{"001", Bytes("ab$cd")}, {"245", "abc"}, {"500", "ab"}, {"008", Bytes("x$ab")}}));
  Record rec(buf.data(), buf.size());
  EXPECT_FALSE(rec.getFirstField("001")->second->isControl());  // ab 0x1F ...
  EXPECT_TRUE(rec.getFirstField("245")->second->isControl());   // no delimiter
  EXPECT_TRUE(rec.getFirstField("500")->second->isControl());   // length 3
  EXPECT_TRUE(rec.getFirstField("008")->second->isControl());   // 0x1F is the second byte
}

TEST(Directory, EmptyDirectoryGivesNoFields) {
  // The directory terminator where the first entry would start.
  const ExactBuffer buf(Patched(BuildRecord({{"001", "1"}}), EntryPos(0), Bytes("#")));
  Record rec(buf.data(), buf.size());
  EXPECT_EQ(rec.getFMapBegin(), rec.getFMapEnd());
  EXPECT_EQ(rec.getFMapEnd(), rec.getFirstField("001"));
}

TEST(Directory, FieldMayEndJustBeforeTheRecordTerminator) {
  // The last field of a built record ends on the byte before the terminator.
  const std::string good = BuildRecord({{"001", "1"}, {"500", "note"}});
  const ExactBuffer ok(good);
  Record rec(ok.data(), ok.size());
  EXPECT_EQ(2, std::distance(rec.getFMapBegin(), rec.getFMapEnd()));
  // One byte longer and it reaches the last byte.
  const ExactBuffer bad(Patched(good, EntryPos(1) + 3, "0006"));
  Record broken(bad.data(), bad.size());
  EXPECT_MRC_THROW(broken.getFMapBegin(), "Field out of buffer.");
}

TEST(Directory, DamageIsReportedWithItsMessage) {
  const std::string good = BuildRecord({{"001", "1"}, {"245", DataContent("00", {{'a', "T"}})}});
  const std::string length = good.substr(0, 5);
  const unsigned last = static_cast<unsigned>(good.size()) - 1;
  const struct {
    const char* what;
    std::string record;
    const char* message;
  } cases[] = {
      {"base 0", Patched(good, 12, "00000"), "Invalid base offset"},
      {"base at last byte", Patched(good, 12, "000" + std::to_string(last)), "Invalid base offset"},
      {"base beyond", Patched(good, 12, "99999"), "Invalid base offset"},
      {"base not digits", Patched(good, 12, "2f003"), "BytesToInt Error"},
      {"length not digits", Patched(good, EntryPos(0) + 3, "00x2"), "BytesToInt Error"},
      {"start not digits", Patched(good, EntryPos(1) + 7, "0000 "), "BytesToInt Error"},
      {"start too far", Patched(good, EntryPos(1) + 7, "00100"), "Field out of buffer."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(good.size(), c.record.size());
    const ExactBuffer buf(c.record);
    Record rec(buf.data(), buf.size());
    EXPECT_MRC_THROW(rec.getFMapBegin(), c.message);
  }
}

TEST(Directory, FieldsBeforeTheDamageStay) {
  const std::string good = BuildRecord({{"001", "7"}, {"005", "x"}, {"245", "y"}});
  const ExactBuffer buf(Patched(good, EntryPos(1) + 3, "9999"));
  Record rec(buf.data(), buf.size());
  EXPECT_MRC_THROW(rec.getFMapBegin(), "Field out of buffer.");
  // The map is no longer empty, so later queries use what was parsed.
  EXPECT_EQ(1, std::distance(rec.getFMapBegin(), rec.getFMapEnd()));
  EXPECT_EQ(rec.getFMapEnd(), rec.getFirstField("245"));
  EXPECT_EQ(7, rec.getId());
}

TEST(Directory, UnterminatedDirectoryStopsAtTheRecordEnd) {
  // 43 bytes: one entry naming a 2-byte field at base 30, then 7 bytes of a
  // second entry that would run past the record.
  const std::string rec_bytes =
      std::string("00043nam a2200030 a 4500") + "245000200000" + "2450002";
  ASSERT_EQ(43u, rec_bytes.size());
  const ExactBuffer buf(rec_bytes);
  Record rec(buf.data(), buf.size());
  EXPECT_MRC_THROW(rec.getFMapBegin(), "Field out of buffer.");
  EXPECT_EQ(1, std::distance(rec.getFMapBegin(), rec.getFMapEnd()));
}

}  // namespace
}  // namespace quillet
