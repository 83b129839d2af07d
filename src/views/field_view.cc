#include "quillet/view.h"

namespace quillet {

std::string_view FieldView::subfield(char code) const {
  for (const SubfieldView& s : subfields()) {
    if (s.code() == code) return s.value();
  }
  return std::string_view();
}

bool FieldView::hasSubfield(char code) const {
  for (const SubfieldView& s : subfields()) {
    if (s.code() == code) return true;
  }
  return false;
}

}  // namespace quillet
