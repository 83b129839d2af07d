#include "quillet/view.h"

namespace quillet {

bool isTagPattern(std::string_view pattern) noexcept { return pattern.size() == 3; }

bool tagMatches(std::string_view pattern, std::string_view tag) noexcept {
  if (pattern.size() != 3 || tag.size() != 3) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    const char p = pattern[i];
    if (p != tag[i] && p != 'X' && p != 'x' && p != '.') return false;
  }
  return true;
}

}  // namespace quillet
