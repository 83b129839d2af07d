#include <cstring>
#include <string>

#include "common/md5_digest.h"
#include "quillet/iso2709.h"
#include "quillet/view.h"
#include "views/record_parser.h"

namespace quillet {

using iso2709::kSubfieldDelimiter;

bool isTagPattern(std::string_view pattern) noexcept { return pattern.size() == 3; }

bool tagMatches(std::string_view pattern, std::string_view tag) noexcept {
  if (pattern.size() != 3 || tag.size() != 3) return false;
  for (std::size_t i = 0; i < 3; ++i) {
    const char p = pattern[i];
    if (p != tag[i] && p != 'X' && p != 'x' && p != '.') return false;
  }
  return true;
}

std::string nonIso2709Reason(std::string_view head) {
  // A byte order mark and white space may come before text formats.
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  if (head.size() >= 2 && head[0] == '\x1F' && head[1] == '\x8B') {
    return "this looks like gzip-compressed data, not ISO 2709 (binary MARC) records; "
           "decompress it first";
  }
  while (!head.empty() && (head[0] == ' ' || head[0] == '\t' || head[0] == '\r' || head[0] == '\n')) {
    head.remove_prefix(1);
  }
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

// Fields ---------------------------------------------------------------

std::string_view FieldView::subfield(char code) const {
  for (const SubfieldView& s : subfields()) {
    if (s.code() == code) return s.value();
  }
  return std::string_view();
}

bool FieldView::hasSubfield(char code) const {
  for (const SubfieldView& s : subfields()) {
    if (s.code() == code) return true;
  }
  return false;
}

// Records --------------------------------------------------------------

std::string_view RecordView::leader() const {
  return bytes().substr(0, iso2709::kLeaderLength);
}

std::string_view RecordView::controlNumber() const {
  const FieldView* f = field("001");
  return f ? f->data() : std::string_view();
}

void RecordView::md5(unsigned char digest[16]) const { Md5Digest(data_, size_, digest); }

const FieldView* RecordView::field(std::string_view pattern) const {
  for (const FieldView& f : fields_) {
    if (f.matches(pattern)) return &f;
  }
  return nullptr;
}

// Problems -------------------------------------------------------------

const char* Problem::message() const noexcept {
  switch (kind) {
    case Kind::kJunkSkipped: return "junk skipped";
    case Kind::kLengthRepaired: return "record length repaired";
    case Kind::kLongRecord: return "record longer than 99999 bytes";
    case Kind::kMissingRecordTerminator: return "record terminator missing";
    case Kind::kTruncated: return "input ends inside the record";
    case Kind::kBadLength: return "record length unusable";
    case Kind::kBadBaseAddress: return "base address repaired";
    case Kind::kDirectorySplit: return "directory does not address the fields; split at field terminators";
    case Kind::kBadDirectoryEntry: return "bad directory entry";
    case Kind::kFieldOutOfRecord: return "field reaches past the record";
    case Kind::kMissingFieldTerminator: return "field terminator missing";
    case Kind::kShortDataField: return "data field shorter than its indicators";
    case Kind::kNoSubfields: return "data field without subfield delimiter";
    case Kind::kSubfieldWithoutCode: return "subfield delimiter without a code";
    case Kind::kTerminatorInField: return "field terminator inside a data field";
    case Kind::kReadError: return "read error";
  }
  return "unknown problem";
}

std::string Problem::describe() const {
  std::string text = message();
  std::string detail;
  switch (kind) {
    case Kind::kJunkSkipped:
      detail = std::to_string(value) + (value == 1 ? " byte" : " bytes");
      break;
    case Kind::kLengthRepaired:
    case Kind::kLongRecord:
    case Kind::kBadLength:
      detail = value == kNotANumber ? "declared length not a number"
                                    : "declared " + std::to_string(value);
      break;
    case Kind::kReadError:
      break;
    default:
      if (entry >= 0) detail = "entry " + std::to_string(entry);
      break;
  }
  if (tag[0] != ' ' || tag[1] != ' ' || tag[2] != ' ') {
    if (!detail.empty()) detail += ", ";
    detail += "tag " + std::string(tag, 3);
  }
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
}

}  // namespace quillet
