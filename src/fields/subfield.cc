#include "quillet/quillet.h"

namespace quillet {

Subfield::Subfield(const char* data, unsigned int datalen) : data_(data), datalen_(datalen) {}

Subfield::Subfield(const Subfield& other) : data_(other.data_), datalen_(other.datalen_) {}

Subfield& Subfield::operator=(const Subfield& other) {
  data_ = other.data_;
  datalen_ = other.datalen_;
  return *this;
}

// The parser only makes subfields whose data follows their code, so the
// byte before the data is always inside the field.
char Subfield::getCode() const { return data_[-1]; }

const char* Subfield::getData() const { return data_; }

unsigned int Subfield::getDatalen() const { return datalen_; }

}  // namespace quillet
