// Getting records in: from a stream with buffer reuse, and from memory.
#include <sstream>
#include <string>

#include "support/expect_mrc.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;
using quillet_test::ExactBuffer;
using quillet_test::Patched;

std::string SmallRecord(const std::string& id) {
  return BuildRecord({{"001", id}, {"245", DataContent("10", {{'a', "Title " + id}})}});
}

std::string RecordOfLength(unsigned length) {
  // Leader 24 + directory 13 + terminator of the field + record terminator.
  const unsigned overhead = 24 + 13 + 1 + 1;
  return BuildRecord({{"500", std::string(length - overhead, 'x')}});
}

TEST(StreamReading, LoopReadsEveryRecordThenMeetsTheEndQuietly) {
  std::string all;
  for (int i = 0; i < 5; ++i) all += SmallRecord(std::string(i + 1, '7'));
  std::istringstream in(all);
  Record rec;
  std::string seen;
  while (in >> rec) seen.append(rec.getData(), rec.getDatalen());
  EXPECT_EQ(all, seen);
  EXPECT_EQ(0u, rec.getDatalen());
}

TEST(StreamReading, EndInsideTheLengthIsTheEndOfInput) {
  for (const std::string& input : {std::string(), std::string("007")}) {
    std::istringstream in(input);
    Record rec;
    EXPECT_FALSE(in >> rec);
    EXPECT_EQ(0u, rec.getDatalen());
    EXPECT_EQ(rec.getFMapBegin(), rec.getFMapEnd());
  }
}

TEST(StreamReading, RejectsBadLengths) {
  const std::string good = SmallRecord("1");
  const struct {
    std::string length;
    const char* message;
  } cases[] = {
      {"00024", "Invalid record length"},
      {"00000", "Invalid record length"},
      {"1234x", "BytesToInt Error"},
      {" 0050", "BytesToInt Error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::istringstream in(Patched(good, 0, c.length));
    Record rec;
    EXPECT_MRC_THROW(in >> rec, c.message);
    EXPECT_EQ(0u, rec.getDatalen());
  }
}

TEST(StreamReading, AcceptsTheShortestRecord) {
  const std::string shortest = std::string("00025") + std::string(19, ' ') + '\x1D';
  std::istringstream in(shortest);
  Record rec;
  ASSERT_TRUE(in >> rec);
  EXPECT_EQ(25u, rec.getDatalen());
}

TEST(StreamReading, TruncatedRecordThrowsAndHoldsNoRecord) {
  const std::string whole = SmallRecord("1") + SmallRecord("2");
  std::istringstream in(whole.substr(0, whole.size() - 3));
  Record rec;
  ASSERT_TRUE(in >> rec);
  EXPECT_MRC_THROW(in >> rec, "Unable to read record");
  // Nothing of the partial record may be used afterwards.
  EXPECT_EQ(0u, rec.getDatalen());
  EXPECT_EQ(rec.getFMapBegin(), rec.getFMapEnd());
}

TEST(StreamReading, FailedStreamBeforeTheLengthIsAnError) {
  std::istringstream in(SmallRecord("1"));
  in.setstate(std::ios::failbit);
  Record rec;
  EXPECT_MRC_THROW(in >> rec, "Unable to read record length");
}

TEST(StreamReading, ReadingAgainDropsThePreviousFields) {
  std::istringstream in(SmallRecord("1") + BuildRecord({{"008", "x"}}));
  Record rec;
  ASSERT_TRUE(in >> rec);
  EXPECT_NE(rec.getFirstField("245"), rec.getFMapEnd());
  EXPECT_EQ(1, rec.getId());
  ASSERT_TRUE(in >> rec);
  EXPECT_EQ(rec.getFirstField("245"), rec.getFMapEnd());
  EXPECT_EQ(1, std::distance(rec.getFMapBegin(), rec.getFMapEnd()));
  EXPECT_MRC_THROW(rec.getId(), "Missing field 001");
}

TEST(StreamBuffer, GrowsToLengthPlusHeadroomAndIsReused) {
  const std::string r500 = RecordOfLength(500), r1500 = RecordOfLength(1500),
                    r1501 = RecordOfLength(1501), r2501 = RecordOfLength(2501);
  ASSERT_EQ(500u, r500.size());
  std::istringstream in(r500 + r1500 + r500 + r1501 + r2501);
  Record rec;
  ASSERT_TRUE(in >> rec);
  const char* buffer = rec.getData();
  ASSERT_TRUE(in >> rec);  // 1500 fits the 1500 bytes given for the first one
  EXPECT_EQ(buffer, rec.getData());
  ASSERT_TRUE(in >> rec);
  EXPECT_EQ(buffer, rec.getData());
  ASSERT_TRUE(in >> rec);  // 1501 does not: a new buffer of 2501
  EXPECT_EQ(1501u, rec.getDatalen());
  EXPECT_EQ(r1501, std::string(rec.getData(), rec.getDatalen()));
  buffer = rec.getData();
  ASSERT_TRUE(in >> rec);
  EXPECT_EQ(buffer, rec.getData());
  EXPECT_EQ(r2501, std::string(rec.getData(), rec.getDatalen()));
}

TEST(StreamBuffer, SurvivesAFailedReadAfterGrowing) {
  std::istringstream in(RecordOfLength(3000).substr(0, 2000));
  Record rec;
  EXPECT_MRC_THROW(in >> rec, "Unable to read record");
  const char* grown = rec.getData();
  ASSERT_NE(nullptr, grown);
  std::istringstream next(RecordOfLength(4000));
  ASSERT_TRUE(next >> rec);  // within the 3000 + 1000 bytes of the failed read
  EXPECT_EQ(grown, rec.getData());
  EXPECT_EQ(4000u, rec.getDatalen());
}

TEST(MemoryRecord, CopiesExactlyTheRecordLength) {
  const std::string rec_bytes = SmallRecord("42");
  const ExactBuffer exact(rec_bytes + "trailing bytes are ignored");
  Record rec(exact.data(), exact.size());
  EXPECT_EQ(rec_bytes.size(), rec.getDatalen());
  EXPECT_EQ(rec_bytes, std::string(rec.getData(), rec.getDatalen()));
  EXPECT_NE(exact.data(), rec.getData());
  EXPECT_EQ(rec.getData(), rec.getLeader());
  EXPECT_EQ(24, rec.getLeaderLength());
  EXPECT_EQ(42, rec.getId());
}

TEST(MemoryRecord, RejectsBadInput) {
  const std::string good = SmallRecord("1");
  const ExactBuffer exact(good);
  const ExactBuffer four(good.substr(0, 4));
  const ExactBuffer short_by_one(good.substr(0, good.size() - 1));
  const ExactBuffer letters(Patched(good, 0, "0a100"));
  const ExactBuffer too_short(Patched(good, 0, "00024"));
  EXPECT_MRC_THROW(Record(nullptr, 10), "Invalid input parameters");
  EXPECT_MRC_THROW(Record(exact.data(), 0), "Invalid input parameters");
  EXPECT_MRC_THROW(Record(four.data(), four.size()), "Buffer size is too small");
  EXPECT_MRC_THROW(Record(letters.data(), letters.size()), "BytesToInt Error");
  EXPECT_MRC_THROW(Record(too_short.data(), too_short.size()), "Invalid record length");
  EXPECT_MRC_THROW(Record(short_by_one.data(), short_by_one.size()),
                   "Record length longer than buffer size");
}

TEST(EmptyRecord, HoldsNothingAndParsesNothing) {
  Record rec;
  EXPECT_EQ(0u, rec.getDatalen());
  EXPECT_EQ(nullptr, rec.getData());
  EXPECT_EQ(24, rec.getLeaderLength());
  EXPECT_EQ(rec.getFMapBegin(), rec.getFMapEnd());
  EXPECT_EQ(rec.getFMapEnd(), rec.getFirstField("001"));
  EXPECT_MRC_THROW(rec.getId(), "Missing field 001");
}

}  // namespace
}  // namespace quillet
