#include <cctype>

#include "quillet/iso2709.h"
#include "quillet/text.h"
#include "quillet/view.h"

namespace quillet {

namespace {

// Names compare without regard to case, and "utf-8" and "marc-8" may be
// written with or without their hyphen: the spellings other tools have
// taught users.
bool SameName(std::string_view name, std::string_view want) {
  std::string lower;
  for (const char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == want) return true;
  const std::size_t digit = want.size() - 1;
  return want.back() == '8' && lower.size() == want.size() + 1 &&
         lower.compare(0, digit, want, 0, digit) == 0 && lower.compare(digit, 2, "-8") == 0;
}

}  // namespace

bool parseCharset(std::string_view name, Charset* charset) noexcept {
  static constexpr struct {
    const char* name;
    Charset charset;
  } kNames[] = {{"auto", Charset::kAuto},
                {"marc8", Charset::kMarc8},
                {"utf8", Charset::kUtf8},
                {"raw", Charset::kRaw}};
  for (const auto& n : kNames) {
    if (SameName(name, n.name)) {
      *charset = n.charset;
      return true;
    }
  }
  return false;
}

const char* charsetName(Charset charset) noexcept {
  switch (charset) {
    case Charset::kAuto: return "auto";
    case Charset::kMarc8: return "marc8";
    case Charset::kUtf8: return "utf-8";
    case Charset::kRaw: return "raw";
  }
  return "auto";
}

std::string charsetError(std::string_view name) {
  std::string out = "unknown charset \"";
  appendUtf8(name, out);
  out += "\": use auto, marc8, utf-8 or raw";
  return out;
}

std::string_view fieldPrefix(const FieldView& field) noexcept {
  if (field.isControl()) return std::string_view();
  const std::string_view rest = field.data().substr(field.indicators().size());
  return rest.substr(0, rest.find(iso2709::kSubfieldDelimiter));
}

std::string_view fieldIndicator(const FieldView& field, std::size_t i) noexcept {
  const std::string_view indicators = field.indicators();
  return i < indicators.size() ? indicators.substr(i, 1) : std::string_view(" ");
}

std::string_view subfieldCode(const SubfieldView& subfield) noexcept {
  // Views of one byte each, so that a code outlives the subfield it came from.
  static const struct Bytes {
    char b[256];
    Bytes() {
      for (int i = 0; i < 256; ++i) b[i] = static_cast<char>(i);
    }
  } kBytes;
  const unsigned char c = static_cast<unsigned char>(subfield.code());
  return c == 0 ? std::string_view() : std::string_view(&kBytes.b[c], 1);
}

EncodingGuess decideEncoding(const RecordView& rec, Charset charset) noexcept {
  switch (charset) {
    case Charset::kAuto: return guessEncoding(rec);
    case Charset::kMarc8: return {Encoding::kMarc8, false, false};
    case Charset::kUtf8:
    case Charset::kRaw: break;
  }
  return {Encoding::kUtf8, false, false};
}

void RecordText::start(const RecordView& rec) { start(rec, decideEncoding(rec, options_.charset)); }

void RecordText::start(const RecordView& rec, const EncodingGuess& guess) {
  guess_ = guess;
  record_ = &rec;
  bytes_ = rec.bytes().data();
  offset_ = rec.offset();
  problems_.clear();
  marc8_.reset();
}

std::string_view RecordText::text(std::string_view raw) {
  if (options_.charset == Charset::kRaw || raw.empty()) return raw;
  text_.clear();
  const std::uint64_t at = offset_ + static_cast<std::uint64_t>(raw.data() - bytes_);
  if (guess_.encoding == Encoding::kMarc8) {
    marc8_.decode(raw, text_, &problems_, at);
  } else if (!options_.nfc && (guess_.well_formed || isUtf8(raw))) {
    return raw;  // nothing to change
  } else {
    appendUtf8(raw, text_, &problems_, at);
  }
  if (options_.nfc) composeNfc(text_);
  return text_;
}

void RecordText::skip(std::string_view raw) {
  // Only MARC-8 carries state from one value to the next.
  if (options_.charset != Charset::kRaw && guess_.encoding == Encoding::kMarc8) text(raw);
}

std::string_view RecordText::plain(std::string_view raw) {
  if (options_.charset == Charset::kRaw || isUtf8(raw)) return raw;
  plain_.clear();
  appendUtf8(raw, plain_);
  return plain_;
}

std::string_view RecordText::leader() {
  const std::string_view leader = record_ == nullptr ? std::string_view() : record_->leader();
  if (!toUtf8() || leader.size() <= iso2709::kCharacterCodingOffset ||
      leader[iso2709::kCharacterCodingOffset] == iso2709::kUnicodeCoding) {
    return leader;
  }
  leader_.assign(leader.data(), leader.size());
  leader_[iso2709::kCharacterCodingOffset] = iso2709::kUnicodeCoding;
  return leader_;
}

void RecordText::decodeAll() {
  if (record_ == nullptr || !toUtf8()) return;
  for (const FieldView& f : record_->fields()) {
    startField();
    if (f.isControl()) {
      text(f.data());
      continue;
    }
    text(fieldPrefix(f));
    for (const SubfieldView& s : f.subfields()) text(s.value());
  }
}

}  // namespace quillet
