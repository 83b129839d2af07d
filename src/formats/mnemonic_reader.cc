#include "formats/mnemonic_reader.h"

#include "quillet/iso2709.h"
#include "quillet/marc8.h"

namespace quillet {

namespace {

// The named escapes of mnemonic text, and the bytes they stand for.
constexpr struct {
  std::string_view name;
  char byte;
} kNamedEscapes[] = {{"{dollar}", '$'}, {"{lcub}", '{'}, {"{rcub}", '}'}, {"{bsol}", '\\'}};

// The bytes that frame records, fields and subfields: in a tag or the
// leader they would break the record's framing.
bool IsSeparator(char c) {
  return c == iso2709::kSubfieldDelimiter || c == iso2709::kFieldTerminator ||
         c == iso2709::kRecordTerminator;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The length of the escape `text` starts with, and its byte in `*byte`; 0
// when it starts with none (a '{' that is itself).
std::size_t Escape(std::string_view text, char* byte) {
  if (text.empty() || text[0] != '{') return 0;
  for (const auto& e : kNamedEscapes) {
    if (text.substr(0, e.name.size()) == e.name) {
      *byte = e.byte;
      return e.name.size();
    }
  }
  if (text.size() >= 6 && text.substr(0, 3) == "{0x" && text[5] == '}') {
    const int hi = HexDigit(text[3]), lo = HexDigit(text[4]);
    if (hi >= 0 && lo >= 0) {
      *byte = static_cast<char>(hi * 16 + lo);
      return 6;
    }
  }
  return 0;
}

// Appends the bytes `text` stands for; with `blanks` (control fields and
// indicators), a backslash stands for a blank.
void Unescape(std::string_view text, bool blanks, std::string& out) {
  for (std::size_t i = 0; i < text.size();) {
    char byte;
    if (const std::size_t n = Escape(text.substr(i), &byte)) {
      out += byte;
      i += n;
      continue;
    }
    out += blanks && text[i] == '\\' ? ' ' : text[i];
    ++i;
  }
}

// One unit of text: an escape, a character (a UTF-8 sequence, or a byte
// that starts none), read from `text` at `*at`. Sets `*byte` when the unit
// stands for one byte, and returns false when it is a character of several.
bool Unit(std::string_view text, std::size_t* at, bool blanks, char* byte) {
  const std::string_view rest = text.substr(*at);
  if (const std::size_t n = Escape(rest, byte)) {
    *at += n;
    return true;
  }
  const std::size_t n = utf8SequenceLength(rest);
  if (n > 1) {
    *at += n;
    return false;
  }
  *byte = blanks && rest[0] == '\\' ? ' ' : rest[0];
  ++*at;
  return true;
}

}  // namespace

void MnemonicReader::Report(Problem::Kind kind, std::uint64_t offset, std::size_t column,
                            std::string detail) {
  AddProblem(kind, offset + column, line_, static_cast<std::uint32_t>(column + 1),
             std::move(detail));
}

bool MnemonicReader::Produce() {
  if (!ReadChunk(buffer_)) {
    if (!buffer_.empty()) Line(buffer_, buffer_offset_);  // the last line, without its end
    buffer_offset_ += buffer_.size();
    buffer_.clear();
    if (in_record()) EndRecord();
    return false;
  }
  // Whole lines; a line cut by the end of the chunk waits for the next.
  std::size_t from = 0;
  for (std::size_t end; (end = buffer_.find('\n', from)) != std::string::npos; from = end + 1) {
    Line(std::string_view(buffer_).substr(from, end - from), buffer_offset_ + from);
  }
  buffer_.erase(0, from);
  buffer_offset_ += from;
  const std::size_t limit = options().max_record_size;
  if (buffer_.size() > limit) {  // no line of a record is that long: cut it there
    Line(std::string_view(buffer_).substr(0, limit), buffer_offset_);
    Report(Problem::Kind::kMalformed, buffer_offset_, limit,
           "a line longer than the longest record; cut");
    buffer_offset_ += buffer_.size();
    buffer_.clear();
  }
  return true;
}

void MnemonicReader::Line(std::string_view line, std::uint64_t offset) {
  ++line_;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    if (in_record()) EndRecord();
    return;
  }
  if (line.substr(0, 4) == "=LDR") {
    if (in_record()) EndRecord();
    BeginRecord(offset);
    const std::size_t text = line.size() >= 6 && line.substr(4, 2) == "  " ? 6 : 4;
    Leader(line.substr(text), offset);
    return;
  }
  if (!in_record()) {
    Report(Problem::Kind::kUnknownContent, offset, 0, "a line outside a record");
    return;
  }
  if (line[0] != '=') {
    Report(Problem::Kind::kUnknownContent, offset, 0, "a line that is not =TAG");
    return;
  }
  Field(line, offset);
}

void MnemonicReader::Leader(std::string_view text, std::uint64_t offset) {
  // Bytes that were not UTF-8 were written as U+FFFD; each character stands
  // for one position.
  std::string leader;
  bool replaced = false;
  for (std::size_t i = 0; i < text.size();) {
    char byte;
    if (!Unit(text, &i, false, &byte) || IsSeparator(byte)) {
      byte = ' ';
      replaced = true;
    }
    leader += byte;
  }
  if (replaced) {
    Report(Problem::Kind::kBadField, offset, 6,
           "leader characters that are not one byte, or separators, read as blanks");
  }
  if (leader.size() != iso2709::kLeaderLength) {
    Report(Problem::Kind::kBadField, offset, 6,
           "leader of " + std::to_string(leader.size()) + " characters; " +
               (leader.size() < iso2709::kLeaderLength ? "padded with blanks" : "cut to 24"));
  }
  const char count =
      leader.size() > iso2709::kIndicatorCountOffset ? leader[iso2709::kIndicatorCountOffset] : '2';
  indicators_ = count >= '0' && count <= '9' ? static_cast<unsigned>(count - '0') : 2;
  const char code = leader.size() > iso2709::kSubfieldCodeLengthOffset
                        ? leader[iso2709::kSubfieldCodeLengthOffset]
                        : '2';
  code_length_ = code >= '1' && code <= '9' ? static_cast<unsigned>(code - '0') : 2;
  writer().setLeader(leader);
}

void MnemonicReader::Field(std::string_view line, std::uint64_t offset) {
  // The tag: three units after '=', then two blanks.
  std::size_t at = 1;
  char tag[3] = {' ', ' ', ' '};
  for (char& c : tag) {
    if (at >= line.size()) break;
    const std::size_t start = at;
    if (!Unit(line, &at, false, &c)) c = '?';
    if (IsSeparator(c)) {  // it would end the directory
      Report(Problem::Kind::kBadField, offset, start, "tag byte that is a separator read as ?");
      c = '?';
    }
  }
  if (line.substr(at, 2) != "  ") {
    Report(Problem::Kind::kBadField, offset, at, "expected two blanks after the tag");
  } else {
    at += 2;
  }
  const std::string_view tag_view(tag, 3);
  content_.clear();
  const std::string_view text = line.substr(at < line.size() ? at : line.size());
  if (tag[0] == '0' && tag[1] == '0') {
    Unescape(text, true, content_);
    writer().addField(tag_view, content_);
    return;
  }
  // Indicators: one unit each, a blank for a character of several bytes,
  // and blanks for those a short line lacks.
  std::size_t i = 0;
  for (unsigned n = 0; n < indicators_; ++n) {
    char byte = ' ';
    const std::size_t start = i;
    if (i < text.size() && text[i] != '$' && !Unit(text, &i, true, &byte)) {
      Report(Problem::Kind::kBadField, offset, at + start,
             "indicator that is not one byte read as a blank");
      byte = ' ';
    }
    content_ += byte;
  }
  // Bytes before the first '$', then the subfields.
  std::size_t dollar = text.find('$', i);
  if (dollar == std::string_view::npos) dollar = text.size();
  Unescape(text.substr(i, dollar - i), false, content_);
  while (dollar < text.size()) {
    std::size_t next = text.find('$', dollar + 1);
    content_ += iso2709::kSubfieldDelimiter;
    std::size_t value = dollar + 1;
    // "$$" and a final '$' are delimiters without a code; so is every one
    // when the leader says codes have no byte.
    if (value < text.size() && value != next && code_length_ != 1) {
      char code;
      if (!Unit(text, &value, false, &code)) {
        Report(Problem::Kind::kBadField, offset, at + dollar + 1,
               "subfield code that is not one byte read as ?");
        code = '?';
      }
      content_ += code;
    }
    if (next == std::string_view::npos) next = text.size();
    Unescape(text.substr(value, next - value), false, content_);
    dollar = next;
  }
  writer().addField(tag_view, content_);
}

}  // namespace quillet
