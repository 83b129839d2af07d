#include "classic/bytes_to_int.h"
#include "classic/errors.h"
#include "quillet/quillet.h"

namespace quillet {

// Negative values are not cached: a 001 that is a data field, or whose
// number does not fit in an int, is looked up again on every call.
int Record::getId() {
  if (id_ >= 0) return id_;
  readId();
  return id_;
}

void Record::readId() {
  const const_iterator it = getFirstField("001");
  if (it == fields_->cend()) ThrowError(kMissingField001);
  const Field* field = it->second;
  if (field->isControl()) {
    const ControlField* control = static_cast<const ControlField*>(field);
    // The whole content is one number; an empty content reads as 0. The
    // unsigned value lands in a signed int, so 2^31 and above go negative.
    id_ = static_cast<int>(BytesToInt(control->getData(), 0, control->getDatalen()));
  } else {
    id_ = -1;
  }
}

}  // namespace quillet
