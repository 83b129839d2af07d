#ifndef QUILLET_FORMATS_ESCAPES_H_
#define QUILLET_FORMATS_ESCAPES_H_

// The escapes of the text formats, each written once, for the writers (and
// the readers that undo them). Each writes at q, into room the caller asked
// of an OutputBuffer, and returns the new end: the writers reserve room for
// a whole field at once, so that nothing here checks for space or calls per
// byte. Runs of ordinary bytes are copied eight at a time.
//
// Internal; stateless, usable from any thread.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/word_scan.h"
#include "quillet/marc8.h"
#include "quillet/view.h"

namespace quillet {
namespace escapes {

// The most a byte becomes: {dollar} in mnemonic text, \u00XX in JSON.
constexpr std::size_t kMaxEscape = 8;
// The most bytes of UTF-8 one byte of a record becomes: a MARC-8 byte that
// maps to a character outside the BMP, or U+FFFD for any byte. NFC may
// compose but never lengthens by more than that here.
constexpr std::size_t kMaxText = 4;
// Room for the punctuation around a field or subfield.
constexpr std::size_t kPunctuation = 48;

// Room for a field in any format: every byte decoded and escaped to the
// most, and punctuation for the field and for each subfield (at most one
// per byte).
inline std::size_t FieldRoom(const FieldView& f) {
  return (kMaxText * kMaxEscape + kPunctuation) * f.data().size() + 2 * kPunctuation;
}
// Room for a leader, or any other piece taken as it is.
inline std::size_t PieceRoom(std::string_view s) { return kMaxEscape * s.size() + kPunctuation; }

inline char* Put(char* q, std::string_view s) {
  if (!s.empty()) std::memcpy(q, s.data(), s.size());  // an empty view may hold null
  return q + s.size();
}

// Copies the well-formed UTF-8 sequence at data[i] to q and steps past it;
// a byte that starts no sequence becomes U+FFFD on its own.
inline char* CopyUtf8Sequence(char* q, const char* data, std::size_t size, std::size_t& i) {
  const std::size_t len = utf8SequenceLength(std::string_view(data + i, size - i));
  if (len == 0) {
    ++i;
    return Put(q, "\xEF\xBF\xBD");
  }
  std::memcpy(q, data + i, len);
  i += len;
  return q + len;
}

// Line and mnemonic text: each byte below 0x20 and 0x7F as {0xHH}, '{' as
// {lcub}, and in mnemonic text (`mrk`) '$' as {dollar}.
inline char* LineText(char* q, std::string_view bytes, bool mrk) {
  using namespace word_scan;
  static const char kHex[] = "0123456789ABCDEF";
  const char* const data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    while (size - i >= 8) {
      const std::uint64_t x = Load8(data + i);
      if (AnyBelow(x, 0x20) || AnyEqual(x, 0x7F) || AnyEqual(x, '{') || (mrk && AnyEqual(x, '$'))) {
        break;
      }
      std::memcpy(q, data + i, 8);
      q += 8;
      i += 8;
    }
    if (i == size) break;
    const unsigned char c = static_cast<unsigned char>(data[i++]);
    if (c == '{') {
      q = Put(q, "{lcub}");
    } else if (mrk && c == '$') {
      q = Put(q, "{dollar}");
    } else if (c < 0x20 || c == 0x7F) {
      q = Put(q, "{0x");
      *q++ = kHex[c >> 4];
      *q++ = kHex[c & 15];
      *q++ = '}';
    } else {
      *q++ = static_cast<char>(c);
    }
  }
  return q;
}

// Mnemonic text of control fields and indicators: blanks as backslashes, a
// backslash itself then as {bsol}, the rest as LineText() writes it.
inline char* MnemonicBlanks(char* q, std::string_view bytes) {
  for (const char c : bytes) {
    if (c == ' ') {
      *q++ = '\\';
    } else if (c == '\\') {
      q = Put(q, "{bsol}");
    } else {
      q = LineText(q, std::string_view(&c, 1), true);
    }
  }
  return q;
}

// The body of a JSON string. Text known to be well-formed UTF-8 (`utf8`) is
// copied without checking it again; otherwise bytes that are not UTF-8
// become U+FFFD.
inline char* JsonText(char* q, std::string_view bytes, bool utf8 = false) {
  using namespace word_scan;
  static const char kLowHex[] = "0123456789abcdef";
  const char* const data = bytes.data();
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(data);
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    while (size - i >= 8) {  // plain text, eight bytes at a time
      const std::uint64_t x = Load8(data + i);
      if ((!utf8 && AnyHigh(x)) || AnyBelow(x, 0x20) || AnyEqual(x, '"') || AnyEqual(x, '\\')) {
        break;
      }
      std::memcpy(q, data + i, 8);
      q += 8;
      i += 8;
    }
    if (i == size) break;
    const unsigned char b = p[i];
    if (b >= 0x80 && utf8) {
      *q++ = static_cast<char>(b);
      ++i;
      continue;
    }
    if (b >= 0x80) {
      q = CopyUtf8Sequence(q, data, size, i);
      continue;
    }
    ++i;
    if (b >= 0x20 && b != '"' && b != '\\') {
      *q++ = static_cast<char>(b);
      continue;
    }
    *q++ = '\\';
    switch (b) {
      case '"': *q++ = '"'; break;
      case '\\': *q++ = '\\'; break;
      case '\n': *q++ = 'n'; break;
      case '\r': *q++ = 'r'; break;
      case '\t': *q++ = 't'; break;
      case '\b': *q++ = 'b'; break;
      case '\f': *q++ = 'f'; break;
      default:
        q = Put(q, "u00");
        *q++ = kLowHex[b >> 4];
        *q++ = kLowHex[b & 15];
    }
  }
  return q;
}

// A JSON string, quotes included.
inline char* JsonString(char* q, std::string_view bytes, bool utf8 = false) {
  *q++ = '"';
  // Tags, codes and indicators: a few plain characters, copied straight.
  bool plain = bytes.size() <= 3;
  for (std::size_t i = 0; plain && i < bytes.size(); ++i) {
    const char c = bytes[i];
    plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
  }
  q = plain ? Put(q, bytes) : JsonText(q, bytes, utf8);
  *q++ = '"';
  return q;
}

// XML character data or an attribute value: markup characters as entities,
// forbidden control characters and bytes that are not UTF-8 (unless the
// text is known to be, `utf8`) as U+FFFD, counting the controls in
// `replaced`.
inline char* XmlText(char* q, std::string_view bytes, bool utf8, std::size_t* replaced) {
  using namespace word_scan;
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    while (size - i >= 8) {  // plain text, eight bytes at a time
      const std::uint64_t x = Load8(bytes.data() + i);
      if ((!utf8 && AnyHigh(x)) || AnyBelow(x, 0x20) || AnyEqual(x, '&') || AnyEqual(x, '<') ||
          AnyEqual(x, '>') || AnyEqual(x, '"')) {
        break;
      }
      std::memcpy(q, bytes.data() + i, 8);
      q += 8;
      i += 8;
    }
    if (i == size) break;
    const unsigned char b = p[i];
    if (b >= 0x80 && !utf8) {
      q = CopyUtf8Sequence(q, bytes.data(), size, i);
      continue;
    }
    ++i;
    switch (b) {
      case '&': q = Put(q, "&amp;"); break;
      case '<': q = Put(q, "&lt;"); break;
      case '>': q = Put(q, "&gt;"); break;
      case '"': q = Put(q, "&quot;"); break;
      // As references, so that parsers keep them as they are (a parser turns
      // a carriage return into a line feed, and both into blanks in attributes).
      case '\t': q = Put(q, "&#9;"); break;
      case '\n': q = Put(q, "&#10;"); break;
      case '\r': q = Put(q, "&#13;"); break;
      default:
        if (b < 0x20) {
          q = Put(q, "\xEF\xBF\xBD");
          ++*replaced;
        } else {
          *q++ = static_cast<char>(b);
        }
    }
  }
  return q;
}

// Appends `bytes` to `out` as `escape` (one of the above, bound to its
// options) writes them.
template <typename Escape>
void AppendEscaped(std::string_view bytes, std::string& out, Escape escape) {
  const std::size_t at = out.size();
  out.resize(at + kMaxEscape * bytes.size());
  out.resize(static_cast<std::size_t>(escape(&out[at], bytes) - out.data()));
}

}  // namespace escapes
}  // namespace quillet

#endif  // QUILLET_FORMATS_ESCAPES_H_
