#include <cstdint>
#include <cstring>
#include <memory>

#include "classic/object_pool.h"
#include "quillet/iso2709.h"
#include "quillet/quillet.h"

namespace quillet {

using iso2709::kFieldTerminator;

namespace {

// Room reserved at the first parse; most fields have fewer subfields.
constexpr std::size_t kReservedSubfields = 10;

// Position of the first subfield's first data byte: after the two
// indicators, the opening delimiter and the first code, none of which the
// parser reads.
constexpr unsigned kFirstDataPosition = 4;

#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define QUILLET_SWAR_SCAN 1

// Offset of the first separator byte (0x1E or 0x1F) among the eight bytes of
// `word`, first byte lowest, or 8 when there is none. The two separators
// differ only in their lowest bit, so one masked compare finds both.
inline unsigned FirstSeparatorIn(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  static_assert((iso2709::kSubfieldDelimiter & 0xFE) == kFieldTerminator,
                "the separators differ only in their lowest bit");
  constexpr std::uint64_t kTerminators = kOnes * static_cast<unsigned char>(kFieldTerminator);
  const std::uint64_t x = (word & (kOnes * 0xFE)) ^ kTerminators;
  const std::uint64_t hits = (x - kOnes) & ~x & kHighs;
  // The lowest flagged byte is always a true zero byte of x.
  return hits ? static_cast<unsigned>(__builtin_ctzll(hits) >> 3) : 8;
}

inline std::uint64_t Load8(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}
#endif

// The first subfield delimiter (0x1F) or field terminator (0x1E) in
// [p, end), or `end`. Reads nothing outside [begin, end), where `begin` is
// the start of the field: eight bytes are tested at a time, and the last
// few by one more load that ends at `end` (the bytes it repeats from before
// `p` are shifted out).
const char* FindSeparator(const char* begin, const char* p, const char* end) {
#ifdef QUILLET_SWAR_SCAN
  while (end - p >= 8) {
    const unsigned at = FirstSeparatorIn(Load8(p));
    if (at < 8) return p + at;
    p += 8;
  }
  if (p < end && end - begin >= 8) {
    const unsigned skip = static_cast<unsigned>(p - (end - 8));
    const unsigned at = FirstSeparatorIn(Load8(end - 8) >> (8 * skip));
    return at < 8 ? p + at : end;
  }
#else
  static_cast<void>(begin);
#endif
  while (p < end && (*p & 0xFE) != kFieldTerminator) ++p;
  return p;
}

}  // namespace

DataField::DataField(const char* data, unsigned int length)
    : Field(data, length), subfields_(NewSubfieldList()) {}

DataField::~DataField() {
  clear();
  DeleteSubfieldList(subfields_);
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

// Scans positions 4 .. length-1 from separator to separator. Data runs from
// two bytes after a delimiter (past the code) up to the next separator, and
// from position 4 for the first subfield; runs of no bytes (a code right
// before a separator, repeated delimiters, a code that is itself a
// separator) are not listed. The first 0x1E ends the scan; data still open
// when the length runs out has no terminator and is dropped.
void DataField::readSubfields() {
  if (!subfields_->empty()) return;
  subfields_->reserve(kReservedSubfields);
  const unsigned n = length_;
  if (n <= kFirstDataPosition) return;

  const char* const p = data_;
  unsigned start = kFirstDataPosition;  // where the current subfield's data begins
  unsigned from = kFirstDataPosition;   // where the search for the next separator begins
  try {
    while (from < n) {
      const unsigned at = static_cast<unsigned>(FindSeparator(p, p + from, p + n) - p);
      if (at == n) return;
      if (start < at) {
        std::unique_ptr<Subfield> s(new Subfield(p + start, at - start));
        subfields_->push_back(s.get());
        s.release();
      }
      if (p[at] == kFieldTerminator) return;
      start = at + 2;
      from = at + 1;
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
