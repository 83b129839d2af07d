#include "formats.h"

#include <cstdint>

namespace quillet_dump {

namespace {

using quillet::FieldView;
using quillet::RecordView;
using quillet::SubfieldView;

constexpr char kHex[] = "0123456789ABCDEF";

// Blanks as backslashes, as the mnemonic format writes control fields and
// indicators; a backslash itself then as {bsol}.
void AppendMnemonicBlanks(std::string_view bytes, std::string& out) {
  for (const char c : bytes) {
    if (c == ' ') {
      out += '\\';
    } else if (c == '\\') {
      out += "{bsol}";
    } else {
      AppendEscaped(std::string_view(&c, 1), true, out);
    }
  }
}

// A subfield's code as text; none for a delimiter with no code after it
// (which the reader reports).
std::string_view Code(const SubfieldView& s) {
  static const struct Bytes {
    char b[256];
    Bytes() {
      for (int i = 0; i < 256; ++i) b[i] = static_cast<char>(i);
    }
  } kBytes;
  const unsigned char c = static_cast<unsigned char>(s.code());
  return c == 0 ? std::string_view() : std::string_view(&kBytes.b[c], 1);
}

// The bytes of a data field between its indicators and its first
// delimiter: none in a well-formed field.
std::string_view Prefix(const FieldView& f) {
  const std::string_view rest = f.data().substr(f.indicators().size());
  return rest.substr(0, rest.find('\x1F'));
}

void AppendMrk(const RecordView& rec, const TagFilter& filter, std::string& out) {
  out += "=LDR  ";
  AppendEscaped(rec.leader(), true, out);
  out += '\n';
  for (const FieldView& f : rec.fields()) {
    if (!filter.Selects(f)) continue;
    out += '=';
    AppendEscaped(f.tag(), true, out);
    out += "  ";
    if (f.isControl()) {
      AppendMnemonicBlanks(f.data(), out);
    } else {
      AppendMnemonicBlanks(f.indicators(), out);
      AppendEscaped(Prefix(f), true, out);
      for (const SubfieldView& s : f.subfields()) {
        out += '$';
        AppendEscaped(Code(s), true, out);
        AppendEscaped(s.value(), true, out);
      }
    }
    out += '\n';
  }
  out += '\n';
}

void AppendLine(const RecordView& rec, const TagFilter& filter, std::string& out) {
  AppendEscaped(rec.leader(), false, out);
  out += '\n';
  for (const FieldView& f : rec.fields()) {
    if (!filter.Selects(f)) continue;
    AppendEscaped(f.tag(), false, out);
    out += ' ';
    if (f.isControl()) {
      AppendEscaped(f.data(), false, out);
    } else {
      AppendEscaped(f.indicators(), false, out);
      AppendEscaped(Prefix(f), false, out);
      for (const SubfieldView& s : f.subfields()) {
        out += " $";
        AppendEscaped(Code(s), false, out);
        out += ' ';
        AppendEscaped(s.value(), false, out);
      }
    }
    out += '\n';
  }
  out += '\n';
}

void AppendJsonString(std::string_view bytes, std::string& out) {
  out += '"';
  AppendJsonText(bytes, out);
  out += '"';
}

// A data field whose indicators are cut short gets blanks for the missing
// ones: consumers of this format expect one character each.
std::string_view Indicator(const FieldView& f, std::size_t i) {
  const std::string_view ind = f.indicators();
  return i < ind.size() ? ind.substr(i, 1) : std::string_view(" ");
}

void AppendJson(const RecordView& rec, const TagFilter& filter, std::string& out) {
  out += "{\"leader\":";
  AppendJsonString(rec.leader(), out);
  out += ",\"fields\":[";
  bool first = true;
  for (const FieldView& f : rec.fields()) {
    if (!filter.Selects(f)) continue;
    if (!first) out += ',';
    first = false;
    out += '{';
    AppendJsonString(f.tag(), out);
    out += ':';
    if (f.isControl()) {
      AppendJsonString(f.data(), out);
      out += '}';
      continue;
    }
    out += "{\"ind1\":";
    AppendJsonString(Indicator(f, 0), out);
    out += ",\"ind2\":";
    AppendJsonString(Indicator(f, 1), out);
    out += ",\"subfields\":[";
    bool first_subfield = true;
    const std::string_view prefix = Prefix(f);
    if (!prefix.empty()) {
      out += "{\"\":";
      AppendJsonString(prefix, out);
      out += '}';
      first_subfield = false;
    }
    for (const SubfieldView& s : f.subfields()) {
      if (!first_subfield) out += ',';
      first_subfield = false;
      out += '{';
      AppendJsonString(Code(s), out);
      out += ':';
      AppendJsonString(s.value(), out);
      out += '}';
    }
    out += "]}}";
  }
  out += "]}\n";
}

// Length of the well-formed UTF-8 sequence at p (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0 when there is none.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t avail) {
  const unsigned char b = p[0];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (avail < len) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return len;
}

}  // namespace

void AppendRecord(Format format, const RecordView& rec, const TagFilter& filter,
                  std::string& out) {
  switch (format) {
    case Format::kMrk:
      AppendMrk(rec, filter, out);
      break;
    case Format::kLine:
      AppendLine(rec, filter, out);
      break;
    case Format::kJson:
      AppendJson(rec, filter, out);
      break;
  }
}

void AppendEscaped(std::string_view bytes, bool mrk, std::string& out) {
  std::size_t plain = 0;  // bytes copied as they are, in runs
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const bool control = c < 0x20 || c == 0x7F;
    if (!control && c != '{' && !(mrk && c == '$')) continue;
    out.append(bytes.data() + plain, i - plain);
    plain = i + 1;
    if (c == '{') {
      out += "{lcub}";
    } else if (c == '$') {
      out += "{dollar}";
    } else {
      out += "{0x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      out += '}';
    }
  }
  out.append(bytes.data() + plain, bytes.size() - plain);
}

void AppendJsonText(std::string_view bytes, std::string& out) {
  const char* const data = bytes.data();
  const std::size_t size = bytes.size();
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  while (i < size) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      switch (b) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (b < 0x20) {
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 15];
          } else {
            out += static_cast<char>(b);
          }
      }
      ++i;
      continue;
    }
    const std::size_t len = Utf8SequenceLength(p + i, size - i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for each byte that starts no sequence
      ++i;
    } else {
      out.append(data + i, len);
      i += len;
    }
  }
}

}  // namespace quillet_dump
