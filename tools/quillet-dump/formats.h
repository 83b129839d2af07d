#ifndef QUILLET_TOOLS_DUMP_FORMATS_H_
#define QUILLET_TOOLS_DUMP_FORMATS_H_

#include <quillet/view.h>

#include <string>
#include <string_view>
#include <vector>

namespace quillet_dump {

enum class Format { kMrk, kLine, kJson };

// Which fields to print: all, or those whose tag matches one of the
// patterns (245, 6XX, 6..).
struct TagFilter {
  std::vector<std::string> patterns;
  bool Selects(const quillet::FieldView& f) const {
    if (patterns.empty()) return true;
    for (const std::string& p : patterns) {
      if (f.matches(p)) return true;
    }
    return false;
  }
};

// Appends one record in `format`, fields in directory order, with its
// trailing blank line (mrk, line) or newline (json). Control or data field
// by tag; a data field's bytes before its first delimiter, if any, are
// printed after the indicators (mrk, line) or as a subfield with an empty
// code (json), so nothing is lost.
void AppendRecord(Format format, const quillet::RecordView& rec, const TagFilter& filter,
                  std::string& out);

// Appends bytes for a line-oriented format: each byte below 0x20 and 0x7F
// as {0xHH}, '{' as {lcub}, so no value can break or forge a line. In mrk,
// also '$' as {dollar}.
void AppendEscaped(std::string_view bytes, bool mrk, std::string& out);

// Appends bytes as the body of a JSON string: quotes, backslashes and
// control characters escaped, bytes that are not well-formed UTF-8 replaced
// by U+FFFD, so the output is valid JSON whatever the input.
void AppendJsonText(std::string_view bytes, std::string& out);

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_FORMATS_H_
