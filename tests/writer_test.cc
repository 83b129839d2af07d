// The record writer: what it writes reads back, field for field, through
// both interfaces; lengths that digits cannot state are refused.
#include <quillet/quillet.h>
#include <quillet/view.h>
#include <quillet/writer.h>

#include <stdexcept>
#include <string>

#include "gtest/gtest.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

TEST(RecordWriter, WritesWhatReadsBackFieldForField) {
  RecordWriter w;
  w.setLeader("99999cam a2299999 i 9974");  // lengths and entry map written anew
  w.addControlField("001", "ocm12345678");
  w.addDataField("245", "10", {{'a', "A title"}, {'b', ""}, {'c', "by someone"}});
  w.addControlField("008", "");
  w.addDataField("650", " 0", {{'a', "Maps"}});
  const std::string bytes = w.build();
  // The same bytes as the tests' own builder makes of the same fields.
  EXPECT_EQ(quillet_test::BuildRecord({{"001", "ocm12345678"},
                                       {"245", quillet_test::Bytes("10$aA title$b$cby someone")},
                                       {"008", ""},
                                       {"650", quillet_test::Bytes(" 0$aMaps")}},
                                      {"cam a22", " i 4500"}),
            bytes);
  const RecordView view = RecordView::parse(bytes.data(), bytes.size());
  EXPECT_TRUE(view.problems().empty());
  ASSERT_EQ(4u, view.fields().size());
  EXPECT_EQ("", view.field("245")->subfield('b'));
  Record classic(bytes.data(), static_cast<unsigned>(bytes.size()));
  EXPECT_EQ(4, std::distance(classic.getFMapBegin(), classic.getFMapEnd()));

  w.clear();  // a new record, the same leader
  w.addControlField("001", "2");
  EXPECT_EQ(quillet_test::BuildRecord({{"001", "2"}}, {"cam a22", " i 4500"}), w.build());
}

TEST(RecordWriter, RefusesLengthsItsDigitsCannotState) {
  RecordWriter w;
  w.addControlField("500", std::string(9998, 'x'));  // 9,999 with its terminator: fits
  EXPECT_NO_THROW(w.build());
  w.clear();
  w.addControlField("500", std::string(9999, 'x'));
  EXPECT_THROW(w.build(), std::length_error);
  w.clear();
  for (int i = 0; i < 12; ++i) w.addControlField("500", std::string(9000, 'x'));  // 108,189 bytes
  std::string out = "kept";
  EXPECT_THROW(w.appendTo(out), std::length_error);
  EXPECT_EQ(4u, out.size());  // nothing half-written
}

}  // namespace
}  // namespace quillet
