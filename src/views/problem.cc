#include "views/problem.h"

#include <cstring>
#include <string>

namespace quillet {

Problem MakeProblem(Problem::Kind kind, std::uint64_t offset, std::uint64_t value) {
  Problem p;
  p.kind = kind;
  p.offset = offset;
  p.entry = -1;
  std::memcpy(p.tag, "   ", 3);
  p.value = value;
  return p;
}

void AddProblem(std::vector<Problem>& problems, Problem p) {
  if (problems.size() < Problem::kMaxListed) {
    problems.push_back(std::move(p));
    return;
  }
  if (problems.back().kind != Problem::Kind::kMoreProblems) {
    problems.push_back(MakeProblem(Problem::Kind::kMoreProblems, p.offset, 0));
  }
  ++problems.back().value;
}

const char* Problem::message() const noexcept {
  switch (kind) {
    case Kind::kJunkSkipped: return "junk skipped";
    case Kind::kLengthRepaired: return "record length repaired";
    case Kind::kLongRecord: return "record longer than 99999 bytes";
    case Kind::kMissingRecordTerminator: return "record terminator missing";
    case Kind::kTruncated: return "input ends inside the record";
    case Kind::kBadLength: return "record length unusable";
    case Kind::kBadBaseAddress: return "base address repaired";
    case Kind::kDirectorySplit:
      return "directory does not address the fields; split at field terminators";
    case Kind::kBadDirectoryEntry: return "bad directory entry";
    case Kind::kFieldOutOfRecord: return "field reaches past the record";
    case Kind::kMissingFieldTerminator: return "field terminator missing";
    case Kind::kShortDataField: return "data field shorter than its indicators";
    case Kind::kNoSubfields: return "data field without subfield delimiter";
    case Kind::kSubfieldWithoutCode: return "subfield delimiter without a code";
    case Kind::kTerminatorInField: return "field terminator inside a data field";
    case Kind::kReadError: return "read error";
    case Kind::kMalformed: return "malformed input";
    case Kind::kUnknownContent: return "content the format does not define skipped";
    case Kind::kBadField: return "field repaired";
    case Kind::kUnbuildable: return "record cannot be written as ISO 2709; skipped";
    case Kind::kMoreProblems: return "more problems in the record, not listed";
    case Kind::kEmptyFieldsSkipped: return "empty fields between field terminators skipped";
  }
  return "unknown problem";
}

std::string Problem::describe() const {
  std::string text = message();
  std::string particulars;
  switch (kind) {
    case Kind::kJunkSkipped:
      particulars = std::to_string(value) + (value == 1 ? " byte" : " bytes");
      break;
    case Kind::kLengthRepaired:
    case Kind::kLongRecord:
    case Kind::kBadLength:
      particulars = value == kNotANumber ? "declared length not a number"
                                         : "declared " + std::to_string(value);
      break;
    case Kind::kMoreProblems:
    case Kind::kEmptyFieldsSkipped: particulars = std::to_string(value); break;
    case Kind::kReadError:
    case Kind::kMalformed:
    case Kind::kUnknownContent:
    case Kind::kBadField:
    case Kind::kUnbuildable: break;
    default:
      if (entry >= 0) particulars = "entry " + std::to_string(entry);
      break;
  }
  if (tag[0] != ' ' || tag[1] != ' ' || tag[2] != ' ') {
    if (!particulars.empty()) particulars += ", ";
    particulars += "tag ";
    // A damaged directory's tag may hold any byte; the words stay text on
    // one line: a byte that is no printable ASCII is written U+FFFD.
    for (const char c : tag) {
      const unsigned char b = static_cast<unsigned char>(c);
      if (b >= 0x20 && b < 0x7F) {
        particulars += c;
      } else {
        particulars += "\xEF\xBF\xBD";
      }
    }
  }
  if (line != 0) {
    if (!particulars.empty()) particulars += ", ";
    particulars += "line " + std::to_string(line) + ", column " + std::to_string(column);
  }
  if (!detail.empty()) {
    if (!particulars.empty()) particulars += ": ";
    particulars += detail;
  }
  if (!particulars.empty()) text += " (" + particulars + ")";
  return text;
}

}  // namespace quillet
