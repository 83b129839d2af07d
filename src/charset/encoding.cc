#include <cstring>

#include "charset/utf8.h"
#include "common/word_scan.h"
#include "quillet/iso2709.h"
#include "quillet/marc8.h"
#include "quillet/view.h"

namespace quillet {

namespace {

// What the bytes of a record's fields look like.
struct TextShape {
  bool escape = false;     // an ESC: MARC-8 designates a set
  bool multibyte = false;  // a well-formed UTF-8 sequence of two bytes or more
  bool invalid = false;    // a byte that starts no well-formed UTF-8 sequence
  bool diacritic = false;  // a MARC-8 combining mark (0xE0-0xFE) before a letter
  bool split = false;      // an indicator or subfield code that is not ASCII: the
                           // pieces of text may not be well-formed, though the field is
};

// Looks until `enough` says the answer cannot change.
template <typename Enough>
TextShape LookAtText(const RecordView& rec, Enough enough) {
  TextShape shape;
  for (const FieldView& f : rec.fields()) {
    const std::string_view data = f.data();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    for (const char c : f.indicators()) shape.split = shape.split || (c & 0x80) != 0;
    for (std::size_t i = 0; i < data.size();) {
      if (data.size() - i >= 8) {  // eight ASCII bytes without an ESC at a time
        const std::uint64_t w = word_scan::Load8(p + i);
        if ((word_scan::EqualBits(w, 0x1B) | word_scan::HighBits(w)) == 0) {
          i += 8;
          continue;
        }
      }
      const unsigned char b = p[i];
      if (b < 0x80) {
        shape.escape = shape.escape || b == 0x1B;
        ++i;
        continue;
      }
      const std::size_t len = Utf8SequenceLength(p + i, data.size() - i);
      if (i > 0 && p[i - 1] == iso2709::kSubfieldDelimiter && !f.isControl()) shape.split = true;
      if (b >= 0xE0 && b <= 0xFE && i + 1 < data.size() &&
          ((p[i + 1] | 0x20) >= 'a' && (p[i + 1] | 0x20) <= 'z')) {
        shape.diacritic = true;
      }
      if (len == 0) {
        shape.invalid = true;
        ++i;
      } else {
        shape.multibyte = true;
        i += len;
      }
      if (enough(shape)) return shape;
    }
  }
  return shape;
}

}  // namespace

const char* EncodingGuess::disagreement() const noexcept {
  if (!leader_disagrees) return nullptr;
  return encoding == Encoding::kUtf8
             ? "leader/09 says MARC-8, but the data is UTF-8; read as UTF-8"
             : "leader/09 says UTF-8, but the data is MARC-8; read as MARC-8";
}

EncodingGuess guessEncoding(const RecordView& rec) noexcept {
  const std::string_view leader = rec.leader();
  const bool marked_utf8 = leader.size() > iso2709::kCharacterCodingOffset &&
                           leader[iso2709::kCharacterCodingOffset] == iso2709::kUnicodeCoding;
  if (marked_utf8) {
    const TextShape shape =
        LookAtText(rec, [](const TextShape& s) { return s.invalid && (s.escape || s.diacritic); });
    if (shape.invalid && (shape.escape || shape.diacritic)) return {Encoding::kMarc8, true, false};
    return {Encoding::kUtf8, false, !shape.invalid && !shape.split};
  }
  const TextShape shape = LookAtText(rec, [](const TextShape& s) { return s.escape || s.invalid; });
  if (!shape.escape && !shape.invalid && shape.multibyte) {
    return {Encoding::kUtf8, true, !shape.split};
  }
  return {Encoding::kMarc8, false, false};
}

}  // namespace quillet
