// Field kinds, the subfield parser and subfield views, over exact buffers.
#include <cstdint>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/expect_mrc.h"
#include "support/record_builder.h"

namespace quillet {
namespace {

using quillet_test::Bytes;
using quillet_test::ExactBuffer;
using Subfields = std::vector<std::pair<char, std::string>>;

// A data field over exactly `bytes`, with field length `n` (default: all).
struct FieldUnderTest {
  explicit FieldUnderTest(const std::string& bytes, long n = -1)
      : buf(bytes), field(buf.data(), n < 0 ? buf.size() : static_cast<unsigned>(n)) {}
  ExactBuffer buf;
  DataField field;
};

Subfields Parse(DataField& f) {
  Subfields out;
  for (auto it = f.getSFListBegin(); it != f.getSFListEnd(); ++it) {
    out.emplace_back((*it)->getCode(), std::string((*it)->getData(), (*it)->getDatalen()));
  }
  return out;
}

TEST(FieldKinds, ControlFieldContentExcludesTheTerminator) {
  const ExactBuffer buf(Bytes("345#"));
  const ControlField f(buf.data(), 4);
  EXPECT_TRUE(f.isControl());
  EXPECT_EQ(buf.data(), f.getData());
  EXPECT_EQ(3u, f.getDatalen());
  EXPECT_EQ(0u, ControlField(buf.data() + 3, 1).getDatalen());
  EXPECT_EQ(0u, ControlField(buf.data(), 0).getDatalen());
}

TEST(FieldKinds, DataFieldReportsIndicatorsAndFreesItsSubfieldsThroughTheBase) {
  const ExactBuffer buf(Bytes("14$aA$bB#"));
  Field* f = new DataField(buf.data(), buf.size());
  auto* d = static_cast<DataField*>(f);
  EXPECT_FALSE(f->isControl());
  EXPECT_EQ('1', d->getInd1());
  EXPECT_EQ('4', d->getInd2());
  EXPECT_EQ(2, std::distance(d->getSFListBegin(), d->getSFListEnd()));
  delete f;  // the leak checker sees anything left behind
}

TEST(FieldKinds, EveryFormOfNewWorks) {
  const ExactBuffer buf(Bytes("$aX#"));
  alignas(Subfield) unsigned char storage[sizeof(Subfield)];
  Subfield* placed = new (storage) Subfield(buf.data() + 2, 1);
  EXPECT_EQ('a', placed->getCode());
  placed->~Subfield();

  ControlField* nothrow = new (std::nothrow) ControlField(buf.data(), 2);
  ASSERT_NE(nullptr, nothrow);
  delete nothrow;
  Subfield* nothrow_sub = new (std::nothrow) Subfield(buf.data() + 2, 1);
  ASSERT_NE(nullptr, nothrow_sub);
  delete nothrow_sub;

  // A caller's over-aligned class gets a block aligned for it.
  struct alignas(64) Wide : ControlField {
    using ControlField::ControlField;
  };
  for (int i = 0; i < 4; ++i) {
    Wide* w = new Wide(buf.data(), 2);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(w) % 64);
    delete w;
  }
}

TEST(Subfields, SplitAtDelimitersWithDataRightAfterTheCode) {
  FieldUnderTest t(Bytes("10$aAbc$bDe#"));
  EXPECT_EQ(0u, t.field.getSubfieldsCount());  // nothing parsed yet
  const auto it = t.field.getSFListBegin();
  EXPECT_EQ(2u, t.field.getSubfieldsCount());
  EXPECT_EQ(t.buf.data() + 4, (*it)->getData());
  EXPECT_EQ(t.buf.data() + 9, (*(it + 1))->getData());
  EXPECT_EQ((Subfields{{'a', "Abc"}, {'b', "De"}}), Parse(t.field));
  EXPECT_EQ(*it, *t.field.getSFListBegin());  // parsed once, kept
}

TEST(Subfields, FollowTheScanRules) {
  const struct {
    const char* what;
    std::string bytes;
    long n;
    Subfields expected;
  } cases[] = {
      {"terminator outside the length", Bytes("10$aAbc$bDe#"), 11, {{'a', "Abc"}}},
      {"length stops inside the first", Bytes("10$aAbc$bDe#"), 7, {}},
      {"empty subfield skipped", Bytes("10$aAbc$b$cX#"), -1, {{'a', "Abc"}, {'c', "X"}}},
      {"empty first subfield", Bytes("10$a$bX#"), -1, {{'b', "X"}}},
      {"stops at the first terminator", Bytes("10$aAbc#ZZ$zQ#"), -1, {{'a', "Abc"}}},
      {"repeated delimiters act as one", Bytes("10$aAbc$$bD#"), -1, {{'a', "Abc"}, {'b', "D"}}},
      {"first code may be a delimiter", Bytes("10$$aX#"), -1, {{'\x1F', "aX"}}},
      {"any other byte is data",
       Bytes(std::string("10$a\0b$c#", 9)),
       -1,
       {{'a', std::string("\0b", 2)}}},
      {"high bytes are data", Bytes("10$a\xC3\xA9$\xFFz#"), -1, {{'a', "\xC3\xA9"}, {'\xFF', "z"}}},
      {"code alone", Bytes("10$a#"), -1, {}},
      {"four bytes", Bytes("10$a"), -1, {}},
      {"no terminator at all", Bytes("10$aAbc"), -1, {}},
      {"terminator as a code ends the scan", Bytes("10$aX$#bY#"), -1, {{'a', "X"}}},
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
    const std::string two = Bytes("10$a" + data + "$b" + data + "#");
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
    bytes += std::string("$") + code + char(code - 32);
    expected.emplace_back(code, std::string(1, char(code - 32)));
  }
  FieldUnderTest t(Bytes(bytes + "#"));
  EXPECT_EQ(expected, Parse(t.field));
}

TEST(Subfields, LookUpByCodeFromAPosition) {
  FieldUnderTest t(Bytes("10$aAbc$bDe$aFg#"));
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

#if defined(__SANITIZE_ADDRESS__)
#define QUILLET_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLET_TEST_ASAN 1
#endif
#endif

TEST(SubfieldValues, UseAfterTheRecordIsReadAgainIsCaughtByAddressSanitizer) {
#ifndef QUILLET_TEST_ASAN
  GTEST_SKIP() << "needs the AddressSanitizer build";
#else
  const std::string one =
      quillet_test::BuildRecord({{"245", quillet_test::DataContent("10", {{'a', "Title"}})}});
  EXPECT_DEATH(
      {
        std::istringstream in(one + one);
        Record rec;
        in >> rec;
        auto* field = static_cast<DataField*>(rec.getFMapBegin()->second);
        const Subfield* stale = *field->getSFListBegin();
        in >> rec;  // frees the fields and subfields of the first read
        rec.getFMapBegin();
        static_cast<DataField*>(rec.getFMapBegin()->second)->getSFListBegin();
        volatile unsigned n = stale->getDatalen();
        static_cast<void>(n);
      },
      "heap-use-after-free");
#endif
}

}  // namespace
}  // namespace quillet
