// quillet-dump's --stats table.
#include "dump.h"

#include <gtest/gtest.h>

#include <string>

#include "support/record_builder.h"

namespace quillet_dump {
namespace {

using quillet_test::BuildRecord;

TEST(DumpStats, CountsRecordsAndOccurrencesPerTagAndCode) {
  using quillet_test::Bytes;
  const std::string one = BuildRecord({{"001", "1"},
                                       {"245", Bytes("10$aTitle$bpart")},
                                       {"650", Bytes(" 0$aMaps")},
                                       {"650", Bytes(" 0$aSeas$xHistory$x")}});
  const std::string two = BuildRecord({{"245", Bytes("00$aOther")}, {"517", "1 "}});
  TagStats stats;
  for (const std::string& bytes : {one, two}) {
    stats.Add(quillet::RecordView::parse(bytes.data(), bytes.size()));
  }
  EXPECT_EQ(
      "records\t\t2\t\n"
      "bytes\t\t" +
          std::to_string(one.size() + two.size()) +
          "\t\n"
          "problem\tdata field without subfield delimiter\t1\t\n"
          "field\t001\t1\t1\n"
          "field\t245\t2\t2\n"
          "subfield\t245$a\t2\t2\n"
          "subfield\t245$b\t1\t1\n"
          "field\t517\t1\t1\n"
          "field\t650\t1\t2\n"
          "subfield\t650$a\t1\t2\n"
          "subfield\t650$x\t1\t2\n",
      stats.Table());
}

}  // namespace
}  // namespace quillet_dump
