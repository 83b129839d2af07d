#include "io/prefixed_source.h"

#include <algorithm>
#include <cstring>

namespace quillet {

std::size_t PrefixedSource::Read(char* dst, std::size_t n, std::string& error) {
  if (at_ < prefix_.size()) {
    const std::size_t take = std::min(n, prefix_.size() - at_);
    std::memcpy(dst, prefix_.data() + at_, take);
    at_ += take;
    return take;
  }
  return rest_ ? rest_->Read(dst, n, error) : 0;
}

}  // namespace quillet
