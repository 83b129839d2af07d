#include "foundations/block_cache.h"
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

void* Field::operator new(std::size_t size) { return AllocateBlock(size); }

void Field::operator delete(void* block, std::size_t size) noexcept { FreeBlock(block, size); }

ControlField::ControlField(const char* data, unsigned int length) : Field(data, length) {}

ControlField::ControlField(const ControlField& other) : Field(other) {}

ControlField& ControlField::operator=(const ControlField& other) {
  Field::operator=(other);
  return *this;
}

ControlField::~ControlField() {}

bool ControlField::isControl() const { return true; }

}  // namespace quillet
