#include "io/memory_source.h"

#include <algorithm>
#include <cstring>

namespace quillet {

std::size_t MemorySource::Read(char* dst, std::size_t n, std::string&) {
  const std::size_t take = std::min(n, size_ - at_);
  if (take) std::memcpy(dst, data_ + at_, take);
  at_ += take;
  return take;
}

}  // namespace quillet
