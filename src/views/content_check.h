#ifndef QUILLET_VIEWS_CONTENT_CHECK_H_
#define QUILLET_VIEWS_CONTENT_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillet/view.h"

namespace quillet {

// The checks of data fields' content, made when a record's problems are
// first asked for: the indicators are there, a delimiter follows them, each
// delimiter is followed by a code, and no field terminator stands inside
// the content (readers that stop at the first terminator, or take a second
// delimiter for a code, would see other subfields).
//
// For one record: holds a pointer to its bytes and a reference to the list
// it appends to, both of which must outlive it. One thread at a time.
class ContentCheck {
 public:
  ContentCheck(const char* record, std::size_t size, std::uint64_t offset,
               std::vector<Problem>& problems);

  // Checks one field of the record; control fields pass.
  void Field(const FieldView& f);

 private:
  void Report(Problem::Kind kind, const char* at, std::int32_t entry, const char* tag,
              std::uint64_t value);

  const char* const p_;
  const std::size_t size_;
  const std::uint64_t offset_;
  std::vector<Problem>& problems_;
  unsigned indicators_;
};

}  // namespace quillet

#endif  // QUILLET_VIEWS_CONTENT_CHECK_H_
