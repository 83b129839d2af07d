#ifndef QUILLET_COMMON_DIGITS_H_
#define QUILLET_COMMON_DIGITS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillet {

// Reads the `width` bytes at `p` as unsigned decimal digits into *value;
// false, with *value untouched, when any byte is not '0'..'9'. For the
// record views, which report rather than throw. `width` is at most 9, so
// the value cannot overflow.
// REQUIRES: the `width` bytes lie inside the buffer.
inline bool ReadDigits(const char* p, std::size_t width, std::size_t* value) {
  std::size_t v = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const unsigned digit = static_cast<unsigned char>(p[i]) - unsigned{'0'};
    if (digit > 9) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// Four digits at once: the directory's field lengths and most of its
// starting positions, read without a branch per digit.
// REQUIRES: the 4 bytes lie inside the buffer.
inline bool ReadFourDigits(const char* p, std::size_t* value) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap32(w);
#endif
  // A byte is a digit when its high nibble is 3, also after adding 6.
  if ((w & 0xF0F0F0F0u) != 0x30303030u || ((w + 0x06060606u) & 0xF0F0F0F0u) != 0x30303030u) {
    return false;
  }
  std::uint32_t d = w & 0x0F0F0F0Fu;                      // first digit in the lowest byte
  d = (d & 0x000F000Fu) * 10 + ((d >> 8) & 0x000F000Fu);  // two-digit numbers in 16-bit lanes
  *value = (d & 0xFFFFu) * 100 + (d >> 16);
  return true;
}

// Five digits: the record length, base address and starting positions.
inline bool ReadFiveDigits(const char* p, std::size_t* value) {
  const unsigned first = static_cast<unsigned char>(p[0]) - unsigned{'0'};
  std::size_t rest = 0;
  if (first > 9 || !ReadFourDigits(p + 1, &rest)) return false;
  *value = first * 10000 + rest;
  return true;
}

}  // namespace quillet

#endif  // QUILLET_COMMON_DIGITS_H_
