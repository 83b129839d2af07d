#ifndef QUILLET_CLASSIC_BYTES_TO_INT_H_
#define QUILLET_CLASSIC_BYTES_TO_INT_H_

#include <cstdint>

#include "classic/errors.h"

namespace quillet {

// Reads the `width` bytes at buffer + offset as unsigned decimal digits, most
// significant first. Only '0'..'9' are accepted (no sign, no blanks); the
// value wraps modulo 2^32. When offset + width is not above offset, taken as
// signed 32-bit numbers, nothing is read and 0 is returned.
// REQUIRES: the `width` bytes lie inside the buffer.
inline unsigned BytesToInt(const char* buffer, int offset, unsigned width) {
  const int32_t end = static_cast<int32_t>(static_cast<uint32_t>(offset) + width);
  if (end <= offset) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(buffer) + offset;
  const unsigned char* const limit = reinterpret_cast<const unsigned char*>(buffer) + end;
  uint32_t value = 0;
  for (; p != limit; ++p) {
    const uint8_t digit = static_cast<uint8_t>(*p - '0');
    if (digit > 9) ThrowError(kBytesToIntError);
    value = value * 10u + digit;
  }
  return value;
}

}  // namespace quillet

#endif  // QUILLET_CLASSIC_BYTES_TO_INT_H_
