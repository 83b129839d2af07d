#include "quillet/quillet.h"

namespace quillet {

Field::Field() : data_(nullptr), length_(0) {}

Field::Field(const char* data, unsigned int length) : data_(data), length_(length) {}

Field::Field(const Field& other) : data_(other.data_), length_(other.length_) {}

Field& Field::operator=(const Field& other) {
  data_ = other.data_;
  length_ = other.length_;
  return *this;
}

Field::~Field() {}

ControlField::ControlField(const char* data, unsigned int length) : Field(data, length) {}

ControlField::ControlField(const ControlField& other) : Field(other) {}

ControlField& ControlField::operator=(const ControlField& other) {
  Field::operator=(other);
  return *this;
}

ControlField::~ControlField() {}

bool ControlField::isControl() const { return true; }

const char* ControlField::getData() const { return data_; }

// A directory can name a field of length 0: it has neither content nor
// terminator, and length - 1 would wrap to a length reaching far past it.
unsigned int ControlField::getDatalen() const { return length_ == 0 ? 0 : length_ - 1; }

}  // namespace quillet
