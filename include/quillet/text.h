#ifndef QUILLET_TEXT_H_
#define QUILLET_TEXT_H_

/// @file
/// A record's text as UTF-8: the one place that decides how a record's
/// bytes are read (MARC-8 or UTF-8, by leader/09 and the bytes, or as the
/// caller says) and turns its leader, tags, indicators, codes and values
/// into text, collecting what cannot be decoded.
///
/// @code
///   quillet::RecordText text({quillet::Charset::kAuto, false});
///   text.start(rec);
///   for (quillet::FieldView f : rec.fields("245")) {
///     text.startField();
///     for (quillet::SubfieldView s : f.subfields())
///       std::cout << text.plain(quillet::subfieldCode(s)) << ' ' << text.text(s.value()) << '\n';
///   }
///   for (const quillet::TextProblem& p : text.problems()) std::cerr << p.describe() << '\n';
/// @endcode

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/export.h"
#include "quillet/marc8.h"

namespace quillet {

class FieldView;
class RecordView;
class SubfieldView;

/// How a record's text is read.
enum class Charset : std::uint8_t {
  kAuto,   ///< by leader/09, unless the bytes clearly say otherwise
  kMarc8,  ///< as MARC-8, whatever the leader says
  kUtf8,   ///< as UTF-8, whatever the leader says
  kRaw,    ///< not at all: the bytes as they are
};

/// The charset named `name`: "auto", "marc8" or "marc-8", "utf8" or
/// "utf-8", "raw", in any case (so "UTF-8" and "MARC-8" too). False, and
/// `charset` unchanged, for any other name.
QUILLET_EXPORT bool parseCharset(std::string_view name, Charset* charset) noexcept;

/// The name of `charset` as the tools write it: "auto", "marc8", "utf-8" or
/// "raw".
QUILLET_EXPORT const char* charsetName(Charset charset) noexcept;

/// The words for a charset name parseCharset() refuses, for the user:
/// `unknown charset "x": use auto, marc8, utf-8 or raw`.
QUILLET_EXPORT std::string charsetError(std::string_view name);

/// The bytes of a data field between its indicators and its first subfield
/// delimiter: none in a well-formed field, kept by every format so that
/// nothing is lost. Empty for a control field.
QUILLET_EXPORT std::string_view fieldPrefix(const FieldView& field) noexcept;

/// Indicator `i` (0 or 1) of a data field as one byte: a blank when the
/// field is too short to hold it, as the formats that want one character
/// each write it.
QUILLET_EXPORT std::string_view fieldIndicator(const FieldView& field, std::size_t i) noexcept;

/// A subfield's code as bytes: its one byte, or none for a delimiter with
/// no code after it.
QUILLET_EXPORT std::string_view subfieldCode(const SubfieldView& subfield) noexcept;

/// How text is taken from records.
struct TextOptions {
  /// How the bytes are read.
  Charset charset = Charset::kAuto;
  /// Compose decoded text to Unicode normalization form C.
  bool nfc = false;

  /// Whether text comes out as UTF-8: for every charset but raw.
  bool toUtf8() const { return charset != Charset::kRaw; }
};

/// The encoding `rec` is read with under `charset`: guessEncoding() for
/// auto, the named one otherwise (UTF-8 for raw, whose bytes are not
/// decoded).
QUILLET_EXPORT EncodingGuess decideEncoding(const RecordView& rec, Charset charset) noexcept;

/// Turns one record's bytes into UTF-8 text, piece by piece.
///
/// Values (control field data, subfield values, the bytes before a data
/// field's first delimiter) are decoded by the record's encoding: MARC-8
/// decoded with its designations carried from one piece to the next until
/// startField(), UTF-8 checked (bytes that are not become U+FFFD), then
/// composed to NFC when asked. What cannot be decoded is collected in
/// problems(), with offsets in the input. The other bytes (leader, tags,
/// indicators, codes) are no text in any encoding: plain() keeps them as
/// they are but for bytes that are not UTF-8, which become U+FFFD. With
/// Charset::kRaw every piece comes back as it is.
///
/// The views it returns point into the record or into its own buffers and
/// are valid until the next call that returns a view. Holds a pointer to
/// the record given to start(), which must stay valid while it is used.
/// Reusable from one record to the next without allocating; a plain value;
/// one thread at a time.
class QUILLET_EXPORT RecordText {
 public:
  /// Text taken as `options` say.
  explicit RecordText(TextOptions options = TextOptions()) : options_(options) {}

  /// Decides how `rec` is read and starts its first field; problems() is
  /// emptied.
  void start(const RecordView& rec);
  /// As start(rec), with the encoding decided before (by decideEncoding()
  /// for the same options), for callers that keep it with the record.
  void start(const RecordView& rec, const EncodingGuess& guess);
  /// At the start of each field: MARC-8 designations end with the field.
  void startField() { marc8_.reset(); }

  /// The text of `raw`, a value of the record (`raw` must point into the
  /// record's bytes, for the offsets of problems).
  std::string_view text(std::string_view raw);
  /// Takes `raw` as text() would, for what it does to the decoder's state,
  /// without making its text: for the values a caller skips in a field
  /// whose later values it wants.
  void skip(std::string_view raw);
  /// Bytes that are no text (tags, indicators, codes) as UTF-8: as they are
  /// when they are well-formed UTF-8 or the charset is raw, otherwise with
  /// each byte that is not as U+FFFD.
  std::string_view plain(std::string_view raw);
  /// The leader as the text shows it: as it is, but for position 9, which
  /// reads `a` (UTF-8) when the text comes out as UTF-8. Not made plain().
  std::string_view leader();
  /// Decodes every value of the record in order, for its problems.
  void decodeAll();

  /// The options given.
  const TextOptions& options() const { return options_; }
  /// Whether text comes out as UTF-8 (every charset but raw).
  bool toUtf8() const { return options_.toUtf8(); }
  /// The encoding the record is read with, and whether its leader says
  /// otherwise (only for Charset::kAuto).
  const EncodingGuess& guess() const { return guess_; }
  /// What could not be decoded so far, since start().
  const std::vector<TextProblem>& problems() const { return problems_; }

 private:
  TextOptions options_;
  EncodingGuess guess_{Encoding::kUtf8, false, false};
  const RecordView* record_ = nullptr;
  const char* bytes_ = nullptr;  // the record's first byte, for offsets
  std::uint64_t offset_ = 0;     // the record's offset in its input
  Marc8Decoder marc8_;
  std::string text_;
  std::string plain_;
  std::string leader_;
  std::vector<TextProblem> problems_;
};

}  // namespace quillet

#endif  // QUILLET_TEXT_H_
