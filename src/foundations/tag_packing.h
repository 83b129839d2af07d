#ifndef QUILLET_FOUNDATIONS_TAG_PACKING_H_
#define QUILLET_FOUNDATIONS_TAG_PACKING_H_

namespace quillet {

// The packed form of a three-byte tag; the top byte is always 0, so the
// signed value orders exactly like the three bytes compared unsigned.
// REQUIRES: tag points at three readable bytes.
inline int PackTag(const char* tag) {
  const unsigned char* t = reinterpret_cast<const unsigned char*>(tag);
  return static_cast<int>((unsigned{t[0]} << 16) | (unsigned{t[1]} << 8) | unsigned{t[2]});
}

}  // namespace quillet

#endif  // QUILLET_FOUNDATIONS_TAG_PACKING_H_
