#include "classic/errors.h"
#include "quillet/quillet.h"

namespace quillet {

namespace {

// The top byte stays 0, so the signed value orders exactly like the three
// bytes compared unsigned.
int PackTag(const char* tag) {
  const unsigned char* t = reinterpret_cast<const unsigned char*>(tag);
  return static_cast<int>((unsigned{t[0]} << 16) | (unsigned{t[1]} << 8) | unsigned{t[2]});
}

}  // namespace

FieldTag::FieldTag(const char* tag) : tag_(tag ? PackTag(tag) : 0) {}

char* FieldTag::ToAscii(char* out) const {
  if (!out) ThrowError(kToAsciiNullError);
  out[0] = static_cast<char>((tag_ >> 16) & 0xFF);
  out[1] = static_cast<char>((tag_ >> 8) & 0xFF);
  out[2] = static_cast<char>(tag_ & 0xFF);
  out[3] = '\0';
  return out;
}

FieldTag& FieldTag::operator=(const FieldTag& other) = default;

}  // namespace quillet
