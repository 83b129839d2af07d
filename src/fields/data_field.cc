#include <cstdint>
#include <cstring>
#include <memory>

#include "fields/separators.h"
#include "quillet/quillet.h"

namespace quillet {

namespace {

// Room reserved at the first parse; most fields have fewer subfields.
constexpr std::size_t kReservedSubfields = 10;

// Position of the first subfield's first data byte: after the two
// indicators, the opening delimiter and the first code, none of which the
// parser reads.
constexpr unsigned kFirstDataPosition = 4;

// The first byte at or after `p` and before `end` that is a subfield
// delimiter (0x1F) or a field terminator (0x1E), or `end`. The two differ
// only in their lowest bit, so one masked compare finds both; eight bytes
// are tested at a time while eight remain before `end`.
const char* FindSeparator(const char* p, const char* end) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  constexpr std::uint64_t kMask = 0xFEFEFEFEFEFEFEFEull;
  constexpr std::uint64_t kSeparator = 0x1E1E1E1E1E1E1E1Eull;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t x = (word & kMask) ^ kSeparator;  // 0 where a separator is
    const std::uint64_t hits = (x - kOnes) & ~x & kHighs;
    // The lowest flagged byte is always a true zero byte.
    if (hits) return p + (__builtin_ctzll(hits) >> 3);
    p += 8;
  }
#endif
  while (p < end && (*p & 0xFE) != kFieldTerminator) ++p;
  return p;
}

}  // namespace

DataField::DataField(const char* data, unsigned int length)
    : Field(data, length), subfields_(new std::vector<Subfield*>) {}

DataField::~DataField() {
  for (Subfield* s : *subfields_) delete s;
  delete subfields_;
}

bool DataField::isControl() const { return false; }

DataField::const_iterator DataField::getSFListBegin() {
  readSubfields();
  return subfields_->cbegin();
}

DataField::const_iterator DataField::getSFListEnd() {
  readSubfields();
  return subfields_->cend();
}

DataField::const_iterator DataField::getSubfield(char code, const_iterator from) {
  readSubfields();
  const const_iterator end = subfields_->cend();
  for (; from != end; ++from) {
    if ((*from)->getCode() == code) break;
  }
  return from;
}

// Scans positions 4 .. length-1. A 0x1F makes the next byte a code (unless
// it is itself a separator, so runs of 0x1F act as one); any other byte
// after a code starts a subfield's data, which runs to the next 0x1F or 0x1E.
// The first 0x1E ends the scan; data still open when the length runs out
// has no terminator and is dropped. Subfields without data are not listed.
void DataField::readSubfields() {
  if (!subfields_->empty()) return;
  subfields_->reserve(kReservedSubfields);
  const unsigned n = length_;
  if (n <= kFirstDataPosition) return;

  const char* const p = data_;
  unsigned pos = kFirstDataPosition;
  bool at_code = false;
  try {
    while (pos < n) {
      const char b = p[pos];
      if (b == kSubfieldDelimiter) {
        at_code = true;
        ++pos;
        continue;
      }
      if (b == kFieldTerminator) return;
      if (at_code) {
        at_code = false;
        ++pos;
        continue;
      }
      const unsigned end = static_cast<unsigned>(FindSeparator(p + pos + 1, p + n) - p);
      if (end == n) return;
      std::unique_ptr<Subfield> s(new Subfield(p + pos, end - pos));
      subfields_->push_back(s.get());
      s.release();
      pos = end;
    }
  } catch (...) {
    // Out of memory: leave the field unparsed rather than with a list that
    // later calls would take for complete.
    clear();
    throw;
  }
}

void DataField::clear() {
  for (Subfield* s : *subfields_) delete s;
  subfields_->clear();
}

}  // namespace quillet
