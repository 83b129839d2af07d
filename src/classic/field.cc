#include "classic/object_pool.h"
#include "quillet/quillet.h"

namespace quillet {

Field::Field() : data_(nullptr), length_(0) {}

Field::Field(const char* data, unsigned int length) : data_(data), length_(length) {}

Field::Field(const Field& other) = default;

Field& Field::operator=(const Field& other) = default;

Field::~Field() = default;

void* Field::operator new(std::size_t size) { return AllocateFieldBlock(size); }

void Field::operator delete(void* block, std::size_t size) noexcept { FreeFieldBlock(block, size); }

void* Field::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return AllocateFieldBlock(size);
  } catch (...) {
    return nullptr;
  }
}

// Every block, kept or not, came from the global operator new.
void Field::operator delete(void* block, const std::nothrow_t&) noexcept {
  ::operator delete(block);
}

ControlField::ControlField(const char* data, unsigned int length) : Field(data, length) {}

ControlField::ControlField(const ControlField& other) = default;

ControlField& ControlField::operator=(const ControlField& other) = default;

ControlField::~ControlField() = default;

bool ControlField::isControl() const { return true; }

}  // namespace quillet
