// The editable record: what it is made from reads back field for field,
// byte for byte when the record was well-formed; every change writes the
// bytes the record builder makes of the changed fields; refusals name what
// was wrong; lengths the digits cannot state are errors or, when asked, the
// zeros the views read back.
#include <quillet/formats.h>
#include <quillet/marc_record.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;
using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::EntryPos;
using quillet_test::ExactBuffer;
using quillet_test::Patched;

// The leader pieces of MarcRecord's empty leader, for the record builder.
const quillet_test::LeaderSpec kEmpty{"    a22", "   4500"};

// Checks that `statement` throws `type` with exactly `message`.
#define EXPECT_THROW_MSG(statement, type, message)                   \
  do {                                                               \
    try {                                                            \
      statement;                                                     \
      ADD_FAILURE() << "expected " #type " \"" << (message) << "\""; \
    } catch (const type& e) {                                        \
      EXPECT_EQ(std::string(message), e.what());                     \
    }                                                                \
  } while (0)

// The fields as one line each: tag, then control data, or indicators,
// prefix and subfields. Two records have the same fields when these agree.
std::string Fields(const RecordView& rec) {
  std::string s;
  for (const FieldView& f : rec.fields()) {
    s.append(f.tag());
    if (f.isControl()) {
      s.append(" =").append(f.data());
    } else {
      s.append(" ").append(1, f.indicator1()).append(1, f.indicator2());
      s.append(" [").append(fieldPrefix(f)).append("]");
      for (const SubfieldView& sf : f.subfields())
        s.append("$").append(1, sf.code()).append(sf.value());
    }
    s += '\n';
  }
  return s;
}

std::string Fields(const MarcRecord& rec) {
  std::string s;
  for (std::size_t i = 0; i < rec.fieldCount(); ++i) {
    s.append(rec.tag(i));
    if (rec.isControl(i)) {
      s.append(" =").append(rec.data(i));
    } else {
      s.append(" ").append(1, rec.indicator1(i)).append(1, rec.indicator2(i));
      s.append(" [").append(rec.prefix(i)).append("]");
      for (std::size_t j = 0; j < rec.subfieldCount(i); ++j) {
        s.append("$").append(1, rec.code(i, j)).append(rec.value(i, j));
      }
    }
    s += '\n';
  }
  return s;
}

// Whether the directory and framing of `rec` were read as its bytes say.
// A tag holding a separator (kept from a damaged record) cannot be: the
// directory then reads as ending there.
bool DirectoryRead(const RecordView& rec) {
  for (const FieldView& f : rec.fields()) {
    if (f.tag().find_first_of("\x1D\x1E\x1F") != std::string_view::npos) return true;
  }
  for (const Problem& p : rec.problems()) {
    if (p.kind != Problem::Kind::kShortDataField && p.kind != Problem::Kind::kNoSubfields &&
        p.kind != Problem::Kind::kSubfieldWithoutCode &&
        p.kind != Problem::Kind::kTerminatorInField && p.kind != Problem::Kind::kMoreProblems) {
      return false;
    }
  }
  return true;
}

// Whether leader/10 and /11 read as 2: the fields' shape in a MarcRecord.
bool TwoAndTwo(std::string_view leader) {
  auto reads_two = [](char c, char least) { return c == '2' || c < least || c > '9'; };
  return leader.size() == 24 && reads_two(leader[10], '0') && reads_two(leader[11], '1');
}

// Whether the fields of `rec` follow one another from the base address in
// directory order, as a written record's do.
bool InDirectoryOrder(const RecordView& rec) {
  const std::string_view bytes = rec.bytes();
  const std::size_t base = std::stoul(std::string(bytes.substr(12, 5)));
  const char* next = bytes.data() + base;
  for (const FieldView& f : rec.fields()) {
    if (f.data().data() != next) return false;
    next += f.data().size() + 1;
  }
  return next == bytes.data() + bytes.size() - 1;
}

// Reads `bytes` (an exact copy, so over-reads show) as a view, makes a
// MarcRecord of it, and checks that its written bytes read back to its
// fields (the view's, for the usual two indicators and one-byte codes)
// with the directory as written.
void ExpectReadsBack(const std::string& bytes) {
  const ExactBuffer in(bytes);
  const RecordView view = RecordView::parse(in.data(), in.size());
  const MarcRecord rec(view);
  if (TwoAndTwo(view.leader())) {
    EXPECT_EQ(Fields(view), Fields(rec));
  }
  const ExactBuffer out(rec.toIso2709());
  const RecordView back = RecordView::parse(out.data(), out.size());
  EXPECT_TRUE(DirectoryRead(back));
  EXPECT_EQ(Fields(rec), Fields(back));
}

const std::string kBook = BuildRecord({{"001", "ocm1"},
                                       {"005", ""},
                                       {"245", Bytes("10$aTitle /$b$cby A.")},
                                       {"650", Bytes(" 0$aMaps.")},
                                       {"650", Bytes(" 7$aCharts.$2fast")},
                                       {"999", Bytes("  $aLocal")}});

TEST(MarcRecord, WritesAWellFormedRecordAsItsOwnBytes) {
  const ExactBuffer in(kBook);
  const MarcRecord rec(RecordView::parse(in.data(), in.size()));
  EXPECT_EQ(kBook, rec.toIso2709());
  // Fields asked for (so taken apart) are written the same.
  EXPECT_EQ("by A.", rec.subfield(2, 'c'));
  EXPECT_EQ(3u, rec.subfieldCount(2));
  EXPECT_EQ(kBook, rec.toIso2709());
}

TEST(MarcRecord, FieldsOfOtherRecordsAreAddedAsTheyHoldThem) {
  // A damaged field of another record (a prefix, an empty subfield, a
  // separator inside) and a control field, copied: the record they make
  // reads back as the one made of their bytes.
  const std::string damaged =
      BuildRecord({{"001", Bytes("x$y")}, {"500", Bytes("10ab$a$bX#Y")}, {"245", Bytes("10$aT")}});
  const ExactBuffer in(damaged);
  const RecordView view = RecordView::parse(in.data(), in.size());
  MarcRecord rec;
  EXPECT_EQ(0u, rec.addField(view.fields()[2]));
  EXPECT_EQ(1u, rec.addField(view.fields()[0]));
  EXPECT_EQ(2u, rec.addField(view.fields()[1]));
  EXPECT_EQ("ab", rec.prefix(2));
  EXPECT_EQ(
      BuildRecord({{"245", Bytes("10$aT")}, {"001", Bytes("x$y")}, {"500", Bytes("10ab$a$bX#Y")}},
                  kEmpty),
      rec.toIso2709());
}

TEST(MarcRecord, PrefixIsSetAndRefusedWhereNoReaderCouldTakeItBack) {
  MarcRecord rec;
  rec.addDataField("500", ' ', ' ', {{'a', "N"}});
  rec.addControlField("001", "x");
  rec.setPrefix(0, "kept");
  EXPECT_EQ("kept", rec.prefix(0));
  EXPECT_THROW_MSG(rec.setPrefix(0, Bytes("a$b")), std::invalid_argument,
                   "prefix holds the separator byte 0x1F at byte 1");
  EXPECT_THROW_MSG(rec.setPrefix(1, "x"), std::invalid_argument,
                   "field 1 (001) is a control field");
  EXPECT_EQ(BuildRecord({{"500", Bytes("  kept$aN")}, {"001", "x"}}, kEmpty), rec.toIso2709());
}

TEST(MarcRecord, KeepsWhatDamagedFieldsHold) {
  // Prefixes, empty subfields, doubled and trailing delimiters, short data
  // fields, separators inside fields: the view's fields, read back.
  for (const std::string& content :
       {Bytes("10ab$aX"), Bytes("10$a$b$c"), Bytes("10$$aX$"), Bytes("1"), std::string(),
        Bytes("10$aX#Y$bZ"), Bytes("10$#a")}) {
    SCOPED_TRACE(content);
    ExpectReadsBack(
        BuildRecord({{"001", Bytes("x$y")}, {"500", content}, {"501", Bytes("  $aB")}}));
  }
}

TEST(MarcRecord, TakesOtherIndicatorCountsAndCodeLengthsAsTwoAndOne) {
  // Indicators past the second start the prefix, code bytes past the first
  // start the value; no byte is lost. Fewer indicators are blanks, a code
  // of no byte is '\0'.
  struct Case {
    const char* leader;
    std::string content;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"nam a32", Bytes("10 $aA$bB"), Bytes("10 $aA$bB")},
      {"nam a23", Bytes("10$xaA$ybB"), Bytes("10$xaA$ybB")},
      {"nam a21", Bytes("10$aA$bB"), Bytes("10$") + '\0' + Bytes("aA$") + '\0' + "bB"},
      {"nam a02", Bytes("$aA"), Bytes("  $aA")},
      {"nam a12", Bytes("1$aA"), Bytes("1 $aA")},
      {"nam a  ", Bytes("10$aA"), Bytes("10$aA")},
      {"nam a20", Bytes("10$aA"), Bytes("10$aA")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.leader);
    const std::string bytes = BuildRecord({{"001", "1"}, {"245", c.content}}, {c.leader});
    ExpectReadsBack(bytes);
    const ExactBuffer in(bytes);
    const MarcRecord rec(RecordView::parse(in.data(), in.size()));
    std::string leader = c.leader;
    if (leader[5] == '3' || leader[5] == '0' || leader[5] == '1') leader[5] = '2';
    if (leader[6] == '3' || leader[6] == '1') leader[6] = '2';
    EXPECT_EQ(BuildRecord({{"001", "1"}, {"245", c.written}}, {leader}), rec.toIso2709());
  }
}

TEST(MarcRecord, WritesDamagedRecordsWithAFreshDirectory) {
  const std::string good = BuildRecord(
      {{"001", "7"}, {"005", "x"}, {"245", Bytes("10$aT$bU")}, {"500", Bytes("  $aN")}});
  for (const std::string& bad :
       {Patched(good, 0, "99999"), Patched(good, 12, "00000"),
        Patched(good, EntryPos(1) + 3, "9999"), Patched(good, EntryPos(2) + 3, "0000"),
        Patched(good, EntryPos(1) + 3, "00x2"), Patched(good, EntryPos(2) + 7, "00100"),
        Patched(good, 24, "\x1E"), good.substr(0, good.size() - 1), good.substr(0, good.size() - 9),
        good.substr(0, 20)}) {
    SCOPED_TRACE(bad);
    ExpectReadsBack(bad);
  }
}

TEST(MarcRecord, ReusesItselfFromOneRecordToTheNext) {
  const std::string other = BuildRecord({{"008", "abc"}, {"100", Bytes("1 $aName")}});
  const ExactBuffer a(kBook), b(other);
  MarcRecord rec(RecordView::parse(a.data(), a.size()));
  rec.setSubfield(2, 'a', "Changed");
  rec.assign(RecordView::parse(b.data(), b.size()));
  EXPECT_EQ(other, rec.toIso2709());
  rec.clear();
  EXPECT_EQ(BuildRecord({}, kEmpty), rec.toIso2709());
}

TEST(MarcRecord, LeaderIsSetWholeOrByPositionAndItsNumbersComputed) {
  MarcRecord rec;
  EXPECT_EQ("00000    a2200000   4500", rec.leader());
  rec.setLeader("12345cam a2299999 i 4500");
  rec.setLeader(9, ' ');
  rec.addControlField("001", "1");
  EXPECT_EQ(BuildRecord({{"001", "1"}}, {"cam  22", " i 4500"}), rec.toIso2709());
  // Bytes that read as 2 there are kept.
  rec.setLeader(11, ' ');
  EXPECT_EQ(BuildRecord({{"001", "1"}}, {"cam  2 ", " i 4500"}), rec.toIso2709());
  rec.setLeader(rec.leader());  // its own bytes
  EXPECT_EQ("12345cam  2 99999 i 4500", rec.leader());
}

TEST(MarcRecord, FieldsAreAddedInsertedFoundAndRemoved) {
  MarcRecord rec;
  EXPECT_EQ(0u, rec.addDataField("245", '1', '0', {{'a', "T"}}));
  EXPECT_EQ(1u, rec.addDataField("650", ' ', '0', {{'a', "A"}}));
  rec.insertControlField(0, "001", "id");
  rec.insertDataField(rec.tagOrderPosition("500"), "500", ' ', ' ', {{'a', "Note"}});
  rec.insertDataField(rec.tagOrderPosition("650"), "650", ' ', '7', {{'a', "B"}});
  rec.insertDataField(rec.tagOrderPosition("999"), "999", ' ', ' ');
  rec.insertControlField(rec.tagOrderPosition("000"), "003", "X");
  const std::vector<std::size_t> subjects = {4, 5};
  EXPECT_EQ(subjects, rec.findFields("6XX"));
  EXPECT_EQ(2u, rec.findField("245"));
  EXPECT_EQ(5u, rec.findField("6..", 5));
  EXPECT_EQ(MarcRecord::npos, rec.findField("6..", 6));
  EXPECT_EQ(MarcRecord::npos, rec.findField("100"));
  EXPECT_EQ(BuildRecord({{"003", "X"},
                         {"001", "id"},
                         {"245", Bytes("10$aT")},
                         {"500", Bytes("  $aNote")},
                         {"650", Bytes(" 0$aA")},
                         {"650", Bytes(" 7$aB")},
                         {"999", "  "}},
                        kEmpty),
            rec.toIso2709());

  EXPECT_EQ(2u, rec.removeFields("65."));
  EXPECT_EQ(0u, rec.removeFields("7XX"));
  rec.removeField(0);
  rec.setTag(0, "003");
  rec.setData(0, "new");
  rec.setTag(1, "246");
  rec.setIndicators(1, '3', '1');
  EXPECT_EQ(
      BuildRecord(
          {{"003", "new"}, {"246", Bytes("31$aT")}, {"500", Bytes("  $aNote")}, {"999", "  "}},
          kEmpty),
      rec.toIso2709());
}

TEST(MarcRecord, SubfieldsAreAddedInsertedSetAndRemoved) {
  const ExactBuffer in(kBook);
  MarcRecord rec(RecordView::parse(in.data(), in.size()));
  rec.addSubfield(2, 'h', "[map]");
  rec.insertSubfield(2, 0, '6', "880-01");
  EXPECT_TRUE(rec.setSubfield(2, 'a', "New /"));
  EXPECT_FALSE(rec.setSubfield(2, 'n', "Volume 1"));  // none: added at the end
  rec.removeSubfield(2, 2);                           // $b, empty
  rec.setValue(2, 2, "by B.");
  EXPECT_EQ(1u, rec.removeSubfields(4, '2'));
  EXPECT_EQ(0u, rec.removeSubfields(4, 'z'));
  rec.addSubfield(3, 'x', "Y");  // a field whose subfields are not the last
  rec.insertSubfield(3, 1, 'v', "");
  EXPECT_EQ(3u, rec.findSubfield(2, 'h'));
  EXPECT_EQ(MarcRecord::npos, rec.findSubfield(2, 'h', 4));
  EXPECT_EQ("", rec.subfield(2, 'z'));
  EXPECT_EQ(0u, rec.subfieldCount(0));
  EXPECT_EQ(MarcRecord::npos, rec.findSubfield(0, 'a'));
  EXPECT_EQ(BuildRecord({{"001", "ocm1"},
                         {"005", ""},
                         {"245", Bytes("10$6880-01$aNew /$cby B.$h[map]$nVolume 1")},
                         {"650", Bytes(" 0$aMaps.$v$xY")},
                         {"650", Bytes(" 7$aCharts.")},
                         {"999", Bytes("  $aLocal")}}),
            rec.toIso2709());
}

TEST(MarcRecord, TakesValuesFromItself) {
  const ExactBuffer in(kBook);
  MarcRecord rec(RecordView::parse(in.data(), in.size()));
  // Each value is a view of the record's own bytes, which the adding moves.
  for (int i = 0; i < 20; ++i) rec.setSubfield(3, 'a', rec.value(3, 0));
  rec.insertDataField(0, "246", '1', ' ',
                      {{'a', rec.subfield(2, 'a')}, {'b', rec.data(0)}, {'c', rec.value(4, 1)}});
  rec.setData(1, rec.subfield(0, 'b'));
  EXPECT_EQ(Bytes("1 $aTitle /$bocm1$cfast"), rec.toIso2709().substr(24 + 7 * 12 + 1, 23));
  EXPECT_EQ("Maps.", rec.value(4, 0));
}

TEST(MarcRecord, RefusesWhatWouldNotReadBackAndChangesNothing) {
  const ExactBuffer in(kBook);
  MarcRecord rec(RecordView::parse(in.data(), in.size()));
  const std::string before = rec.toIso2709();
  struct Case {
    std::function<void()> change;
    const char* message;
  };
  const std::vector<Case> invalid = {
      {[&] { rec.addControlField("01", "x"); }, "tag \"01\" is not three characters"},
      {[&] { rec.addDataField("2450", ' ', ' '); }, "tag \"2450\" is not three characters"},
      {[&] { rec.setTag(2, "24\x1E"); }, "tag \"24{0x1E}\" holds the separator byte 0x1E"},
      {[&] { rec.addControlField("245", "x"); }, "tag 245 is not a control field tag (00X)"},
      {[&] { rec.addDataField("008", ' ', ' '); },
       "tag 008 is a control field tag, not one of a data field"},
      {[&] { rec.setTag(0, "100"); }, "tag 100 is not a control field tag (00X)"},
      {[&] { rec.setData(0, "a\x1D"); },
       "control field data holds the separator byte 0x1D at byte 1"},
      {[&] { rec.setData(2, "x"); }, "field 2 (245) is a data field"},
      {[&] { rec.addSubfield(0, 'a', "x"); }, "field 0 (001) is a control field"},
      {[&] { rec.setIndicators(2, '\x1F', ' '); }, "indicator 0x1F is a separator byte"},
      {[&] {
         rec.addDataField("500", ' ', ' ', {{'a', "ok"}, {'\x1E', "x"}});
       },
       "subfield code 0x1E is a separator byte"},
      {[&] { rec.addSubfield(2, '\x1F', "x"); }, "subfield code 0x1F is a separator byte"},
      {[&] { rec.setSubfield(2, 'a', "twelve bytes\x1F"); },
       "subfield value holds the separator byte 0x1F at byte 12"},
      {[&] { rec.insertSubfield(2, 0, 'a', "\x1E"); },
       "subfield value holds the separator byte 0x1E at byte 0"},
      {[&] { rec.setLeader("short"); }, "leader is 5 bytes long; it must be 24"},
      {[&] { rec.setLeader(std::string(25, ' ')); }, "leader is 25 bytes long; it must be 24"},
      {[&] { rec.setLeader(5, '\x1D'); }, "leader byte 0x1D is a separator byte"},
      {[&] { rec.setLeader(10, '3'); },
       "leader/10 '3' would say indicators of another length; this record's are 2"},
      {[&] { rec.setLeader("00000nam a2100000 a 4500"); },
       "leader/11 '1' would say subfield codes of another length; this record's are 2"},
      {[&] { rec.findField("6X"); }, "tag pattern \"6X\" is not three characters"},
      {[&] { rec.removeFields("6XXX"); }, "tag pattern \"6XXX\" is not three characters"},
  };
  for (const Case& c : invalid) EXPECT_THROW_MSG(c.change(), std::invalid_argument, c.message);
  const std::vector<Case> out_of_range = {
      {[&] { rec.removeField(6); }, "field 6 does not exist (the record has 6)"},
      {[&] { rec.insertControlField(7, "001", ""); },
       "cannot insert at field 7 (the record has 6)"},
      {[&] { rec.removeSubfield(2, 3); }, "subfield 3 of field 2 does not exist (it has 3)"},
      {[&] { rec.insertSubfield(3, 2, 'a', ""); },
       "cannot insert at subfield 2 of field 3 (it has 1)"},
      {[&] { rec.setLeader(24, ' '); }, "leader position 24 does not exist (0-23)"},
  };
  for (const Case& c : out_of_range) EXPECT_THROW_MSG(c.change(), std::out_of_range, c.message);
  EXPECT_EQ(before, rec.toIso2709());
}

TEST(MarcRecord, LengthsDigitsCannotStateAreErrorsNamingTheField) {
  MarcRecord rec;
  rec.addControlField("001", "1");
  rec.addDataField("505", '0', ' ', {{'a', std::string(9994, 'x')}});  // 9,999 with terminator
  EXPECT_NO_THROW(rec.toIso2709());
  rec.addSubfield(1, 'b', "");
  std::string out = "kept";
  EXPECT_THROW_MSG(rec.appendIso2709(out), std::length_error,
                   "field 505 (entry 1) is 10001 bytes long; ISO 2709 allows 9,999");
  EXPECT_EQ("kept", out);
  rec.removeSubfield(1, 1);
  for (int i = 0; i < 9; ++i) rec.addControlField("009", std::string(9990, 'y'));
  OutputBuffer buffer;
  EXPECT_THROW_MSG(rec.appendIso2709(buffer), std::length_error,
                   "record is 100078 bytes long; ISO 2709 allows 99,999");
  EXPECT_EQ(0u, buffer.size());
}

TEST(MarcRecord, UnstatedLengthsAreWrittenAsZerosTheViewsReadBack) {
  MarcRecord rec;
  rec.addControlField("001", "1");
  rec.addDataField("505", '0', ' ', {{'a', std::string(12000, 'x')}, {'t', "T"}});
  rec.addDataField("650", ' ', '0', {{'a', "A"}});
  rec.addControlField("009", "");  // empty: read back though terminators follow each other
  MarcWriteOptions unstated;
  unstated.unstated_lengths = true;
  std::string bytes = rec.toIso2709(unstated);
  EXPECT_EQ("0000", bytes.substr(EntryPos(1) + 3, 4));
  EXPECT_EQ("0006", bytes.substr(EntryPos(2) + 3, 4));
  {
    const ExactBuffer out(bytes);
    EXPECT_EQ(Fields(rec), Fields(RecordView::parse(out.data(), out.size())));
  }
  // Past 99,999 bytes: record length 00000, and zeros for the fields that
  // start too far for five digits. The reader frames it by its terminator.
  for (int i = 0; i < 12; ++i) rec.addDataField("500", ' ', ' ', {{'a', std::string(9000, 'n')}});
  bytes = rec.toIso2709(unstated);
  EXPECT_EQ("00000", bytes.substr(0, 5));
  const std::string stream = kBook + bytes + kBook;
  const ExactBuffer in(stream);
  Reader reader(in.data(), in.size());
  RecordView view;
  ASSERT_TRUE(reader.next(view));
  ASSERT_TRUE(reader.next(view));
  EXPECT_EQ(bytes.size(), view.bytes().size());
  EXPECT_EQ(Fields(rec), Fields(view));
  ASSERT_TRUE(reader.next(view));
  EXPECT_EQ(kBook, view.bytes());

  // Fields are found by their terminators then: none may stand inside one.
  const ExactBuffer odd(BuildRecord({{"001", Bytes("a#b")}}));
  MarcRecord held(RecordView::parse(odd.data(), odd.size()));
  EXPECT_NO_THROW(held.toIso2709(unstated));  // nothing unstated: written as read
  held.addControlField("002", std::string(10000, 'z'));
  EXPECT_THROW_MSG(held.toIso2709(unstated), std::length_error,
                   "field 001 (entry 0) holds a separator byte; a record written with unstated "
                   "lengths is read back by its terminators");
}

TEST(MarcRecord, WritesTextAsUtf8OrInAnyFormatThroughTheFormatsLayer) {
  MarcRecord rec;
  rec.setLeader(9, ' ');  // MARC-8: an acute before its letter
  rec.addControlField("001", "id");
  rec.addDataField("245", '1', '0',
                   {{'a',
                     "Cafe\xE2"
                     "e"}});
  MarcWriteOptions utf8;
  utf8.to_utf8 = true;
  const std::string converted = rec.toIso2709(utf8);
  EXPECT_EQ(BuildRecord({{"001", "id"}, {"245", Bytes("10$aCafee\xCC\x81")}}, kEmpty), converted);
  EXPECT_EQ(' ', rec.leader()[9]);
  std::string appended = "x";
  rec.appendIso2709(appended, utf8);
  EXPECT_EQ("x" + converted, appended);

  RecordText text;
  OutputBuffer out;
  rec.write(Format::kJson, text, out);
  EXPECT_EQ(
      "{\"leader\":\"00064    a2200049   4500\",\"fields\":[{\"001\":\"id\"},{\"245\":{\"ind1\":"
      "\"1\",\"ind2\":\"0\",\"subfields\":[{\"a\":\"Cafee\xCC\x81\"}]}}]}\n",
      out.view());
  out.clear();
  RecordText raw({Charset::kRaw});
  rec.write(Format::kIso2709, raw, out);
  EXPECT_EQ(rec.toIso2709(), out.view());
  out.clear();
  EXPECT_EQ(0u, rec.write(Format::kMnemonic, text, out));
  EXPECT_EQ("=LDR  00064    a2200049   4500\n=001  id\n=245  10$aCafee\xCC\x81\n\n", out.view());

  // And back to MARC-8: the UTF-8 record written as MARC-8 is the first.
  const RecordView utf8_view = RecordView::parse(converted.data(), converted.size());
  MarcWriteOptions marc8;
  marc8.to_marc8 = true;
  EXPECT_EQ(rec.toIso2709(), MarcRecord(utf8_view).toIso2709(marc8));
  marc8.to_utf8 = true;
  EXPECT_THROW(rec.toIso2709(marc8), std::invalid_argument);
}

// Every real record: made a MarcRecord and written, the same bytes when the
// reader found no problem in it and its fields lie in directory order, the
// same fields otherwise.
TEST(MarcRecord, CorpusRecordsWriteBackAsRead) {
  const fs::path dir(QUILLET_CORPUS_DIR);
  if (!fs::is_directory(dir)) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  std::size_t clean = 0, other = 0;
  MarcRecord rec;
  std::string out;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || ext == ".md" || ext == ".tsv") continue;
    SCOPED_TRACE(entry.path().string());
    std::ifstream file(entry.path(), std::ios::binary);
    const ExactBuffer bytes(std::string((std::istreambuf_iterator<char>(file)), {}));
    Reader reader(bytes.data(), bytes.size());
    RecordView view;
    while (reader.next(view)) {
      SCOPED_TRACE(view.offset());
      rec.assign(view);
      out.clear();
      try {
        rec.appendIso2709(out);
      } catch (const std::length_error&) {
        continue;  // a record over 99,999 bytes, as some files hold
      }
      if (TwoAndTwo(view.leader())) {
        EXPECT_EQ(Fields(view), Fields(rec));
      }
      // A record of no field gets a data area, so is laid out otherwise.
      if (view.problems().empty() && InDirectoryOrder(view) && TwoAndTwo(view.leader()) &&
          !view.fields().empty()) {
        ++clean;
        EXPECT_EQ(view.bytes(), out);
        continue;
      }
      ++other;
      const ExactBuffer written(out);
      const RecordView back = RecordView::parse(written.data(), written.size());
      EXPECT_TRUE(DirectoryRead(back));
      EXPECT_EQ(Fields(rec), Fields(back));
    }
  }
  EXPECT_GT(clean, 0u);
  std::cout << "[ corpus   ] " << clean << " records written as read, " << other
            << " damaged, laid out otherwise or of another shape\n";
}

}  // namespace
}  // namespace quillet
