#include "views/content_check.h"

#include <cstring>

#include "common/find_separator.h"
#include "quillet/iso2709.h"
#include "views/leader_digit.h"
#include "views/problem.h"

namespace quillet {

using iso2709::kDirectoryEntryLength;
using iso2709::kFieldTerminator;
using iso2709::kIndicatorCountOffset;
using iso2709::kLeaderLength;
using iso2709::kSubfieldDelimiter;

ContentCheck::ContentCheck(const char* record, std::size_t size, std::uint64_t offset,
                           std::vector<Problem>& problems)
    : p_(record), size_(size), offset_(offset), problems_(problems) {
  indicators_ = size >= kLeaderLength ? LeaderDigit(p_[kIndicatorCountOffset], 0) : 2;
}

void ContentCheck::Field(const FieldView& f) {
  if (f.isControl()) return;
  const char* const from = f.data().data();
  const char* const end = from + f.data().size();
  // The entry is found from the tag's place in the directory.
  const char* const tag = f.tag().data();
  const std::int32_t entry =
      tag >= p_ + kLeaderLength && tag < p_ + size_
          ? static_cast<std::int32_t>((tag - p_ - kLeaderLength) / kDirectoryEntryLength)
          : -1;
  const std::size_t size = f.data().size();
  if (size < indicators_) {
    Report(Problem::Kind::kShortDataField, from, entry, tag, size);
    return;
  }
  const char* p = from + indicators_;
  if (p == end || *p != kSubfieldDelimiter) {
    Report(Problem::Kind::kNoSubfields, from, entry, tag, 0);
    return;
  }
  while ((p = FindSeparator(from, p, end)) != end) {
    if (*p == kFieldTerminator) {
      Report(Problem::Kind::kTerminatorInField, p, entry, tag, 0);
      return;
    }
    if (p + 1 == end || p[1] == kSubfieldDelimiter || p[1] == kFieldTerminator) {
      Report(Problem::Kind::kSubfieldWithoutCode, p, entry, tag, 0);
      return;
    }
    p += 2;
  }
}

void ContentCheck::Report(Problem::Kind kind, const char* at, std::int32_t entry, const char* tag,
                          std::uint64_t value) {
  Problem problem = MakeProblem(kind, offset_ + static_cast<std::uint64_t>(at - p_), value);
  problem.entry = entry;
  std::memcpy(problem.tag, tag, 3);
  AddProblem(problems_, std::move(problem));
}

}  // namespace quillet
