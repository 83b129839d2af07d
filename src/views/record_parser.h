#ifndef QUILLET_VIEWS_RECORD_PARSER_H_
#define QUILLET_VIEWS_RECORD_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillet/view.h"

namespace quillet {

// Takes the `size` bytes at `data`, one framed record that stands at
// `offset` in the input, apart into `fields` (which must be empty), in
// directory order, and appends the problems found to `problems`. Reads
// nothing outside [data, data + size). The work of the RecordParser class
// of record_parser.cc.
void ParseRecord(const char* data, std::size_t size, std::uint64_t offset,
                 std::vector<FieldView>& fields, std::vector<Problem>& problems);

}  // namespace quillet

#endif  // QUILLET_VIEWS_RECORD_PARSER_H_
