#include "foundations/errors.h"
#include "foundations/tag_packing.h"
#include "quillet/quillet.h"

namespace quillet {

FieldTag::FieldTag(const char* tag) : tag_(tag ? PackTag(tag) : 0) {}

char* FieldTag::ToAscii(char* out) const {
  if (!out) ThrowError(kToAsciiNullError);
  out[0] = static_cast<char>((tag_ >> 16) & 0xFF);
  out[1] = static_cast<char>((tag_ >> 8) & 0xFF);
  out[2] = static_cast<char>(tag_ & 0xFF);
  out[3] = '\0';
  return out;
}

FieldTag& FieldTag::operator=(const FieldTag& other) {
  tag_ = other.tag_;
  return *this;
}

}  // namespace quillet
