#include <string>

#include "io/gzip_source.h"
#include "quillet/iso2709.h"
#include "quillet/view.h"

namespace quillet {

namespace {

// `head` without a byte order mark and the white space text formats may
// start with.
std::string_view SkipTextStart(std::string_view head) {
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  while (!head.empty() &&
         (head[0] == ' ' || head[0] == '\t' || head[0] == '\r' || head[0] == '\n')) {
    head.remove_prefix(1);
  }
  return head;
}

}  // namespace

InputFormat detectFormat(std::string_view head) noexcept {
  if (head.empty()) return InputFormat::kIso2709;
  // Records start with the five digits of their length; real files also
  // have blanks or junk before the first one, which the framer skips.
  if (head[0] >= '0' && head[0] <= '9') return InputFormat::kIso2709;
  // Separator bytes occur in no text format (XML and JSON forbid them raw,
  // mnemonic text escapes them): junk before ISO 2709 records may look like
  // text, their directory's terminator does not.
  if (head.find(iso2709::kFieldTerminator) != std::string_view::npos ||
      head.find(iso2709::kRecordTerminator) != std::string_view::npos) {
    return InputFormat::kIso2709;
  }
  const std::string_view text = SkipTextStart(head);
  if (text.empty()) return InputFormat::kAuto;
  switch (text[0]) {
    case '<': return InputFormat::kMarcXml;
    case '{':
    case '[': return InputFormat::kJson;
    default: break;
  }
  if (text.substr(0, 4) == "=LDR") return InputFormat::kMnemonic;
  return InputFormat::kAuto;
}

bool parseInputFormat(std::string_view name, InputFormat* format) noexcept {
  static constexpr struct {
    std::string_view name;
    InputFormat format;
  } kNames[] = {{"auto", InputFormat::kAuto},        {"marc", InputFormat::kIso2709},
                {"iso2709", InputFormat::kIso2709},  {"usmarc", InputFormat::kIso2709},
                {"xml", InputFormat::kMarcXml},      {"marcxml", InputFormat::kMarcXml},
                {"json", InputFormat::kJson},        {"mrk", InputFormat::kMnemonic},
                {"mnemonic", InputFormat::kMnemonic}};
  if (name.size() > 8) return false;
  char lower[8];
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view wanted(lower, name.size());
  for (const auto& n : kNames) {
    if (n.name == wanted) {
      *format = n.format;
      return true;
    }
  }
  return false;
}

std::string noRecordMessage(InputFormat format, std::string_view head) {
  std::string out = "no ";
  out += inputFormatName(format);
  out += " record found (";
  const InputFormat looks = detectFormat(head);
  if (GzipSource::Recognises(head.data(), head.size())) {
    out += "it looks like gzip data that does not decompress";
  } else if (looks != InputFormat::kAuto && looks != format && !head.empty()) {
    out += "it looks like ";
    out += inputFormatName(looks);
  } else {
    // The first bytes as they are where they are printable, so the user sees
    // what the file holds.
    static const char kHex[] = "0123456789ABCDEF";
    out += "it starts with \"";
    for (const char c : head.substr(0, 16)) {
      const unsigned char b = static_cast<unsigned char>(c);
      if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
        out += c;
      } else {
        out += "\\x";
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
    }
    out += head.size() > 16 ? "...\"" : "\"";
  }
  out += ')';
  return out;
}

const char* inputFormatName(InputFormat format) noexcept {
  switch (format) {
    case InputFormat::kAuto: return "auto";
    case InputFormat::kIso2709: return "ISO 2709";
    case InputFormat::kMarcXml: return "MARCXML";
    case InputFormat::kJson: return "MARC-in-JSON";
    case InputFormat::kMnemonic: return "mnemonic text";
  }
  return "auto";
}

// What input that is not records looks like, from its first bytes; the
// words go to the user as they are.
std::string nonIso2709Reason(std::string_view head) {
  if (GzipSource::Recognises(head.data(), head.size())) {
    return "this looks like gzip-compressed data, not ISO 2709 (binary MARC) records; "
           "decompress it first";
  }
  // Junk before records may look like text; their terminators are not.
  if (head.find(iso2709::kFieldTerminator) != std::string_view::npos ||
      head.find(iso2709::kRecordTerminator) != std::string_view::npos) {
    return std::string();
  }
  head = SkipTextStart(head);
  auto starts = [&](std::string_view prefix) { return head.substr(0, prefix.size()) == prefix; };
  const char* kind = nullptr;
  std::string_view prefix;
  for (std::string_view xml : {"<?xml", "<collection", "<record", "<marc:"}) {
    if (starts(xml)) {
      kind = "MARCXML";
      prefix = xml;
    }
  }
  if (starts("=LDR")) kind = "mnemonic MARC text (.mrk)", prefix = "=LDR";
  if (starts("{")) kind = "JSON", prefix = "{";
  if (starts("[")) kind = "JSON", prefix = "[";
  if (kind == nullptr) return std::string();
  return "this looks like " + std::string(kind) + " (it starts with " + std::string(prefix) +
         "), not ISO 2709 (binary MARC) records";
}

}  // namespace quillet
