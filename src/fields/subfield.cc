#include "foundations/block_cache.h"
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

void* Subfield::operator new(std::size_t size) { return AllocateBlock(size); }

void Subfield::operator delete(void* block, std::size_t size) noexcept { FreeBlock(block, size); }

}  // namespace quillet
