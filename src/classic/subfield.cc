#include "classic/object_pool.h"
#include "quillet/quillet.h"

namespace quillet {

// The parser only makes subfields whose data follows their code, so the
// byte before the data is always inside the field.
Subfield::Subfield(const char* data, unsigned int datalen) : data_(data), datalen_(datalen) {}

Subfield::Subfield(const Subfield& other) = default;

Subfield& Subfield::operator=(const Subfield& other) = default;

void* Subfield::operator new(std::size_t size) { return AllocateFieldBlock(size); }

void Subfield::operator delete(void* block, std::size_t size) noexcept {
  FreeFieldBlock(block, size);
}

void* Subfield::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return AllocateFieldBlock(size);
  } catch (...) {
    return nullptr;
  }
}

void Subfield::operator delete(void* block, const std::nothrow_t&) noexcept {
  ::operator delete(block);
}

}  // namespace quillet
