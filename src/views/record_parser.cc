#include "views/record_parser.h"

#include <cstdint>
#include <cstring>

#include "common/digits.h"
#include "common/directory_entry.h"
#include "common/word_scan.h"
#include "quillet/iso2709.h"
#include "views/leader_digit.h"
#include "views/problem.h"
#include "views/record_view_access.h"

namespace quillet {

using iso2709::kBaseAddressOffset;
using iso2709::kBaseAddressWidth;
using iso2709::kDirectoryEntryLength;
using iso2709::kFieldTerminator;
using iso2709::kIndicatorCountOffset;
using iso2709::kLeaderLength;
using iso2709::kMaxRecordLength;
using iso2709::kRecordTerminator;
using iso2709::kSubfieldCodeLengthOffset;

namespace {

// The tag of fields found past the last directory entry when the data is
// split at field terminators.
constexpr char kNoTag[] = "???";

// Eight field terminators, as word_scan::Load8() reads them.
constexpr std::uint64_t kEightTerminators = 0x1E1E1E1E1E1E1E1EULL;
static_assert(kFieldTerminator == '\x1E', "the terminator of kEightTerminators");

// Takes one framed record apart: leader, directory, fields in directory
// order, and the problems found in them. Directories that cannot address
// their fields are repaired by cutting the data at field terminators.
//
// Made for one Run() over one record; holds pointers into the record's
// bytes and references to the lists it fills, which must outlive it. One
// thread at a time. Local to this file, so that the compiler inlines Run()
// into ParseRecord() and keeps the parser's state in registers: as a class
// with external linkage it cost the views walk 41 more instructions per
// record (callgrind, GCC 12 with link-time optimisation).
class RecordParser {
 public:
  RecordParser(const char* data, std::size_t size, std::uint64_t offset,
               std::vector<FieldView>& fields, std::vector<Problem>& problems)
      : p_(data), size_(size), offset_(offset), fields_(fields), problems_(problems) {}

  // Reads nothing outside [data, data + size).
  void Run() {
    if (size_ < kLeaderLength) {
      problems_.push_back(MakeProblem(Problem::Kind::kTruncated, offset_ + size_));
      return;
    }
    indicators_ = LeaderDigit(p_[kIndicatorCountOffset], 0);
    code_length_ = LeaderDigit(p_[kSubfieldCodeLengthOffset], 1);
    data_end_ = p_[size_ - 1] == kRecordTerminator ? size_ - 1 : size_;
    if (!FindBase()) return;
    const std::size_t directory = base_ - 1 - kLeaderLength;
    entries_ = directory / kDirectoryEntryLength;
    if (directory % kDirectoryEntryLength != 0) {
      Report(Problem::Kind::kBadDirectoryEntry, kLeaderLength + entries_ * kDirectoryEntryLength,
             static_cast<std::int32_t>(entries_), nullptr);
    }
    fields_.reserve(entries_);
    if (ByDirectory()) return;
    fields_.clear();
    if (size_ > kMaxRecordLength) {
      BySplitting();  // positions past 99,999 cannot be stated: no entry is to blame
    } else if (Segments() == entries_) {
      ByGoodEntries(false);  // says which entries are wrong
      BySplitting();
    } else {
      ByGoodEntries(true);
    }
  }

 private:
  const char* Entry(std::size_t i) const { return p_ + kLeaderLength + i * kDirectoryEntryLength; }

  void Report(Problem::Kind kind, std::size_t at, std::int32_t entry, const char* tag,
              std::uint64_t value = 0) {
    Problem p = MakeProblem(kind, offset_ + at, value);
    p.entry = entry;
    if (tag) std::memcpy(p.tag, tag, 3);
    AddProblem(problems_, std::move(p));
  }

  // The base address, when it points just past a directory terminator;
  // otherwise the position after the first field terminator, reported.
  bool FindBase() {
    if (data_end_ <= kLeaderLength) {
      Report(Problem::Kind::kBadBaseAddress, kBaseAddressOffset, -1, nullptr);
      return false;
    }
    std::size_t base = 0;
    if (ReadDigits(p_ + kBaseAddressOffset, kBaseAddressWidth, &base) && base > kLeaderLength &&
        base <= data_end_ && p_[base - 1] == kFieldTerminator) {
      base_ = base;
      return true;
    }
    const void* t = std::memchr(p_ + kLeaderLength, kFieldTerminator, data_end_ - kLeaderLength);
    Report(Problem::Kind::kBadBaseAddress, kBaseAddressOffset, -1, nullptr);
    if (t == nullptr) return false;  // no directory terminator: no field can be found
    base_ = static_cast<std::size_t>(static_cast<const char*>(t) - p_) + 1;
    return true;
  }

  // Decodes entry i; false when its numbers are not digits.
  bool Decode(std::size_t i, std::size_t* start, std::size_t* length) const {
    DirectoryEntry e;
    if (!DirectoryEntry::Decode(Entry(i), &e)) return false;
    *start = base_ + e.start;
    *length = e.length;
    return true;
  }

  void Add(const char* tag, std::size_t from, std::size_t to) {
    fields_.push_back(RecordViewAccess::MakeField(tag, std::string_view(p_ + from, to - from),
                                                  indicators_, code_length_));
  }

  // The common case: every entry names a field inside the data that ends
  // with its terminator. False, with some fields added, otherwise.
  bool ByDirectory() {
    for (std::size_t i = 0; i < entries_; ++i) {
      std::size_t start = 0, length = 0;
      if (Entry(i)[0] == kFieldTerminator || !Decode(i, &start, &length) || length == 0 ||
          start >= data_end_ || length > data_end_ - start ||
          p_[start + length - 1] != kFieldTerminator) {
        return false;
      }
      Add(Entry(i), start, start + length - 1);
    }
    return true;
  }

  // How many fields the data holds when cut at field terminators.
  std::size_t Segments() const {
    std::size_t n = 0;
    const char* p = p_ + base_;
    const char* const end = p_ + data_end_;
    while (p < end) {
      const void* t = std::memchr(p, kFieldTerminator, static_cast<std::size_t>(end - p));
      ++n;
      if (t == nullptr) break;
      p = static_cast<const char*>(t) + 1;
    }
    return n;
  }

  // Fields cut at field terminators, tagged by the directory in order:
  // records over 99,999 bytes, whose positions five digits cannot state.
  //
  // A terminator that follows another ends an empty piece. It is an empty
  // field where a directory entry (of digits) stands for it, as in records
  // written with unstated lengths; past the entries, or where they are no
  // entries, it is no field: a record of millions of terminators would
  // otherwise be millions of fields of nothing, 32 bytes each for one byte
  // of input, where the entries bound them to one per 12 bytes. The pieces
  // skipped still take their entry's place, so the fields after them keep
  // their tags, and one problem counts them.
  void BySplitting() {
    Report(Problem::Kind::kDirectorySplit, base_, -1, nullptr, entries_);
    std::size_t pos = base_, i = 0, empty = 0, first_empty = 0;
    while (pos < data_end_) {
      if (p_[pos] == kFieldTerminator) {
        DirectoryEntry e;
        if (i < entries_ && DirectoryEntry::Decode(Entry(i), &e)) {
          Add(Entry(i), pos, pos);
        } else if (empty++ == 0) {
          first_empty = pos;
        }
        ++i;
        ++pos;
        if (i >= entries_) {  // past the entries: the rest of a run, eight at a time
          const std::size_t from = pos;
          while (data_end_ - pos >= 8 && word_scan::Load8(p_ + pos) == kEightTerminators) pos += 8;
          if (empty == 0 && pos != from) first_empty = from;
          empty += pos - from;
          i += pos - from;
        }
        continue;
      }
      const void* t = std::memchr(p_ + pos, kFieldTerminator, data_end_ - pos);
      const std::size_t end =
          t ? static_cast<std::size_t>(static_cast<const char*>(t) - p_) : data_end_;
      const char* tag = i < entries_ ? Entry(i) : kNoTag;
      if (t == nullptr) {
        Report(Problem::Kind::kMissingFieldTerminator, pos, static_cast<std::int32_t>(i), tag);
      }
      Add(tag, pos, end);
      ++i;
      pos = end + 1;
    }
    if (empty != 0) {
      Report(Problem::Kind::kEmptyFieldsSkipped, first_empty, -1, nullptr, empty);
    }
  }

  // Every readable field by its entry (when `add`); the others reported.
  void ByGoodEntries(bool add) {
    for (std::size_t i = 0; i < entries_; ++i) {
      const char* tag = Entry(i);
      const std::int32_t entry = static_cast<std::int32_t>(i);
      std::size_t start = 0, length = 0;
      // A terminator where an entry starts ends the directory for readers
      // that look for it there rather than at the base address.
      const bool early_end = tag[0] == kFieldTerminator;
      const bool decoded = Decode(i, &start, &length);
      if (early_end || !decoded) {
        Report(Problem::Kind::kBadDirectoryEntry, kLeaderLength + i * kDirectoryEntryLength, entry,
               tag);
        if (!decoded) continue;
      }
      if (start > data_end_ || length > data_end_ - start) {
        Report(Problem::Kind::kFieldOutOfRecord, kLeaderLength + i * kDirectoryEntryLength, entry,
               tag, length);
        if (start >= data_end_) continue;
        length = data_end_ - start;  // what is inside the record is kept
      } else if (length == 0 || p_[start + length - 1] != kFieldTerminator) {
        Report(Problem::Kind::kMissingFieldTerminator, start, entry, tag);
      } else {
        --length;  // the terminator
      }
      if (add) Add(tag, start, start + length);
    }
  }

  const char* const p_;
  const std::size_t size_;
  const std::uint64_t offset_;
  std::vector<FieldView>& fields_;
  std::vector<Problem>& problems_;
  unsigned indicators_ = 2;
  unsigned code_length_ = 2;
  std::size_t data_end_ = 0;  // the record terminator, or the end
  std::size_t base_ = 0;
  std::size_t entries_ = 0;
};

}  // namespace

void ParseRecord(const char* data, std::size_t size, std::uint64_t offset,
                 std::vector<FieldView>& fields, std::vector<Problem>& problems) {
  RecordParser(data, size, offset, fields, problems).Run();
}

}  // namespace quillet
