#ifndef QUILLET_FORMATS_H_
#define QUILLET_FORMATS_H_

/// @file
/// Writing records in the formats users exchange: mnemonic text (=LDR,
/// =245  10$a...), line text, MARC-in-JSON, MARCXML and ISO 2709. Each
/// format's shape and escapes are written once, here; the text of a record
/// comes from a quillet::RecordText, so every format reads a record's
/// encoding the same way.
///
/// @code
///   quillet::RecordText text;
///   quillet::OutputBuffer out;
///   out.append(quillet::kMarcXmlHeader);
///   while (reader.next(rec)) {
///     text.start(rec);
///     quillet::writeMarcXml(rec, text, out);
///   }
///   out.append(quillet::kMarcXmlFooter);
/// @endcode
///
/// Every writer appends to a caller's OutputBuffer, never reads outside the
/// record, and writes what the record holds whatever its damage: fields in
/// directory order (MARCXML: control fields first, as its schema wants),
/// empty subfields, and the bytes of a data field before its first
/// delimiter (as a subfield with an empty code in JSON and MARCXML).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillet/export.h"

namespace quillet {

class FieldView;
class RecordText;
class RecordView;

/// The formats records are written in.
enum class Format : std::uint8_t {
  kMnemonic,  ///< mnemonic text: "=LDR  ...", "=245  10$aTitle", a blank line after each record
  kLine,      ///< line text: "245 10 $a Title", a blank line after each record
  kJson,      ///< MARC-in-JSON, one record per line (JSON Lines)
  kMarcXml,   ///< MARCXML record elements, to go between kMarcXmlHeader and kMarcXmlFooter
  kIso2709,   ///< the exchange format
};

/// What MARCXML output starts with: the XML declaration and the opening of
/// the collection element, once before all records.
QUILLET_EXPORT extern const char kMarcXmlHeader[];
/// What MARCXML output ends with: the end of the collection element.
QUILLET_EXPORT extern const char kMarcXmlFooter[];

/// Bytes of output, appended to. A writer asks for room for as much as a
/// piece can need, writes through a pointer and commits what it wrote: no
/// check or call per byte, and no zero-filling of the room.
///
/// Owns its bytes. Movable, not copyable; one thread at a time.
class QUILLET_EXPORT OutputBuffer {
 public:
  /// An empty buffer; it allocates when first written to.
  OutputBuffer() = default;
  /// Takes over the other's bytes; the other is left empty.
  OutputBuffer(OutputBuffer&& other) noexcept { *this = std::move(other); }
  /// Takes over the other's bytes; the other is left empty.
  OutputBuffer& operator=(OutputBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.size_ = other.capacity_ = 0;
    return *this;
  }

  /// At least `n` writable bytes at the end of the buffer; valid until the
  /// next call that adds bytes.
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_.get() + size_;
  }
  /// The buffer now ends at `end`, a pointer into the last room().
  void commit(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }
  /// Appends `bytes`.
  void append(std::string_view bytes);

  /// The bytes written so far.
  std::string_view view() const { return std::string_view(data_.get(), size_); }
  /// How many bytes were written.
  std::size_t size() const { return size_; }
  /// Forgets the bytes, keeping the room.
  void clear() { size_ = 0; }

 private:
  void grow(std::size_t n);
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

/// Which fields a writer writes: every field, or those whose tag matches one
/// of the patterns (245, 6XX, 6..; see tagMatches()). A plain value.
class QUILLET_EXPORT TagFilter {
 public:
  /// Every field.
  TagFilter() = default;
  /// The fields whose tag matches one of `patterns`; every field when there
  /// is none.
  explicit TagFilter(std::vector<std::string> patterns) : patterns_(std::move(patterns)) {}
  /// Whether `field` is written.
  bool selects(const FieldView& field) const;
  /// True when every field is written.
  bool all() const { return patterns_.empty(); }
  /// The patterns given.
  const std::vector<std::string>& patterns() const { return patterns_; }

 private:
  std::vector<std::string> patterns_;
};

// The writers. Each appends one record to `out`, reading its text through
// `text`, which must have been start()ed on `rec`; the problems of decoding
// it are then in text.problems().

/// Mnemonic text: "=LDR  " and the leader, then a line per field, "=TAG  "
/// and the field (control fields and indicators with blanks as `\`), then a
/// blank line. Bytes below 0x20 and 0x7F are written {0xHH}, '{' {lcub},
/// '$' {dollar}, a backslash in control fields and indicators {bsol}, so
/// that every record reads back.
QUILLET_EXPORT void writeMnemonic(const RecordView& rec, RecordText& text, OutputBuffer& out,
                                  const TagFilter& filter = TagFilter());
/// One field as writeMnemonic() writes it, without its line end. Starts the
/// field in `text`.
QUILLET_EXPORT void writeMnemonicField(const FieldView& field, RecordText& text, OutputBuffer& out);

/// Line text: the leader on a line, then a line per field ("245 10 $a
/// Title $c Author"), then a blank line; bytes below 0x20 and 0x7F as
/// {0xHH}, '{' as {lcub}.
QUILLET_EXPORT void writeLine(const RecordView& rec, RecordText& text, OutputBuffer& out,
                              const TagFilter& filter = TagFilter());

/// MARC-in-JSON on one line: {"leader":...,"fields":[{"001":"..."},
/// {"245":{"ind1":"1","ind2":"0","subfields":[{"a":"..."}]}}]}. Always valid
/// JSON: bytes that are not UTF-8 become U+FFFD.
QUILLET_EXPORT void writeJson(const RecordView& rec, RecordText& text, OutputBuffer& out,
                              const TagFilter& filter = TagFilter());

/// A MARCXML record element. Text is UTF-8; characters XML 1.0 forbids
/// (controls other than tab, line feed and carriage return) become U+FFFD.
/// Returns how many were replaced.
QUILLET_EXPORT std::size_t writeMarcXml(const RecordView& rec, RecordText& text, OutputBuffer& out,
                                        const TagFilter& filter = TagFilter());

/// The character set writeIso2709() writes text in.
enum class OutputCharset : std::uint8_t {
  kText,   ///< as the RecordText gives it: UTF-8 (leader/09 `a`), or the bytes as read when raw
  kMarc8,  ///< MARC-8 (leader/09 blank); characters it lacks as references `&#xXXXX;`
};

/// ISO 2709: the record's bytes as read when they need no change (not
/// repaired, every field written, some field, the text already in the
/// character set asked for, a UTF-8 leader all ASCII); otherwise the record
/// written anew, with its text as `text` gives it, encoded as `charset`
/// says, and leader/09 saying which. A record written anew has two
/// indicators and one-byte codes, and leader/10-11 `22`, whatever its input
/// said (indicators past the second stay before the first delimiter, a
/// missing one is a blank, the bytes of a longer code stay at the front of
/// the value, subfields of a record whose leader/11 says codes of no byte
/// get `?`); one of no field gets a data area of one field terminator.
/// Written as UTF-8, a byte of its leader, indicators or codes that is not
/// ASCII, and so no UTF-8 on its own, becomes a blank (a code `?`). Raw text (Charset::kRaw) is
/// written as read whatever `charset` says. Returns how many characters MARC-8 lacks were written
/// as references; for UTF-8, how many bytes of the leader, indicators and codes were replaced.
/// @throws std::length_error when a field or the record is too long for the
/// format's lengths (nothing is appended then).
QUILLET_EXPORT std::size_t writeIso2709(const RecordView& rec, RecordText& text, OutputBuffer& out,
                                        const TagFilter& filter = TagFilter(),
                                        OutputCharset charset = OutputCharset::kText);

/// The writer of `format` (`charset` for ISO 2709 only). Returns the
/// characters MARCXML replaced or MARC-8 wrote as references (0 for the
/// other formats).
/// @throws std::length_error as writeIso2709().
QUILLET_EXPORT std::size_t writeRecord(Format format, const RecordView& rec, RecordText& text,
                                       OutputBuffer& out, const TagFilter& filter = TagFilter(),
                                       OutputCharset charset = OutputCharset::kText);

/// Appends `bytes` escaped as line text writes them: each byte below 0x20
/// and 0x7F as {0xHH}, '{' as {lcub}; so no value can break or forge a line.
QUILLET_EXPORT void appendLineText(std::string_view bytes, std::string& out);
/// Appends `bytes` escaped as mnemonic text writes values: as line text,
/// and '$' as {dollar}.
QUILLET_EXPORT void appendMnemonicText(std::string_view bytes, std::string& out);
/// Appends `bytes` as the body of a JSON string: quotes, backslashes and
/// control characters escaped, bytes that are not well-formed UTF-8 as
/// U+FFFD.
QUILLET_EXPORT void appendJsonText(std::string_view bytes, std::string& out);

}  // namespace quillet

#endif  // QUILLET_FORMATS_H_
