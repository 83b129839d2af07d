#include <cstring>

#include "formats/escapes.h"
#include "quillet/formats.h"

namespace quillet {

void OutputBuffer::grow(std::size_t n) {
  std::size_t capacity = capacity_ ? 2 * capacity_ : std::size_t{1} << 16;
  while (capacity - size_ < n) capacity *= 2;
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (size_) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

void OutputBuffer::append(std::string_view bytes) {
  commit(escapes::Put(room(bytes.size()), bytes));
}

}  // namespace quillet
