// The text and formats layers: how a record's bytes become text, and the
// shapes and escapes of the formats, whatever the bytes.
#include <gtest/gtest.h>
#include <quillet/formats.h>
#include <quillet/quillet.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::Bytes;
using quillet_test::DataContent;
using quillet_test::Patched;

std::string Written(Format format, const std::string& bytes,
                    TextOptions options = {Charset::kRaw}) {
  const quillet_test::ExactBuffer exact(bytes);
  const RecordView rec = RecordView::parse(exact.data(), exact.size());
  OutputBuffer out;
  RecordText text(options);
  text.start(rec);
  writeRecord(format, rec, text, out);
  return std::string(out.view());
}

TEST(Charsets, AcceptTheSpellingsUsersBring) {
  const struct {
    const char* name;
    Charset want;
  } accepted[] = {
      {"auto", Charset::kAuto},    {"AUTO", Charset::kAuto},   {"marc8", Charset::kMarc8},
      {"MARC-8", Charset::kMarc8}, {"Marc8", Charset::kMarc8}, {"utf8", Charset::kUtf8},
      {"utf-8", Charset::kUtf8},   {"UTF-8", Charset::kUtf8},  {"raw", Charset::kRaw}};
  for (const auto& a : accepted) {
    Charset c = Charset::kRaw == a.want ? Charset::kAuto : Charset::kRaw;
    EXPECT_TRUE(parseCharset(a.name, &c)) << a.name;
    EXPECT_EQ(a.want, c) << a.name;
  }
  for (const char* refused : {"", "utf", "utf--8", "-utf8", "utf8-", "latin1", "marc", "auto "}) {
    Charset c = Charset::kMarc8;
    EXPECT_FALSE(parseCharset(refused, &c)) << refused;
    EXPECT_EQ(Charset::kMarc8, c);
  }
  for (Charset c : {Charset::kAuto, Charset::kMarc8, Charset::kUtf8, Charset::kRaw}) {
    Charset back = Charset::kAuto;
    EXPECT_TRUE(parseCharset(charsetName(c), &back));
    EXPECT_EQ(c, back);
  }
  EXPECT_EQ("unknown charset \"latin\xEF\xBF\xBD\": use auto, marc8, utf-8 or raw",
            charsetError("latin\xFF"));
}

TEST(RecordText, DecodesByTheRecordsEncodingAndSaysSoInTheLeader) {
  // MARC-8: an acute before its letter, and Cyrillic designated by escapes.
  const std::string marc8 = BuildRecord({{"245", DataContent("10", {{'a',
                                                                     "Caf\xE2"
                                                                     "e \x1B(NAB\x1B(B."}})}},
                                        quillet_test::LeaderSpec{"nam  22"});
  const RecordView rec = RecordView::parse(marc8.data(), marc8.size());
  RecordText text;
  text.start(rec);
  EXPECT_EQ(Encoding::kMarc8, text.guess().encoding);
  EXPECT_EQ('a', text.leader()[9]);
  EXPECT_EQ(' ', rec.leader()[9]);
  text.startField();
  EXPECT_EQ("Cafe\xCC\x81 \xD0\xB0\xD0\xB1.", text.text(rec.fields()[0].subfield('a')));

  RecordText nfc({Charset::kAuto, true});
  nfc.start(rec);
  EXPECT_EQ("Caf\xC3\xA9 \xD0\xB0\xD0\xB1.", nfc.text(rec.fields()[0].subfield('a')));

  RecordText raw({Charset::kRaw});
  raw.start(rec);
  EXPECT_EQ(' ', raw.leader()[9]);
  EXPECT_EQ(rec.fields()[0].subfield('a'), raw.text(rec.fields()[0].subfield('a')));
}

TEST(RecordText, CarriesDesignationsAcrossSkippedValuesUntilTheFieldEnds) {
  // $a switches to Cyrillic without switching back; $b is Cyrillic.
  const std::string bytes =
      BuildRecord({{"245", DataContent("10", {{'a', "x\x1B(N"}, {'b', "AB"}})},
                   {"246", DataContent("10", {{'a', "AB"}})}},
                  quillet_test::LeaderSpec{"nam  22"});
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  RecordText text;
  text.start(rec);
  text.startField();
  SubfieldIterator s = rec.fields()[0].subfields().begin();
  text.skip(s->value());
  ++s;
  EXPECT_EQ("\xD0\xB0\xD0\xB1", text.text(s->value()));
  text.startField();
  EXPECT_EQ("AB", text.text(rec.fields()[1].subfield('a')));
}

TEST(RecordText, ReportsUndecodableBytesWithTheirOffsetInTheInput) {
  const std::string bytes = BuildRecord({{"001", "id\xFF"},
                                         {"500", Bytes("  \xFE"
                                                       "$anote\xC3")}});  // a prefix, then a value
  const RecordView rec =
      RecordView::parse(bytes.data(), bytes.size(), 1000, Span<Problem>(nullptr, nullptr));
  RecordText text({Charset::kUtf8});
  text.start(rec);
  text.decodeAll();
  ASSERT_EQ(3u, text.problems().size());
  for (const TextProblem& p : text.problems()) {
    EXPECT_EQ(TextProblem::Kind::kInvalidUtf8, p.kind);
    EXPECT_GE(p.offset, 1000u);
    EXPECT_EQ(static_cast<char>(p.bytes[0]), bytes[p.offset - 1000]);
  }
  EXPECT_EQ("tag\xEF\xBF\xBD", text.plain("tag\x80"));
}

TEST(OutputBuffer, GrowsKeepingItsBytesAndMovesWhole) {
  OutputBuffer out;
  std::string want;
  for (int i = 0; i < 20000; ++i) {  // past the first allocation
    const std::string piece = std::to_string(i) + ',';
    out.append(piece);
    want += piece;
  }
  EXPECT_EQ(want, out.view());
  OutputBuffer moved(std::move(out));
  EXPECT_EQ(want, moved.view());
  EXPECT_EQ(0u, out.size());  // NOLINT(bugprone-use-after-move): left empty, and usable
  out.append("again");
  EXPECT_EQ("again", out.view());
}

TEST(Formats, EscapeEveryByteThatCouldBreakALine) {
  const struct {
    std::string in;
    const char* mrk;
    const char* line;
  } cases[] = {
      {"a\nb", "a{0x0A}b", "a{0x0A}b"},
      {"\r\t\x01\x7F", "{0x0D}{0x09}{0x01}{0x7F}", "{0x0D}{0x09}{0x01}{0x7F}"},
      {"{0x0A}", "{lcub}0x0A}", "{lcub}0x0A}"},  // the notation itself cannot be forged
      {"$5", "{dollar}5", "$5"},
      {"caf\xC3\xA9 and a longer run of plain text", "caf\xC3\xA9 and a longer run of plain text",
       "caf\xC3\xA9 and a longer run of plain text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string mrk = "kept:", line = "kept:";
    appendMnemonicText(c.in, mrk);
    appendLineText(c.in, line);
    EXPECT_EQ(std::string("kept:") + c.mrk, mrk);
    EXPECT_EQ(std::string("kept:") + c.line, line);
  }
}

TEST(Formats, WriteEveryFieldOnOneLineWhateverItsBytes) {
  std::string awkward;
  for (int b = 0; b < 256; ++b) {
    if (b != 0x1D && b != 0x1E && b != 0x1F) awkward += static_cast<char>(b);
  }
  const std::string rec =
      BuildRecord({{"001", awkward}, {"500", DataContent("\n\r", {{'a', awkward}, {'\n', ""}})}});
  for (Format format : {Format::kMnemonic, Format::kLine}) {
    for (Charset charset : {Charset::kRaw, Charset::kUtf8, Charset::kMarc8}) {
      const std::string out = Written(format, rec, {charset});
      EXPECT_EQ(4, std::count(out.begin(), out.end(), '\n'));  // leader, 001, 500, blank line
    }
  }
}

TEST(Formats, KeepTheBytesBeforeTheFirstDelimiterAndEmptySubfields) {
  const std::string rec = BuildRecord({{"500", Bytes("1 lost$a$bkept")}});
  const std::string lead = rec.substr(0, 24);
  EXPECT_EQ("=LDR  " + lead + "\n=500  1\\lost$a$bkept\n\n", Written(Format::kMnemonic, rec));
  EXPECT_EQ(lead + "\n500 1 lost $a  $b kept\n\n", Written(Format::kLine, rec));
  EXPECT_EQ("{\"leader\":\"" + lead +
                "\",\"fields\":[{\"500\":{\"ind1\":\"1\",\"ind2\":\" \",\"subfields\":"
                "[{\"\":\"lost\"},{\"a\":\"\"},{\"b\":\"kept\"}]}}]}\n",
            Written(Format::kJson, rec));
  const std::string xml = Written(Format::kMarcXml, rec);
  EXPECT_NE(std::string::npos, xml.find("<subfield code=\"\">lost</subfield>\n"
                                        "      <subfield code=\"a\"></subfield>"));
}

TEST(Formats, JsonIsValidWhateverTheBytes) {
  const std::string rec =
      BuildRecord({{"001", "q\"\\\t\x01"},
                   {"245", DataContent("1\x7F", {{'a', "caf\xC3\xA9 \xFF\xC3"}, {'b', ""}})}});
  EXPECT_EQ("{\"leader\":\"" + rec.substr(0, 24) +
                "\",\"fields\":[{\"001\":\"q\\\"\\\\\\t\\u0001\"},{\"245\":{\"ind1\":\"1\","
                "\"ind2\":\"\x7F\",\"subfields\":[{\"a\":\"caf\xC3\xA9 "
                "\xEF\xBF\xBD\xEF\xBF\xBD\"},{\"b\":\"\"}]}}]}\n",
            Written(Format::kJson, rec));
}

TEST(Formats, JsonReplacesMalformedUtf8) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},                                          // euro sign, kept
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                                  // four bytes, kept
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // cut short
  };
  for (const auto& c : cases) {
    std::string out;
    appendJsonText(c.in, out);
    EXPECT_EQ(c.out, out);
  }
}

TEST(Formats, MarcXmlReplacesTheControlsXmlForbidsAndCountsThem) {
  const std::string rec = BuildRecord({{"500", DataContent("  ", {{'a', "a\x01<b>\tc\x02"}})}});
  const std::string xml = Written(Format::kMarcXml, rec, {Charset::kUtf8});
  EXPECT_NE(std::string::npos, xml.find(">a\xEF\xBF\xBD&lt;b&gt;&#9;c\xEF\xBF\xBD</subfield>"));
  const RecordView view = RecordView::parse(rec.data(), rec.size());
  RecordText text;
  text.start(view);
  OutputBuffer out;
  EXPECT_EQ(2u, writeMarcXml(view, text, out));
}

TEST(Formats, Iso2709IsCopiedWhenNothingChangesAndWrittenAnewOtherwise) {
  const std::string utf8 =
      BuildRecord({{"001", "1"}, {"245", DataContent("10", {{'a', "Caf\xC3\xA9"}})}});
  EXPECT_EQ(utf8, Written(Format::kIso2709, utf8, {Charset::kAuto}));

  const std::string marc8 = BuildRecord({{"001", "1"},
                                         {"245", DataContent("10", {{'a',
                                                                     "Caf\xE2"
                                                                     "e"}})}},
                                        quillet_test::LeaderSpec{"nam  22"});
  EXPECT_EQ(marc8, Written(Format::kIso2709, marc8, {Charset::kRaw}));
  const std::string converted = Written(Format::kIso2709, marc8, {Charset::kAuto});
  const RecordView back = RecordView::parse(converted.data(), converted.size());
  EXPECT_TRUE(back.problems().empty());
  EXPECT_EQ('a', back.leader()[9]);
  EXPECT_EQ("Cafe\xCC\x81", back.fields()[1].subfield('a'));

  // As MARC-8: leader/09 blank, text encoded, what MARC-8 lacks as a
  // reference; a MARC-8 record asked for as MARC-8 is copied.
  {
    const std::string cjk = BuildRecord(
        {{"245", DataContent("10", {{'a', "Caf\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x98\x80"}})}});
    const RecordView rec = RecordView::parse(cjk.data(), cjk.size());
    RecordText text;
    text.start(rec);
    OutputBuffer out;
    EXPECT_EQ(1u, writeIso2709(rec, text, out, TagFilter(), OutputCharset::kMarc8));
    const RecordView back = RecordView::parse(out.view().data(), out.size());
    EXPECT_EQ(' ', back.leader()[9]);
    EXPECT_EQ(std::string_view("Caf\xE2"
                               "e \xC8&#x1F600;"),
              back.fields()[0].subfield('a'));
    RecordText again;
    again.start(back);
    EXPECT_EQ(Encoding::kMarc8, again.guess().encoding);
  }
  EXPECT_EQ(marc8, [&] {
    const RecordView rec = RecordView::parse(marc8.data(), marc8.size());
    RecordText text;
    text.start(rec);
    OutputBuffer out;
    writeIso2709(rec, text, out, TagFilter(), OutputCharset::kMarc8);
    return std::string(out.view());
  }());

  // Only the fields a filter selects.
  const RecordView rec = RecordView::parse(utf8.data(), utf8.size());
  RecordText text;
  text.start(rec);
  OutputBuffer out;
  writeIso2709(rec, text, out, TagFilter({"2XX"}));
  const RecordView some = RecordView::parse(out.view().data(), out.size());
  ASSERT_EQ(1u, some.fields().size());
  EXPECT_EQ("245", some.fields()[0].tag());
}

// Written anew, a record takes the shape of leader/10-11 `22` whatever its
// input said, keeps every byte of its fields, and reads back through both
// interfaces; as UTF-8 it holds no byte that is not.
TEST(Formats, Iso2709WrittenAnewIsShapedAsItsLeaderSays) {
  // Seven indicators and four-byte codes, and a base address that is no
  // number: repaired, so written anew.
  const std::string odd = Patched(
      BuildRecord({{"001", "1"}, {"245", Bytes("1234567$abcTitle$xyz/")}}, {"nam a74", " a 9974"}),
      12, "0004x");
  const std::string shaped = Written(Format::kIso2709, odd, {Charset::kAuto});
  // Two indicators; the other five before the first delimiter, the code's
  // other bytes at the front of the value.
  EXPECT_EQ(BuildRecord({{"001", "1"}, {"245", Bytes("1234567$abcTitle$xyz/")}}), shaped);
  Record classic(shaped.data(), static_cast<unsigned>(shaped.size()));
  EXPECT_EQ(2, std::distance(classic.getFMapBegin(), classic.getFMapEnd()));

  // Codes of no byte (leader/11 1): each subfield gets the code ?.
  const std::string code_less =
      Patched(BuildRecord({{"245", Bytes("10$Title$more")}}, {"nam a21"}), 12, "0004x");
  EXPECT_EQ(BuildRecord({{"245", Bytes("10$?Title$?more")}}),
            Written(Format::kIso2709, code_less, {Charset::kAuto}));
  // No indicators (leader/10 0): two blanks, the bytes kept after them.
  const std::string none =
      Patched(BuildRecord({{"245", Bytes("10$aT")}}, {"nam a02"}), 12, "0004x");
  EXPECT_EQ(BuildRecord({{"245", Bytes("  10$aT")}}),
            Written(Format::kIso2709, none, {Charset::kAuto}));

  // A record of no field, as read (26 bytes) or left by a filter: a data
  // area of one terminator, which the classic interface reads.
  const std::string empty = std::string("00026nam a2200025 a 4500") + '\x1E' + '\x1D';
  for (const std::string& written : {Written(Format::kIso2709, empty, {Charset::kAuto}), [] {
                                       const std::string one = BuildRecord({{"001", "1"}});
                                       const RecordView rec =
                                           RecordView::parse(one.data(), one.size());
                                       RecordText text;
                                       text.start(rec);
                                       OutputBuffer out;
                                       writeIso2709(rec, text, out, TagFilter({"245"}));
                                       return std::string(out.view());
                                     }()}) {
    EXPECT_EQ(BuildRecord({}), written);
    const quillet_test::ExactBuffer exact(written);
    const RecordView back = RecordView::parse(exact.data(), exact.size());
    EXPECT_TRUE(back.problems().empty());
    EXPECT_TRUE(back.fields().empty());
    Record record(exact.data(), exact.size());
    EXPECT_EQ(record.getFMapBegin(), record.getFMapEnd());  // no throw
  }

  // MARC-8 converted to UTF-8: indicators, codes and leader bytes that are
  // not ASCII are no UTF-8 on their own; blanks, the code ?, and counted.
  const std::string marc8 = BuildRecord({{"245",
                                          "\xE1\xE2\x1F\xE3"
                                          "Caf\xE2"
                                          "e\x1F"
                                          "bx"}},
                                        {"nam  22",
                                         " \xFF"
                                         "a4500"});
  const quillet_test::ExactBuffer exact(marc8);
  const RecordView rec = RecordView::parse(exact.data(), exact.size());
  RecordText text;
  text.start(rec);
  OutputBuffer out;
  EXPECT_EQ(4u, writeIso2709(rec, text, out));
  EXPECT_TRUE(isUtf8(out.view()));
  EXPECT_EQ(BuildRecord({{"245", Bytes("  $?Cafe\xCC\x81$bx")}}, {"nam a22", "  a4500"}),
            std::string(out.view()));
  // A UTF-8 record whose leader alone is not: written anew, not copied.
  const std::string utf8 = BuildRecord({{"245", Bytes("10$aT")}}, {"nam a22",
                                                                   " \xFF"
                                                                   "a4500"});
  EXPECT_EQ(BuildRecord({{"245", Bytes("10$aT")}}, {"nam a22", "  a4500"}),
            Written(Format::kIso2709, utf8, {Charset::kAuto}));
}

}  // namespace
}  // namespace quillet
