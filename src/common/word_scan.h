#ifndef QUILLET_COMMON_WORD_SCAN_H_
#define QUILLET_COMMON_WORD_SCAN_H_

// Tests of eight bytes at a time, for the loops that skip runs of ordinary
// bytes (subfield values, plain text to escape, ASCII to copy). Each test
// says whether some byte of a word is of a kind; the loops then look at the
// bytes one by one. The tests never report a byte that is not there, and
// they find every one that is: the borrow of the subtraction can only flag
// a byte above a true hit, never clear one, and "any" looks at no position.
//
// All inline and internal; usable from any thread.

#include <cstdint>
#include <cstring>

namespace quillet {
namespace word_scan {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// The eight bytes at p, in memory order (the first byte lowest on
// little-endian machines). No alignment needed.
inline std::uint64_t Load8(const void* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// The high bit of each byte of `x` that is below `n` (n <= 128), equals
// `c`, or has its own high bit set. Bits above the lowest flagged byte may
// be false hits; the lowest is always true, and a mask is zero exactly when
// no byte is of the kind. Masks of several kinds may be or-ed and tested
// once.
constexpr std::uint64_t BelowBits(std::uint64_t x, unsigned n) {
  return (x - kOnes * n) & ~x & kHighs;
}
constexpr std::uint64_t EqualBits(std::uint64_t x, unsigned char c) {
  const std::uint64_t y = x ^ (kOnes * c);
  return (y - kOnes) & ~y & kHighs;
}
constexpr std::uint64_t HighBits(std::uint64_t x) { return x & kHighs; }

// Whether some byte of `x` is below `n` (n <= 128).
constexpr bool AnyBelow(std::uint64_t x, unsigned n) { return BelowBits(x, n) != 0; }

// Whether some byte of `x` equals `c`.
constexpr bool AnyEqual(std::uint64_t x, unsigned char c) { return EqualBits(x, c) != 0; }

// Whether some byte of `x` has its high bit set (is not ASCII).
constexpr bool AnyHigh(std::uint64_t x) { return HighBits(x) != 0; }

// The high bit of each byte of `x` that equals `c` or `c ^ 1`, for `c`
// even: one masked compare finds the field terminator (0x1E) and the
// subfield delimiter (0x1F) together. Bits above the lowest flagged byte
// may be false hits; the lowest is always true.
constexpr std::uint64_t PairHits(std::uint64_t x, unsigned char c) {
  const std::uint64_t y = (x & (kOnes * 0xFE)) ^ (kOnes * c);
  return (y - kOnes) & ~y & kHighs;
}

}  // namespace word_scan
}  // namespace quillet

#endif  // QUILLET_COMMON_WORD_SCAN_H_
