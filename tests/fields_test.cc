// Field kinds, the subfield parser and subfield views, over exact buffers.
#include <string>
#include <utility>
#include <vector>

#include "support/expect_mrc.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::ExactBuffer;

// A data field over exactly `bytes`, with field length `n` (default: all).
struct FieldUnderTest {
  explicit FieldUnderTest(const std::string& bytes, long n = -1)
      : buf(bytes), field(buf.data(), n < 0 ? buf.size() : static_cast<unsigned>(n)) {}
  ExactBuffer buf;
  DataField field;
};

std::vector<std::pair<char, std::string>> Parse(DataField& f) {
  std::vector<std::pair<char, std::string>> out;
  for (auto it = f.getSFListBegin(); it != f.getSFListEnd(); ++it) {
    out.emplace_back((*it)->getCode(), std::string((*it)->getData(), (*it)->getDatalen()));
  }
  return out;
}

using Subfields = std::vector<std::pair<char, std::string>>;

TEST(FieldKinds, ControlFieldContentExcludesTheTerminator) {
  const ExactBuffer buf(std::string("345\x1E"));
  const ControlField f(buf.data(), 4);
  EXPECT_TRUE(f.isControl());
  EXPECT_EQ(buf.data(), f.getData());
  EXPECT_EQ(3u, f.getDatalen());
  EXPECT_EQ(0u, ControlField(buf.data() + 3, 1).getDatalen());
  EXPECT_EQ(0u, ControlField(buf.data(), 0).getDatalen());
}

TEST(FieldKinds, ControlFieldCopiesAreViewsOfTheSameBytes) {
  const ExactBuffer buf(
      std::string("12\x1E"
                  "abcd\x1E"));
  const ControlField a(buf.data(), 3);
  const ControlField b(a);
  ControlField c(buf.data() + 3, 5);
  c = a;
  EXPECT_EQ(a.getData(), b.getData());
  EXPECT_EQ(a.getData(), c.getData());
  EXPECT_EQ(2u, c.getDatalen());
  EXPECT_EQ(2u, a.getDatalen());
}

TEST(FieldKinds, DataFieldReportsIndicators) {
  FieldUnderTest t(
      std::string("14\x1F"
                  "aX\x1E"));
  EXPECT_FALSE(t.field.isControl());
  EXPECT_EQ('1', t.field.getInd1());
  EXPECT_EQ('4', t.field.getInd2());
}

TEST(FieldKinds, DeletingThroughTheBaseFreesSubfields) {
  const ExactBuffer buf(
      std::string("10\x1F"
                  "aA\x1F"
                  "bB\x1E"));
  Field* f = new DataField(buf.data(), buf.size());
  EXPECT_EQ(2, std::distance(static_cast<DataField*>(f)->getSFListBegin(),
                             static_cast<DataField*>(f)->getSFListEnd()));
  delete f;  // the leak checker sees anything left behind
}

TEST(Subfields, SplitAtDelimitersWithDataRightAfterTheCode) {
  FieldUnderTest t(
      std::string("10\x1F"
                  "aAbc\x1F"
                  "bDe\x1E"));
  EXPECT_EQ(0u, t.field.getSubfieldsCount());  // nothing parsed yet
  auto it = t.field.getSFListBegin();
  EXPECT_EQ(2u, t.field.getSubfieldsCount());
  EXPECT_EQ(t.buf.data() + 4, (*it)->getData());
  EXPECT_EQ(t.buf.data() + 9, (*(it + 1))->getData());
  EXPECT_EQ((Subfields{{'a', "Abc"}, {'b', "De"}}), Parse(t.field));
}

TEST(Subfields, FollowTheScanRules) {
  const struct {
    const char* what;
    std::string bytes;
    long n;
    Subfields expected;
  } cases[] = {
      {"terminator outside the length",
       std::string("10\x1F"
                   "aAbc\x1F"
                   "bDe\x1E"),
       11,
       {{'a', "Abc"}}},
      {"length stops inside the first",
       std::string("10\x1F"
                   "aAbc\x1F"
                   "bDe\x1E"),
       7,
       {}},
      {"empty subfield skipped",
       std::string("10\x1F"
                   "aAbc\x1F"
                   "b\x1F"
                   "cX\x1E"),
       -1,
       {{'a', "Abc"}, {'c', "X"}}},
      {"empty first subfield",
       std::string("10\x1F"
                   "a\x1F"
                   "bX\x1E"),
       -1,
       {{'b', "X"}}},
      {"stops at the first terminator",
       std::string("10\x1F"
                   "aAbc\x1E"
                   "ZZ\x1F"
                   "zQ\x1E"),
       -1,
       {{'a', "Abc"}}},
      {"repeated delimiters act as one",
       std::string("10\x1F"
                   "aAbc\x1F\x1F"
                   "bD\x1E"),
       -1,
       {{'a', "Abc"}, {'b', "D"}}},
      {"first code may be a delimiter",
       std::string("10\x1F\x1F"
                   "aX\x1E"),
       -1,
       {{'\x1F', "aX"}}},
      {"any other byte is data",
       std::string("10\x1F"
                   "a\0b\x1F"
                   "c\x1E",
                   8),
       -1,
       {{'a', std::string("\0b", 2)}}},
      {"high bytes are data",
       std::string("10\x1F"
                   "a\xC3\xA9\x1F\xFFz\x1E"),
       -1,
       {{'a', "\xC3\xA9"}, {'\xFF', "z"}}},
      {"code alone",
       std::string("10\x1F"
                   "a\x1E"),
       -1,
       {}},
      {"four bytes",
       std::string("10\x1F"
                   "a"),
       -1,
       {}},
      {"no terminator at all",
       std::string("10\x1F"
                   "aAbc"),
       -1,
       {}},
      {"terminator as a code ends the scan",
       std::string("10\x1F"
                   "aX\x1F\x1E"
                   "bY\x1E"),
       -1,
       {{'a', "X"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FieldUnderTest t(c.bytes, c.n);
    EXPECT_EQ(c.expected, Parse(t.field));
    EXPECT_EQ(c.expected.size(), t.field.getSubfieldsCount());
  }
}

TEST(Subfields, EveryDataLengthAndAlignmentIsFound) {
  // The scan reads several bytes at a time: the separator must be found at
  // every offset, and nothing past the field may be read (exact buffers).
  for (std::size_t len = 1; len <= 40; ++len) {
    SCOPED_TRACE(len);
    const std::string data(len, 'x');
    const std::string two = std::string(
                                "10\x1F"
                                "a") +
                            data +
                            "\x1F"
                            "b" +
                            data + "\x1E";
    FieldUnderTest whole(two);
    EXPECT_EQ((Subfields{{'a', data}, {'b', data}}), Parse(whole.field));
    FieldUnderTest cut(two, static_cast<long>(two.size() - 1));  // terminator left out
    EXPECT_EQ((Subfields{{'a', data}}), Parse(cut.field));
  }
}

TEST(Subfields, ListGrowsPastItsReservedRoom) {
  std::string bytes = "  ";
  Subfields expected;
  for (char code = 'a'; code <= 'l'; ++code) {
    bytes += std::string("\x1F") + code + char(code - 32);
    expected.emplace_back(code, std::string(1, char(code - 32)));
  }
  FieldUnderTest t(bytes + "\x1E");
  EXPECT_EQ(expected, Parse(t.field));
}

TEST(Subfields, LookUpByCodeFromAPosition) {
  FieldUnderTest t(
      std::string("10\x1F"
                  "aAbc\x1F"
                  "bDe\x1F"
                  "aFg\x1E"));
  DataField& f = t.field;
  const auto begin = f.getSubfield('a', f.getSFListBegin());
  EXPECT_EQ(f.getSFListBegin(), begin);
  const auto second_a = f.getSubfield('a', begin + 1);
  EXPECT_EQ(begin + 2, second_a);
  EXPECT_EQ(second_a, f.getSubfield('a', second_a));  // `from` itself is tested
  EXPECT_EQ(f.getSFListEnd(), f.getSubfield('a', second_a + 1));
  EXPECT_EQ(begin + 1, f.getSubfield('b', f.getSFListBegin()));
  EXPECT_EQ(f.getSFListEnd(), f.getSubfield('z', f.getSFListBegin()));
  EXPECT_EQ(f.getSFListEnd(), f.getSubfield('a', f.getSFListEnd()));
}

TEST(Subfields, ParsedOnceAndKept) {
  FieldUnderTest t(
      std::string("10\x1F"
                  "aAbc\x1F"
                  "bDe\x1E"));
  const Subfield* first = *t.field.getSFListBegin();
  EXPECT_EQ(first, *t.field.getSFListBegin());
  EXPECT_EQ(2u, t.field.getSubfieldsCount());
}

TEST(SubfieldValues, CodeIsTheByteBeforeTheData) {
  const ExactBuffer buf(
      std::string("\x1F"
                  "aAbc"));
  const Subfield s(buf.data() + 2, 3);
  EXPECT_EQ('a', s.getCode());
  EXPECT_EQ(buf.data() + 2, s.getData());
  EXPECT_EQ(3u, s.getDatalen());
  const Subfield copy(s);
  Subfield assigned(buf.data() + 1, 1);
  assigned = s;
  for (const Subfield* c : {&copy, const_cast<const Subfield*>(&assigned)}) {
    EXPECT_EQ('a', c->getCode());
    EXPECT_EQ(s.getData(), c->getData());
    EXPECT_EQ(3u, c->getDatalen());
  }
}

}  // namespace
}  // namespace quillet
