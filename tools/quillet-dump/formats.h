#ifndef QUILLET_TOOLS_DUMP_FORMATS_H_
#define QUILLET_TOOLS_DUMP_FORMATS_H_

#include <quillet/quillet.h>

#include <string>
#include <vector>

namespace quillet_dump {

enum class Format { kMrk, kLine, kJson };

// The fields of a record to print, in field-map order. When the directory is
// damaged, the fields parsed before the damage are returned and `error` gets
// the library's message; otherwise `error` is left empty.
struct FieldSelection {
  std::vector<std::pair<quillet::FieldTag, quillet::Field*>> fields;
  std::string error;
};

// All fields when `tags` is empty; otherwise only fields with those tags
// (each three bytes), looked up in the field map, in ascending tag order.
FieldSelection SelectFields(quillet::Record& rec, const std::vector<std::string>& tags);

// Appends one record in `format` (with its trailing blank line or newline).
// Never throws MrcException: only the leader and `fields` are read.
void AppendRecord(Format format, const quillet::Record& rec, const FieldSelection& selection,
                  std::string& out);

// Appends `size` bytes as the body of a JSON string: quotes, backslashes and
// control characters escaped, bytes that are not well-formed UTF-8 replaced
// by U+FFFD, so the output is valid JSON whatever the input.
void AppendJsonText(const char* data, std::size_t size, std::string& out);

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_FORMATS_H_
