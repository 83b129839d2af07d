#include "charset/utf8.h"
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
};

TextShape Look(const RecordView& rec) {
  TextShape shape;
  for (const FieldView& f : rec.fields()) {
    const std::string_view data = f.data();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    for (std::size_t i = 0; i < data.size();) {
      const unsigned char b = p[i];
      if (b < 0x80) {
        shape.escape = shape.escape || b == 0x1B;
        ++i;
        continue;
      }
      const std::size_t len = Utf8SequenceLength(p + i, data.size() - i);
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
    }
  }
  return shape;
}

}  // namespace

EncodingGuess guessEncoding(const RecordView& rec) noexcept {
  const std::string_view leader = rec.leader();
  const bool marked_utf8 = leader.size() > 9 && leader[9] == 'a';
  const TextShape shape = Look(rec);
  if (marked_utf8) {
    if (shape.invalid && (shape.escape || shape.diacritic)) return {Encoding::kMarc8, true};
    return {Encoding::kUtf8, false};
  }
  if (!shape.escape && !shape.invalid && shape.multibyte) return {Encoding::kUtf8, true};
  return {Encoding::kMarc8, false};
}

}  // namespace quillet
