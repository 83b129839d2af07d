#ifndef QUILLET_DETAIL_DELIMITER_MASK_H_
#define QUILLET_DETAIL_DELIMITER_MASK_H_

/// @file
/// Helpers of the inline SubfieldIterator (quillet/view.h); not part of the
/// interface, and subject to change.

#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet {
namespace detail {

/// Bit i set where p[i] is a subfield delimiter, for i < n <= 64. Subfields
/// are found from these masks, so walking a field costs a few instructions
/// per 16 bytes and per subfield, and no branch depends on where a value
/// ends. The last bytes are tested by one load that ends at p + n and
/// starts up to 15 bytes earlier.
/// REQUIRES: the 15 bytes before p are readable. They are for every field a
/// record view hands out: a field's data follows at least the record's
/// 24-byte leader and its directory terminator.
inline std::uint64_t DelimiterMask(const char* p, std::size_t n) noexcept {
  std::uint64_t mask = 0;
#if defined(__SSE2__)
  const __m128i delimiter = _mm_set1_epi8(0x1F);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const unsigned hits =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, delimiter)));
    mask |= static_cast<std::uint64_t>(hits) << i;
  }
  if (i < n) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
    const unsigned hits =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, delimiter)));
    mask |= static_cast<std::uint64_t>(hits >> (16 - (n - i))) << i;
  }
#else
  for (std::size_t i = 0; i < n; ++i) mask |= static_cast<std::uint64_t>(p[i] == '\x1F') << i;
#endif
  return mask;
}

/// The number of trailing zero bits of a non-zero mask.
inline unsigned LowestBit(std::uint64_t mask) noexcept {
#if defined(__GNUC__)
  return static_cast<unsigned>(__builtin_ctzll(mask));
#else
  unsigned n = 0;
  while ((mask & 1) == 0) {
    mask >>= 1;
    ++n;
  }
  return n;
#endif
}

}  // namespace detail
}  // namespace quillet

#endif  // QUILLET_DETAIL_DELIMITER_MASK_H_
