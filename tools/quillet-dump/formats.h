#ifndef QUILLET_TOOLS_DUMP_FORMATS_H_
#define QUILLET_TOOLS_DUMP_FORMATS_H_

#include <quillet/marc8.h>
#include <quillet/view.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillet_dump {

enum class Format { kMrk, kLine, kJson, kXml, kMarc };

// What MARCXML output starts and ends with: the XML declaration and the
// collection element, once around all records of a run.
extern const char kXmlHeader[];
extern const char kXmlFooter[];

// How a record's text is read: by leader/09 and the bytes (auto), as MARC-8,
// as UTF-8, or not at all (raw: the bytes as they are).
enum class Charset { kAuto, kMarc8, kUtf8, kRaw };

// Turns a record's text into UTF-8, piece by piece, for the formats: MARC-8
// decoded (escape sequences carry from one subfield to the next within a
// field), UTF-8 checked (bytes that are not become U+FFFD), optionally
// composed to NFC. Reuses its buffers; one record at a time.
class TextConverter {
 public:
  TextConverter(Charset charset, bool nfc) : charset_(charset), nfc_(nfc) {}

  // Decides how `rec` is read; its problems start empty.
  void StartRecord(const quillet::RecordView& rec);
  // At the start of each field: MARC-8 designations end with the field.
  void StartField() { marc8_.reset(); }
  // The text of `raw` (bytes of the record), valid until the next call.
  std::string_view Convert(std::string_view raw);
  // Bytes that are no text (leader, tags, indicators, codes): as they are,
  // but for bytes that are not UTF-8, which become U+FFFD unless the text is
  // raw. Valid until the next call.
  std::string_view Plain(std::string_view raw);

  // Whether the text comes out as UTF-8 (every charset but raw).
  bool ToUtf8() const { return charset_ != Charset::kRaw; }
  // The encoding the record was read with, and whether its leader says otherwise.
  const quillet::EncodingGuess& guess() const { return guess_; }
  // What could not be decoded in the record so far.
  const std::vector<quillet::TextProblem>& problems() const { return problems_; }

 private:
  Charset charset_;
  bool nfc_;
  quillet::EncodingGuess guess_{quillet::Encoding::kUtf8, false, false};
  const char* record_ = nullptr;  // the record's first byte, for offsets
  std::uint64_t offset_ = 0;      // the record's offset in the input
  quillet::Marc8Decoder marc8_;
  std::string text_;
  std::string plain_;
  std::vector<quillet::TextProblem> problems_;
};

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
// The leader's position 9 is written `a` when the text comes out as UTF-8,
// so that the output describes its own encoding. MARCXML puts control fields
// before data fields, as its schema wants, each in directory order; text is
// always UTF-8 there, and characters XML 1.0 forbids (controls other than
// tab, line feed and carriage return) become U+FFFD. Returns how many were
// replaced. ISO 2709 (kMarc) is the record's bytes as read when it was
// neither repaired nor converted nor cut down to some tags; otherwise it is
// written anew (std::length_error when its lengths do not fit the format).
std::size_t AppendRecord(Format format, const quillet::RecordView& rec, const TagFilter& filter,
                         TextConverter& text, TextBuffer& out);

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
