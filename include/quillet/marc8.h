#ifndef QUILLET_MARC8_H_
#define QUILLET_MARC8_H_

/// @file
/// MARC-8 to UTF-8 and back, and the choice of a record's encoding.
///
/// Records whose leader/09 is blank are in MARC-8: ASCII and the Extended
/// Latin set (ANSEL) by default, other sets designated by escape sequences,
/// diacritics written before the letter they go on. quillet::Marc8Decoder
/// turns such bytes into UTF-8 with the marks after their letters; a code
/// with no mapping, an unknown escape sequence or a character cut short
/// becomes U+FFFD and a quillet::TextProblem, and the text after it is
/// decoded as usual. Nothing here throws for bad input.
///
/// @code
///   quillet::Marc8Decoder decoder;
///   std::string text;
///   decoder.reset();                       // at the start of each field
///   for (quillet::SubfieldView s : field.subfields()) {
///     text.clear();
///     decoder.decode(s.value(), text);     // escapes carry across subfields
///   }
/// @endcode
///
/// quillet::Marc8Encoder goes the other way, for systems that load MARC-8
/// only: each piece of a field's text in, MARC-8 out, the marks moved back
/// before their letters, and what MARC-8 cannot hold written as `&#xXXXX;`.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/export.h"

namespace quillet {

class RecordView;

/// Something in a field's text that could not be decoded as it stands.
/// A plain value.
struct QUILLET_EXPORT TextProblem {
  /// What was found.
  enum class Kind : std::uint8_t {
    kUnmapped,       ///< a MARC-8 code with no character in its set
    kUnknownEscape,  ///< an escape sequence that designates no known set
    kCutShort,       ///< a multi-byte character cut short by the end of the text
    kInvalidUtf8,    ///< bytes that are not well-formed UTF-8
  };
  /// What was found.
  Kind kind;
  /// Offset of the first byte concerned, counted from the start of the text
  /// decoded (plus the `offset` given to the decoding call).
  std::uint64_t offset;
  /// The bytes concerned (at most four).
  unsigned char bytes[4];
  /// How many of `bytes` are used.
  std::uint8_t size;

  /// The fixed English message of the kind.
  const char* message() const noexcept;
  /// The message with the offset and the bytes in hex:
  /// "MARC-8 code without a character at byte 12: 0xA0".
  std::string describe() const;
};

/// Decodes MARC-8 text to UTF-8.
///
/// Holds the designated character sets, which carry over from one decode()
/// to the next until reset(): MARC-8 designations last to the end of the
/// field. A plain value; one thread at a time per decoder.
class QUILLET_EXPORT Marc8Decoder {
 public:
  /// A decoder with the default sets: Basic Latin in G0, Extended Latin in G1.
  Marc8Decoder() { reset(); }
  /// Back to the default sets, as at the start of a field.
  void reset() noexcept;

  /// Appends the UTF-8 of the MARC-8 `text` to `out`, each combining mark
  /// after the character it precedes in MARC-8 (marks left at the end of the
  /// text are appended as they are). Problems, if `problems` is given, are
  /// appended with offsets counted from `offset`.
  void decode(std::string_view text, std::string& out, std::vector<TextProblem>* problems = nullptr,
              std::uint64_t offset = 0);

 private:
  const std::uint32_t* g0_;  // one-byte set in G0, or null for EACC
  const std::uint32_t* g1_;  // one-byte set in G1, or null for EACC
};

/// Encodes UTF-8 text to MARC-8.
///
/// Text is taken a character and the combining marks after it at a time;
/// a character MARC-8 holds as it is is written so (U+01A0 as Extended
/// Latin 0xAC), otherwise its canonical decomposition when MARC-8 holds
/// every part of it (U+00E9 as the acute 0xE2 and `e`), each mark before
/// the character it goes on. A base letter and marks that make one of
/// MARC-8's own letters are written as that letter (U+0418 U+0306 as the
/// Cyrillic U+0419). Anything else is written as a numeric character
/// reference, `&#x` and at least four uppercase hex digits and `;`, the
/// lossless convention for MARC-8: a character with its marks, a mark
/// MARC-8 lacks (after its letter), a mark at the start of a piece with
/// text after it (it would go on that text), ESC (it would start an escape
/// sequence). Bytes that are not well-formed UTF-8 are U+FFFD, which MARC-8
/// lacks: `&#xFFFD;`, and a TextProblem::Kind::kInvalidUtf8. Other controls
/// (the delimiters among them) pass as they are.
///
/// Sets are designated only when a character needs one: a character stays
/// in a set designated already if that set holds it (digits in Cyrillic
/// text), otherwise it takes the first set of the code tables that holds it
/// (Basic Latin, Extended Latin, Greek symbols, subscripts, superscripts,
/// Hebrew, Cyrillic, extended Cyrillic, Arabic, extended Arabic, Greek,
/// EACC), in its usual place: the extended Cyrillic and Arabic sets in G1,
/// the others in G0 (Greek symbols, subscripts and superscripts by their
/// short escapes ESC g, ESC b, ESC p, left by ESC s). A space leaves EACC
/// for Basic Latin, as records of cataloguing systems do, since readers may
/// take EACC three bytes at a time. Where EACC gives one character several
/// codes the lowest is written, but for the ideographic space, 0x212321 as
/// the East Asian standard has it rather than 0x212320; alternate Unicode values the code tables
/// give (U+FE20 for Extended Latin 0xEB) are read as their character.
///
/// Designations last from one encode() to the next, as the decoder reads
/// them; finish() brings back the defaults (Basic Latin in G0, Extended
/// Latin in G1) and must end every field, so that the next one starts
/// clean. Calling it after each subfield too makes every subfield stand
/// alone, as records of cataloguing systems have it, for readers that
/// start each subfield with the defaults.
///
/// @code
///   quillet::Marc8Encoder encoder;
///   for (const std::string& value : values) {   // the subfields of a field
///     encoder.encode(value, out);
///     encoder.finish(out);                        // at least after the last
///   }
/// @endcode
///
/// A plain value; one thread at a time per encoder.
class QUILLET_EXPORT Marc8Encoder {
 public:
  /// An encoder with the default sets designated.
  Marc8Encoder() { reset(); }
  /// Takes the default sets as designated, writing nothing: for a field
  /// started afresh after one left unfinished.
  void reset() noexcept;

  /// Appends the MARC-8 of the UTF-8 `text` to `out`. Returns how many
  /// characters were written as references. Bytes that are not UTF-8 are
  /// reported in `problems`, if given, with offsets counted from `offset`.
  std::size_t encode(std::string_view text, std::string& out,
                     std::vector<TextProblem>* problems = nullptr, std::uint64_t offset = 0);

  /// Appends the escape sequences that bring back the default sets, if
  /// another is designated: ESC ( B (ESC s after a short escape) for G0,
  /// ESC ) ! E for G1.
  void finish(std::string& out);

 private:
  std::uint8_t g0_;             // index of the set designated in G0
  std::uint8_t g1_;             // index of the set designated in G1
  std::vector<char32_t> text_;  // the code points of the text being encoded
};

/// Appends `text` to `out` when it is well-formed UTF-8; each byte that
/// starts no well-formed sequence becomes U+FFFD and, if `problems` is
/// given, a TextProblem::Kind::kInvalidUtf8 at `offset` plus its position.
QUILLET_EXPORT void appendUtf8(std::string_view text, std::string& out,
                               std::vector<TextProblem>* problems = nullptr,
                               std::uint64_t offset = 0);

/// True when `text` is well-formed UTF-8.
QUILLET_EXPORT bool isUtf8(std::string_view text) noexcept;

/// The length of the well-formed UTF-8 sequence that `text` starts with
/// (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF), or
/// 0 when it starts with none (or is empty).
QUILLET_EXPORT std::size_t utf8SequenceLength(std::string_view text) noexcept;

/// Composes `text`, UTF-8, to Unicode normalization form C in place.
QUILLET_EXPORT void composeNfc(std::string& text);

/// How a record's text is encoded.
enum class Encoding : std::uint8_t {
  kUtf8,   ///< leader/09 `a`
  kMarc8,  ///< leader/09 blank
};

/// The encoding a record's bytes are in.
struct QUILLET_EXPORT EncodingGuess {
  /// The encoding the text is decoded with.
  Encoding encoding;
  /// True when the leader says otherwise (then `encoding` follows the bytes).
  bool leader_disagrees;
  /// True when `encoding` is UTF-8, every field's data is well-formed UTF-8
  /// and every indicator and subfield code is ASCII, so that each
  /// text taken from the record (control field, subfield value) is
  /// well-formed and needs no further check.
  bool well_formed;

  /// When the leader disagrees, the words for it: "leader/09 says MARC-8,
  /// but the data is UTF-8; read as UTF-8" or the converse. Null otherwise.
  const char* disagreement() const noexcept;
};

/// Decides a record's encoding: leader/09 `a` means UTF-8, anything else
/// MARC-8, except where the bytes say otherwise. A record marked MARC-8 that
/// holds no escape sequence and whose data is well-formed UTF-8 with at least
/// one multi-byte sequence is UTF-8; a record marked UTF-8 whose data is not
/// well-formed UTF-8 but holds an escape sequence or MARC-8 diacritics
/// before letters is MARC-8. Only the fields' data is looked at.
QUILLET_EXPORT EncodingGuess guessEncoding(const RecordView& rec) noexcept;

}  // namespace quillet

#endif  // QUILLET_MARC8_H_
