#include "views/record_parser.h"

#include <cstdint>
#include <cstring>

#include "common/digits.h"
#include "quillet/iso2709.h"
#include "quillet/quillet.h"

namespace quillet {

using namespace iso2709;

namespace {

// The tag of fields found past the last directory entry when the data is
// split at field terminators.
constexpr char kNoTag[] = "???";

// The first subfield delimiter or field terminator in [p, end), or end.
// The two differ only in their lowest bit, so one masked compare per byte
// finds both; eight bytes are tested at a time where they can be.
const char* FindSeparator(const char* p, const char* end) {
  static_assert((kSubfieldDelimiter & 0xFE) == kFieldTerminator, "separators share 7 bits");
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kTerminators = kOnes * static_cast<unsigned char>(kFieldTerminator);
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t x = (word & (kOnes * 0xFE)) ^ kTerminators;
    if (((x - kOnes) & ~x & (kOnes * 0x80)) != 0) break;  // a separator among these eight
    p += 8;
  }
  while (p < end && (*p & 0xFE) != kFieldTerminator) ++p;
  return p;
}

// Leader/10 and leader/11 when they are digits (a subfield identifier
// holds at least its delimiter, so a code length of 0 is not taken); 2
// otherwise.
unsigned LeaderDigit(char c, unsigned least) {
  return c >= '0' + static_cast<int>(least) && c <= '9' ? static_cast<unsigned>(c - '0') : 2;
}

class RecordParse {
 public:
  RecordParse(const char* data, std::size_t size, std::uint64_t offset,
              std::vector<FieldView>& fields, std::vector<Problem>& problems)
      : p_(data), size_(size), offset_(offset), fields_(fields), problems_(problems) {}

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
    problems_.push_back(p);
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
    const char* e = Entry(i);
    std::size_t rel = 0;
    static_assert(kFieldLengthWidth == 4 && kStartPositionWidth == 5, "entry widths");
    if (!ReadFourDigits(e + kTagWidth, length) ||
        !ReadFiveDigits(e + kTagWidth + kFieldLengthWidth, &rel)) {
      return false;
    }
    *start = base_ + rel;
    return true;
  }

  void Add(const char* tag, std::size_t from, std::size_t to) {
    fields_.push_back(RecordParser::MakeField(tag, std::string_view(p_ + from, to - from),
                                              indicators_, code_length_));
  }

  // The common case: every entry names a field inside the data that ends
  // with its terminator. False, with some fields added, otherwise.
  bool ByDirectory() {
    for (std::size_t i = 0; i < entries_; ++i) {
      std::size_t start = 0, length = 0;
      if (Entry(i)[0] == kFieldTerminator || !Decode(i, &start, &length) || length == 0 ||
          start >= data_end_ ||
          length > data_end_ - start || p_[start + length - 1] != kFieldTerminator) {
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
  void BySplitting() {
    Report(Problem::Kind::kDirectorySplit, base_, -1, nullptr, entries_);
    std::size_t pos = base_, i = 0;
    while (pos < data_end_) {
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
        Report(Problem::Kind::kBadDirectoryEntry, kLeaderLength + i * kDirectoryEntryLength,
               entry, tag);
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

// The checks of data fields' content, made when problems are first asked
// for: the indicators are there, a delimiter follows them, each delimiter is
// followed by a code, and no field terminator stands inside the content
// (readers that stop at the first terminator, or take a second delimiter for
// a code, would see other subfields).
class ContentCheck {
 public:
  ContentCheck(const char* record, std::size_t size, std::uint64_t offset,
               std::vector<Problem>& problems)
      : p_(record), size_(size), offset_(offset), problems_(problems) {
    indicators_ = size >= kLeaderLength ? LeaderDigit(p_[kIndicatorCountOffset], 0) : 2;
  }

  void Field(const FieldView& f) {
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
    while ((p = FindSeparator(p, end)) != end) {
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

 private:
  void Report(Problem::Kind kind, const char* at, std::int32_t entry, const char* tag,
              std::uint64_t value) {
    Problem problem = MakeProblem(kind, offset_ + static_cast<std::uint64_t>(at - p_), value);
    problem.entry = entry;
    std::memcpy(problem.tag, tag, 3);
    problems_.push_back(problem);
  }

  const char* const p_;
  const std::size_t size_;
  const std::uint64_t offset_;
  std::vector<Problem>& problems_;
  unsigned indicators_;
};

}  // namespace

void RecordParser::CheckContent(const RecordView& rec) {
  if (rec.content_checked_) return;
  rec.content_checked_ = true;
  ContentCheck check(rec.data_, rec.size_, rec.offset_, rec.problems_);
  for (const FieldView& f : rec.fields_) check.Field(f);
  // Framing, directory and content problems were found in that order; they
  // are listed in the input's.
  // An insertion sort: the lists are short, and std::stable_sort would
  // allocate a buffer.
  std::vector<Problem>& list = rec.problems_;
  for (std::size_t i = 1; i < list.size(); ++i) {
    const Problem p = list[i];
    std::size_t j = i;
    for (; j > 0 && list[j - 1].offset > p.offset; --j) list[j] = list[j - 1];
    list[j] = p;
  }
}

Span<Problem> RecordView::problems() const {
  RecordParser::CheckContent(*this);
  return Span<Problem>(problems_.data(), problems_.data() + problems_.size());
}

Problem MakeProblem(Problem::Kind kind, std::uint64_t offset, std::uint64_t value) {
  Problem p;
  p.kind = kind;
  p.offset = offset;
  p.entry = -1;
  std::memcpy(p.tag, "   ", 3);
  p.value = value;
  return p;
}

void RecordParser::Parse(const char* data, std::size_t size, std::uint64_t offset,
                         RecordView& rec) {
  rec.data_ = data;
  rec.size_ = size;
  rec.offset_ = offset;
  rec.fields_.clear();
  RecordParse(data, size, offset, rec.fields_, rec.problems_).Run();
}

RecordView RecordView::parse(const char* bytes, std::size_t size) {
  return parse(bytes, size, 0, Span<Problem>(nullptr, nullptr));
}

RecordView RecordView::parse(const char* bytes, std::size_t size, std::uint64_t offset,
                             Span<Problem> framing) {
  RecordView rec;
  if (bytes == nullptr) size = 0;
  rec.problems_.assign(framing.begin(), framing.end());
  RecordParser::Parse(bytes, size, offset, rec);
  return rec;
}

RecordView::RecordView(const Record& record) {
  RecordParser::Parse(record.getData(), record.getDatalen(), 0, *this);
}

}  // namespace quillet
