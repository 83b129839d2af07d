#ifndef QUILLET_COMMON_FIND_SEPARATOR_H_
#define QUILLET_COMMON_FIND_SEPARATOR_H_

#include "common/word_scan.h"
#include "quillet/iso2709.h"

namespace quillet {

// The first subfield delimiter (0x1F) or field terminator (0x1E) in
// [p, end), or `end`: the scan both subfield parsers and the views' content
// check make. Reads nothing outside [begin, end), where `begin` is the start
// of the field: eight bytes are tested at a time, and the last few by one
// more load that ends at `end` (the bytes it repeats from before `p` are
// shifted out). Usable from any thread.
// REQUIRES: begin <= p <= end.
inline const char* FindSeparator(const char* begin, const char* p, const char* end) {
  using iso2709::kFieldTerminator;
  static_assert((iso2709::kSubfieldDelimiter & 0xFE) == kFieldTerminator,
                "the separators differ only in their lowest bit");
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Where the first byte of a word is its lowest, the lowest hit is the
  // first separator.
  constexpr unsigned char kPair = static_cast<unsigned char>(kFieldTerminator);
  while (end - p >= 8) {
    const std::uint64_t hits = word_scan::PairHits(word_scan::Load8(p), kPair);
    if (hits != 0) return p + (__builtin_ctzll(hits) >> 3);
    p += 8;
  }
  if (p < end && end - begin >= 8) {
    const unsigned skip = static_cast<unsigned>(p - (end - 8));
    const std::uint64_t hits = word_scan::PairHits(word_scan::Load8(end - 8) >> (8 * skip), kPair);
    return hits != 0 ? p + (__builtin_ctzll(hits) >> 3) : end;
  }
#else
  static_cast<void>(begin);
#endif
  while (p < end && (*p & 0xFE) != kFieldTerminator) ++p;
  return p;
}

}  // namespace quillet

#endif  // QUILLET_COMMON_FIND_SEPARATOR_H_
