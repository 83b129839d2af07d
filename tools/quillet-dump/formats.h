#ifndef QUILLET_TOOLS_DUMP_FORMATS_H_
#define QUILLET_TOOLS_DUMP_FORMATS_H_

#include <quillet/view.h>

#include <cstddef>
#include <memory>
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

// Bytes of output. Formatting asks for room for as much as a piece can
// need, writes through a pointer and commits what it wrote: no check or
// call per byte, and no zero-filling of the room.
class TextBuffer {
 public:
  // At least `n` writable bytes at the end of the buffer.
  char* Room(std::size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_.get() + size_;
  }
  // The buffer now ends at `end`, a pointer into the last Room().
  void Commit(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }
  void Append(std::string_view s);
  std::string_view view() const { return std::string_view(data_.get(), size_); }
  std::size_t size() const { return size_; }
  void clear() { size_ = 0; }

 private:
  void Grow(std::size_t n);
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Appends one record in `format`, fields in directory order, with its
// trailing blank line (mrk, line) or newline (json). Control or data field
// by tag; a data field's bytes before its first delimiter, if any, are
// printed after the indicators (mrk, line) or as a subfield with an empty
// code (json), so nothing is lost.
void AppendRecord(Format format, const quillet::RecordView& rec, const TagFilter& filter,
                  TextBuffer& out);

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
