#include "quillet/formats.h"
#include "quillet/view.h"

namespace quillet {

bool TagFilter::selects(const FieldView& field) const {
  if (patterns_.empty()) return true;
  for (const std::string& p : patterns_) {
    if (field.matches(p)) return true;
  }
  return false;
}

}  // namespace quillet
