#include "formats.h"

#include <quillet/writer.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillet_dump {

namespace {

using quillet::FieldView;
using quillet::RecordView;
using quillet::SubfieldView;

// The most a byte becomes: {dollar} in mrk, \u00XX in JSON.
constexpr std::size_t kMaxEscape = 8;
// The most bytes of UTF-8 one byte of a record becomes: a MARC-8 byte that
// maps to a character outside the BMP, or U+FFFD for any byte. NFC may
// compose but never lengthens by more than that here.
constexpr std::size_t kMaxText = 4;
// Room for the punctuation around a field or subfield.
constexpr std::size_t kPunctuation = 48;

// Word-at-a-time tests, so that runs of ordinary text are copied eight
// bytes per step: whether any byte of `x` is below `n` (n <= 128), and
// whether any equals `c`.
constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHighs = 0x8080808080808080ull;
inline bool AnyBelow(std::uint64_t x, unsigned n) { return ((x - kOnes * n) & ~x & kHighs) != 0; }
inline bool AnyEqual(std::uint64_t x, unsigned char c) {
  const std::uint64_t y = x ^ (kOnes * c);
  return ((y - kOnes) & ~y & kHighs) != 0;
}
inline std::uint64_t Load8(const char* p) {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

inline char* Put(char* q, std::string_view s) {
  if (!s.empty()) std::memcpy(q, s.data(), s.size());  // an empty view may hold null
  return q + s.size();
}

// Copies the well-formed UTF-8 sequence at data[i] to q and steps past it;
// a byte that starts no sequence becomes U+FFFD on its own.
inline char* CopyUtf8Sequence(char* q, const char* data, std::size_t size, std::size_t& i) {
  const std::size_t len = quillet::utf8SequenceLength(std::string_view(data + i, size - i));
  if (len == 0) {
    ++i;
    return Put(q, "\xEF\xBF\xBD");
  }
  std::memcpy(q, data + i, len);
  i += len;
  return q + len;
}

// Writes `bytes` for mrk or line output at q (room: kMaxEscape per byte).
char* Escaped(char* q, std::string_view bytes, bool mrk) {
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

// Blanks as backslashes, as the mnemonic format writes control fields and
// indicators; a backslash itself then as {bsol}.
char* MnemonicBlanks(char* q, std::string_view bytes) {
  for (const char c : bytes) {
    if (c == ' ') {
      *q++ = '\\';
    } else if (c == '\\') {
      q = Put(q, "{bsol}");
    } else {
      q = Escaped(q, std::string_view(&c, 1), true);
    }
  }
  return q;
}

// Writes `bytes` as the body of a JSON string at q (room: kMaxEscape per
// byte). Text known to be well-formed UTF-8 is copied without checking it
// again.
char* JsonText(char* q, std::string_view bytes, bool utf8 = false) {
  static const char kLowHex[] = "0123456789abcdef";
  const char* const data = bytes.data();
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(data);
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    while (size - i >= 8) {  // plain text, eight bytes at a time
      const std::uint64_t x = Load8(data + i);
      if ((!utf8 && (x & kHighs) != 0) || AnyBelow(x, 0x20) || AnyEqual(x, '"') ||
          AnyEqual(x, '\\')) {
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

char* JsonString(char* q, std::string_view bytes, bool utf8 = false) {
  *q++ = '"';
  // Tags, codes and indicators: a few plain characters, copied straight.
  if (bytes.size() <= 3 &&
      std::all_of(bytes.begin(), bytes.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; })) {
    q = Put(q, bytes);
    *q++ = '"';
    return q;
  }
  q = JsonText(q, bytes, utf8);
  *q++ = '"';
  return q;
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

// Room for a field in any format: every byte escaped, and punctuation for
// the field and for each subfield (at most one per byte).
std::size_t FieldRoom(const FieldView& f) {
  return (kMaxText * kMaxEscape + kPunctuation) * f.data().size() + 2 * kPunctuation;
}

// The leader as printed: position 9 says UTF-8 when the text is converted.
std::string_view Leader(const RecordView& rec, const TextConverter& text) {
  static thread_local std::string leader;
  if (!text.ToUtf8() || rec.leader().size() <= 9 || rec.leader()[9] == 'a') return rec.leader();
  leader.assign(rec.leader().data(), rec.leader().size());
  leader[9] = 'a';
  return leader;
}

void AppendMrk(const RecordView& rec, const TagFilter& filter, TextConverter& text,
               TextBuffer& out) {
  char* q = out.Room(kMaxEscape * rec.leader().size() + kPunctuation);
  q = Put(q, "=LDR  ");
  q = Escaped(q, text.Plain(Leader(rec, text)), true);
  *q++ = '\n';
  out.Commit(q);
  for (const FieldView& f : rec.fields()) {
    if (!filter.Selects(f)) continue;
    q = out.Room(FieldRoom(f));
    text.StartField();
    *q++ = '=';
    q = Escaped(q, text.Plain(f.tag()), true);
    q = Put(q, "  ");
    if (f.isControl()) {
      q = MnemonicBlanks(q, text.Convert(f.data()));
    } else {
      q = MnemonicBlanks(q, text.Plain(f.indicators()));
      q = Escaped(q, text.Convert(Prefix(f)), true);
      for (const SubfieldView& s : f.subfields()) {
        *q++ = '$';
        q = Escaped(q, text.Plain(Code(s)), true);
        q = Escaped(q, text.Convert(s.value()), true);
      }
    }
    *q++ = '\n';
    out.Commit(q);
  }
  out.Append("\n");
}

void AppendLine(const RecordView& rec, const TagFilter& filter, TextConverter& text,
                TextBuffer& out) {
  char* q = out.Room(kMaxEscape * rec.leader().size() + kPunctuation);
  q = Escaped(q, text.Plain(Leader(rec, text)), false);
  *q++ = '\n';
  out.Commit(q);
  for (const FieldView& f : rec.fields()) {
    if (!filter.Selects(f)) continue;
    q = out.Room(FieldRoom(f));
    text.StartField();
    q = Escaped(q, text.Plain(f.tag()), false);
    *q++ = ' ';
    if (f.isControl()) {
      q = Escaped(q, text.Convert(f.data()), false);
    } else {
      q = Escaped(q, text.Plain(f.indicators()), false);
      q = Escaped(q, text.Convert(Prefix(f)), false);
      for (const SubfieldView& s : f.subfields()) {
        q = Put(q, " $");
        q = Escaped(q, text.Plain(Code(s)), false);
        *q++ = ' ';
        q = Escaped(q, text.Convert(s.value()), false);
      }
    }
    *q++ = '\n';
    out.Commit(q);
  }
  out.Append("\n");
}

// A data field whose indicators are cut short gets blanks for the missing
// ones: consumers of this format expect one character each.
std::string_view Indicator(const FieldView& f, std::size_t i) {
  const std::string_view ind = f.indicators();
  return i < ind.size() ? ind.substr(i, 1) : std::string_view(" ");
}

void AppendJson(const RecordView& rec, const TagFilter& filter, TextConverter& text,
                TextBuffer& out) {
  char* q = out.Room(kMaxEscape * rec.leader().size() + kPunctuation);
  q = Put(q, "{\"leader\":");
  q = JsonString(q, Leader(rec, text));
  q = Put(q, ",\"fields\":[");
  out.Commit(q);
  bool first = true;
  for (const FieldView& f : rec.fields()) {
    if (!filter.Selects(f)) continue;
    q = out.Room(FieldRoom(f));
    text.StartField();
    if (!first) *q++ = ',';
    first = false;
    *q++ = '{';
    q = JsonString(q, f.tag());
    *q++ = ':';
    if (f.isControl()) {
      q = JsonString(q, text.Convert(f.data()), text.ToUtf8());
      *q++ = '}';
      out.Commit(q);
      continue;
    }
    q = Put(q, "{\"ind1\":");
    q = JsonString(q, Indicator(f, 0));
    q = Put(q, ",\"ind2\":");
    q = JsonString(q, Indicator(f, 1));
    q = Put(q, ",\"subfields\":[");
    bool first_subfield = true;
    const std::string_view prefix = Prefix(f);
    if (!prefix.empty()) {
      q = Put(q, "{\"\":");
      q = JsonString(q, text.Convert(prefix), text.ToUtf8());
      *q++ = '}';
      first_subfield = false;
    }
    for (const SubfieldView& s : f.subfields()) {
      if (!first_subfield) *q++ = ',';
      first_subfield = false;
      *q++ = '{';
      q = JsonString(q, Code(s));
      *q++ = ':';
      q = JsonString(q, text.Convert(s.value()), text.ToUtf8());
      *q++ = '}';
    }
    q = Put(q, "]}}");
    out.Commit(q);
  }
  out.Append("]}\n");
}

// Writes `bytes` as XML character data or an attribute value at q (room:
// kMaxEscape per byte): markup characters as entities, forbidden control
// characters and bytes that are not UTF-8 as U+FFFD (counting the first).
char* XmlText(char* q, std::string_view bytes, bool utf8, std::size_t* replaced) {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    while (size - i >= 8) {  // plain text, eight bytes at a time
      const std::uint64_t x = Load8(bytes.data() + i);
      if ((!utf8 && (x & kHighs) != 0) || AnyBelow(x, 0x20) || AnyEqual(x, '&') ||
          AnyEqual(x, '<') || AnyEqual(x, '>') || AnyEqual(x, '"')) {
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

std::size_t AppendXml(const RecordView& rec, const TagFilter& filter, TextConverter& text,
                      TextBuffer& out) {
  std::size_t replaced = 0;
  char* q = out.Room(kMaxEscape * rec.leader().size() + kPunctuation);
  q = Put(q, "  <record>\n    <leader>");
  q = XmlText(q, Leader(rec, text), false, &replaced);
  q = Put(q, "</leader>\n");
  out.Commit(q);
  for (int pass = 0; pass < 2; ++pass) {  // control fields, then data fields
    for (const FieldView& f : rec.fields()) {
      if (f.isControl() != (pass == 0) || !filter.Selects(f)) continue;
      q = out.Room(FieldRoom(f));
      text.StartField();
      if (f.isControl()) {
        q = Put(q, "    <controlfield tag=\"");
        q = XmlText(q, f.tag(), false, &replaced);
        q = Put(q, "\">");
        q = XmlText(q, text.Convert(f.data()), text.ToUtf8(), &replaced);
        q = Put(q, "</controlfield>\n");
        out.Commit(q);
        continue;
      }
      q = Put(q, "    <datafield tag=\"");
      q = XmlText(q, f.tag(), false, &replaced);
      q = Put(q, "\" ind1=\"");
      q = XmlText(q, Indicator(f, 0), false, &replaced);
      q = Put(q, "\" ind2=\"");
      q = XmlText(q, Indicator(f, 1), false, &replaced);
      q = Put(q, "\">\n");
      const std::string_view prefix = Prefix(f);
      if (!prefix.empty()) {
        q = Put(q, "      <subfield code=\"\">");
        q = XmlText(q, text.Convert(prefix), text.ToUtf8(), &replaced);
        q = Put(q, "</subfield>\n");
      }
      for (const SubfieldView& s : f.subfields()) {
        q = Put(q, "      <subfield code=\"");
        q = XmlText(q, Code(s), false, &replaced);
        q = Put(q, "\">");
        q = XmlText(q, text.Convert(s.value()), text.ToUtf8(), &replaced);
        q = Put(q, "</subfield>\n");
      }
      q = Put(q, "    </datafield>\n");
      out.Commit(q);
    }
  }
  out.Append("  </record>\n");
  return replaced;
}

// Whether the reader framed the record or read its directory otherwise than
// its bytes say: then it is written anew. Junk before it, and damage inside
// data fields, leave its bytes as they are.
bool Repaired(const RecordView& rec) {
  for (const quillet::Problem& p : rec.problems()) {
    switch (p.kind) {
      case quillet::Problem::Kind::kJunkSkipped:
      case quillet::Problem::Kind::kShortDataField:
      case quillet::Problem::Kind::kNoSubfields:
      case quillet::Problem::Kind::kSubfieldWithoutCode:
      case quillet::Problem::Kind::kTerminatorInField:
        break;
      default:
        return true;
    }
  }
  return false;
}

void AppendMarc(const RecordView& rec, const TagFilter& filter, TextConverter& text,
                TextBuffer& out) {
  const std::string_view leader = rec.leader();
  const quillet::EncodingGuess& guess = text.guess();
  const bool as_read =
      !text.ToUtf8() || (leader.size() > 9 && leader[9] == 'a' &&
                         guess.encoding == quillet::Encoding::kUtf8 &&
                         (guess.well_formed || quillet::isUtf8(rec.bytes())));
  if (as_read && filter.patterns.empty() && !Repaired(rec)) {
    out.Append(rec.bytes());
    return;
  }
  static thread_local quillet::RecordWriter writer;
  static thread_local std::string content, record;
  writer.clear();
  writer.setLeader(Leader(rec, text));
  for (const FieldView& f : rec.fields()) {
    if (!filter.Selects(f)) continue;
    text.StartField();
    if (f.isControl()) {
      writer.addField(f.tag(), text.Convert(f.data()));
      continue;
    }
    content.assign(f.indicators());
    content += text.Convert(Prefix(f));
    for (const SubfieldView& s : f.subfields()) {
      content += '\x1F';
      content += Code(s);
      content += text.Convert(s.value());
    }
    writer.addField(f.tag(), content);
  }
  record.clear();
  writer.appendTo(record);
  out.Append(record);
}

}  // namespace

const char kXmlHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<collection xmlns=\"http://www.loc.gov/MARC21/slim\">\n";
const char kXmlFooter[] = "</collection>\n";

void TextBuffer::Grow(std::size_t n) {
  std::size_t capacity = capacity_ ? 2 * capacity_ : std::size_t{1} << 16;
  while (capacity - size_ < n) capacity *= 2;
  std::unique_ptr<char[]> bigger(new char[capacity]);
  if (size_) std::memcpy(bigger.get(), data_.get(), size_);
  data_ = std::move(bigger);
  capacity_ = capacity;
}

void TextBuffer::Append(std::string_view s) { Commit(Put(Room(s.size()), s)); }

std::size_t AppendRecord(Format format, const RecordView& rec, const TagFilter& filter,
                         TextConverter& text, TextBuffer& out) {
  switch (format) {
    case Format::kMrk:
      AppendMrk(rec, filter, text, out);
      break;
    case Format::kLine:
      AppendLine(rec, filter, text, out);
      break;
    case Format::kJson:
      AppendJson(rec, filter, text, out);
      break;
    case Format::kXml:
      return AppendXml(rec, filter, text, out);
    case Format::kMarc:
      AppendMarc(rec, filter, text, out);
      break;
  }
  return 0;
}

void TextConverter::StartRecord(const RecordView& rec) {
  problems_.clear();
  record_ = rec.bytes().data();
  offset_ = rec.offset();
  switch (charset_) {
    case Charset::kAuto:
      guess_ = quillet::guessEncoding(rec);
      break;
    case Charset::kMarc8:
      guess_ = {quillet::Encoding::kMarc8, false, false};
      break;
    case Charset::kUtf8:
    case Charset::kRaw:
      guess_ = {quillet::Encoding::kUtf8, false, false};
      break;
  }
}

std::string_view TextConverter::Convert(std::string_view raw) {
  if (charset_ == Charset::kRaw || raw.empty()) return raw;
  text_.clear();
  const std::uint64_t at = offset_ + static_cast<std::uint64_t>(raw.data() - record_);
  if (guess_.encoding == quillet::Encoding::kMarc8) {
    marc8_.decode(raw, text_, &problems_, at);
  } else if (!nfc_ && (guess_.well_formed || quillet::isUtf8(raw))) {
    return raw;  // nothing to change
  } else {
    quillet::appendUtf8(raw, text_, &problems_, at);
  }
  if (nfc_) quillet::composeNfc(text_);
  return text_;
}

std::string_view TextConverter::Plain(std::string_view raw) {
  if (charset_ == Charset::kRaw || quillet::isUtf8(raw)) return raw;
  plain_.clear();
  quillet::appendUtf8(raw, plain_);
  return plain_;
}

void AppendEscaped(std::string_view bytes, bool mrk, std::string& out) {
  std::string room(kMaxEscape * bytes.size(), '\0');
  out.append(room.data(), static_cast<std::size_t>(Escaped(&room[0], bytes, mrk) - room.data()));
}

void AppendJsonText(std::string_view bytes, std::string& out) {
  std::string room(kMaxEscape * bytes.size(), '\0');
  out.append(room.data(), static_cast<std::size_t>(JsonText(&room[0], bytes) - room.data()));
}

}  // namespace quillet_dump
