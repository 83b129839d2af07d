#ifndef QUILLET_VIEW_H_
#define QUILLET_VIEW_H_

/// @file
/// The second way to read: record views in file order and a tolerant
/// reader, for real-world files.
///
/// A quillet::Reader frames records from a file, a stream or a block of
/// memory; every record it gives is a quillet::RecordView whose fields and
/// subfields are views of the input's bytes, in the order the record holds
/// them, empty subfields included. Damage never throws: the reader repairs
/// what it can (a wrong record length, junk between records, a directory
/// that cannot address its fields) and lists each repair as a
/// quillet::Problem on the record it concerns.
///
/// Lifetimes: a RecordView, and every FieldView and SubfieldView taken from
/// it, points into the reader's buffer (or the caller's memory) and is valid
/// until the next Reader::next() into any record of that reader, or until
/// the reader or the memory goes away.
///
/// @code
///   quillet::Reader reader("records.mrc");
///   quillet::RecordView rec;
///   while (reader.next(rec)) {
///     for (quillet::FieldView f : rec.fields("245"))
///       std::cout << rec.controlNumber() << ' ' << f.subfield('a') << '\n';
///     for (const quillet::Problem& p : rec.problems())
///       std::cerr << p.offset << ": " << p.describe() << '\n';
///   }
/// @endcode

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillet/detail/delimiter_mask.h"
#include "quillet/export.h"

namespace quillet {

class Record;

/// True when `tag` (three bytes) matches `pattern`: three characters, each
/// either the byte itself or a wildcard, X, x or a full stop; so 6XX, 6.. and
/// 245 as catalogers write them. A pattern of another length matches
/// nothing.
QUILLET_EXPORT bool tagMatches(std::string_view pattern, std::string_view tag) noexcept;

/// True when `pattern` is three characters long, the only shape that can
/// match a tag.
QUILLET_EXPORT bool isTagPattern(std::string_view pattern) noexcept;

/// Why input that starts with `head` (its first bytes; 64 are plenty) is not
/// ISO 2709, in words for the user, naming what it looks like and how it
/// starts. Empty when it may be ISO 2709. Recognises MARCXML, mnemonic text
/// (=LDR), JSON and gzip data.
QUILLET_EXPORT std::string nonIso2709Reason(std::string_view head);

/// The formats records are read from.
enum class InputFormat : std::uint8_t {
  kAuto,      ///< told from the input's first bytes by detectFormat()
  kIso2709,   ///< the exchange format (binary MARC)
  kMarcXml,   ///< MARCXML: a collection of records, or one record
  kJson,      ///< MARC-in-JSON: one object, an array of them, or JSON lines
  kMnemonic,  ///< mnemonic text: =LDR, =245  10$a...
};

/// The format of input that starts with `head` (its first bytes; a few
/// hundred are plenty, and the uncompressed ones for gzip data): ISO 2709
/// when it starts with a record length's digits or holds a field or record
/// terminator (no text format does: junk before records may look like
/// text), MARCXML with `<`, JSON with `{` or `[`, mnemonic text with `=LDR`,
/// after a byte order mark and white space. InputFormat::kAuto when it is none of them; empty input
/// is ISO 2709 (a file of no records).
QUILLET_EXPORT InputFormat detectFormat(std::string_view head) noexcept;

/// The name of `format` for the user: "ISO 2709", "MARCXML", "MARC-in-JSON",
/// "mnemonic text"; "auto" for kAuto.
QUILLET_EXPORT const char* inputFormatName(InputFormat format) noexcept;

/// The words for an input in which no record of `format` was found, from its
/// first bytes `head` (a few dozen are plenty), for the user: "no ISO 2709
/// record found (it looks like MARCXML)", "no MARCXML record found (it
/// starts with \"root:x:0:0:root:\")".
QUILLET_EXPORT std::string noRecordMessage(InputFormat format, std::string_view head);

/// The input format named `name`, in any case: "auto"; "marc", "iso2709",
/// "usmarc" (ISO 2709); "xml", "marcxml"; "json"; "mrk", "mnemonic". False,
/// and `format` unchanged, for any other name.
QUILLET_EXPORT bool parseInputFormat(std::string_view name, InputFormat* format) noexcept;

/// One repair or damage the reader found, on the record it concerns.
///
/// A plain value: copy it freely. Offsets are counted in the input's bytes
/// (for compressed input, in the uncompressed stream).
struct QUILLET_EXPORT Problem {
  /// What was found. The message() of each is fixed English text.
  enum class Kind : std::uint8_t {
    kJunkSkipped,     ///< bytes before the record that are no record; skipped
    kLengthRepaired,  ///< the declared length was wrong; the record ends at its terminator
    kLongRecord,      ///< a record over 99,999 bytes, whose length five digits cannot state
    kMissingRecordTerminator,  ///< the record does not end with 0x1D
    kTruncated,                ///< the input ends inside the record
    kBadLength,                ///< strict mode: the declared length is unusable; reading stops
    kBadBaseAddress,           ///< the base address does not point after the directory
    kDirectorySplit,           ///< the directory cannot address the fields; split at terminators
    kBadDirectoryEntry,        ///< an entry that is not digits, or cut short
    kFieldOutOfRecord,         ///< a field reaching past the record; cut at its end
    kMissingFieldTerminator,   ///< a field that does not end with 0x1E
    kShortDataField,           ///< a data field shorter than its indicators
    kNoSubfields,              ///< a data field with no subfield delimiter after its indicators
    kSubfieldWithoutCode,      ///< a delimiter followed by another or by the field's end
    kTerminatorInField,        ///< a field terminator inside a data field's content
    kReadError,                ///< the input could not be read on; reading stops
    // Records read from text formats (MARCXML, MARC-in-JSON, mnemonic text):
    kMalformed,       ///< text the format's syntax does not allow; `detail` says what
    kUnknownContent,  ///< an element, key or line the format does not define; skipped
    kBadField,        ///< a field that cannot be taken as it stands; `detail` says how it was read
    kUnbuildable,     ///< a record that cannot be written as ISO 2709; skipped
    kMoreProblems,    ///< the record's problems past the first kMaxListed; `value` counts them
    /// Field terminators that follow another where the data is split at
    /// them: empty pieces no directory entry stands for, not kept as
    /// fields; `value` counts them
    kEmptyFieldsSkipped,
  };

  /// The most problems a record lists one by one; the rest are counted by
  /// one Problem::Kind::kMoreProblems, so that a record of millions of
  /// damaged fields costs no more memory for its problems than a sound one.
  static constexpr std::size_t kMaxListed = 100;

  /// What was found.
  Kind kind;
  /// Byte offset of the damage in the input.
  std::uint64_t offset;
  /// The directory entry concerned (0 for the first), or -1.
  std::int32_t entry;
  /// The tag of the field concerned, or three blanks.
  char tag[3];
  /// A number that goes with the kind: the bytes skipped, the declared
  /// record length, the field's length; 0 when none.
  std::uint64_t value;
  /// For text formats, the line of the damage (from 1); 0 for ISO 2709
  /// input.
  std::uint32_t line = 0;
  /// For text formats, the column of the damage (from 1, in bytes); 0 for
  /// ISO 2709 input.
  std::uint32_t column = 0;
  /// Words that go with the kind (what a parser found, the element
  /// skipped), valid UTF-8; empty for most kinds.
  std::string detail;

  /// The fixed English message of the kind, e.g. "record length repaired".
  const char* message() const noexcept;
  /// The message with its particulars: "junk skipped (12 bytes)",
  /// "record length repaired (declared 99999, actual 123456)",
  /// "bad directory entry (entry 3, tag 245)", "malformed input
  /// (line 3, column 7: mismatched end tag)".
  std::string describe() const;
};

/// One subfield: its code and its value, which may be empty.
///
/// A view into the record's bytes (see the file's lifetime rule); a plain
/// value, copied freely.
class QUILLET_EXPORT SubfieldView {
 public:
  /// A view of no bytes, code '\0'.
  SubfieldView() = default;
  /// The subfield code; '\0' when the record's subfield code length is 1.
  char code() const { return code_; }
  /// The data after the code, up to the next delimiter or the field's end.
  std::string_view value() const { return value_; }

 private:
  friend class SubfieldIterator;
  SubfieldView(char code, std::string_view value) : code_(code), value_(value) {}
  char code_ = '\0';
  std::string_view value_;
};

/// Walks the subfields of a data field in order; an input iterator whose
/// values are SubfieldView. operator* returns a reference to the
/// iterator's own current value, so a reference does not outlive the next
/// increment of that iterator; copy the SubfieldView to keep it.
class QUILLET_EXPORT SubfieldIterator {
 public:
  using iterator_category = std::input_iterator_tag;  ///< Iterator trait.
  using value_type = SubfieldView;                    ///< Iterator trait.
  using difference_type = std::ptrdiff_t;             ///< Iterator trait.
  using pointer = const SubfieldView*;                ///< Iterator trait.
  using reference = const SubfieldView&;              ///< Iterator trait.

  /// The end of any range.
  SubfieldIterator() = default;
  const SubfieldView& operator*() const { return current_; }    ///< The current subfield.
  const SubfieldView* operator->() const { return &current_; }  ///< The current subfield.
  /// Moves to the next subfield.
  SubfieldIterator& operator++() noexcept {
    if (next_ == end_) {
      at_ = nullptr;
      return *this;
    }
    at_ = next_;
    findNext();
    load();
    return *this;
  }
  /// Moves to the next subfield; returns the iterator before the move.
  SubfieldIterator operator++(int) noexcept {
    SubfieldIterator before = *this;
    ++*this;
    return before;
  }
  /// Equal when both stand at the same subfield, or both at the end.
  friend bool operator==(const SubfieldIterator& a, const SubfieldIterator& b) {
    return a.at_ == b.at_;
  }
  /// Not operator==.
  friend bool operator!=(const SubfieldIterator& a, const SubfieldIterator& b) {
    return a.at_ != b.at_;
  }

 private:
  friend class FieldView;
  // The subfields whose delimiters stand in [from, end).
  SubfieldIterator(const char* from, const char* end, unsigned code_length) noexcept
      : end_(end), code_length_(code_length) {
    if (from >= end) return;
    block_ = from;
    mask_ = detail::DelimiterMask(from, Span64(from));
    findNext();
    if (next_ == end_) return;  // no delimiter: no subfield
    at_ = next_;
    findNext();
    load();
  }

  std::size_t Span64(const char* p) const {
    const std::size_t left = static_cast<std::size_t>(end_ - p);
    return left < 64 ? left : 64;
  }
  // The delimiter after at_, from the mask of the 64 bytes at block_.
  void findNext() noexcept {
    while (mask_ == 0) {
      if (end_ - block_ <= 64) {
        next_ = end_;
        return;
      }
      block_ += 64;
      mask_ = detail::DelimiterMask(block_, Span64(block_));
    }
    next_ = block_ + detail::LowestBit(mask_);
    mask_ &= mask_ - 1;
  }
  // The view of the subfield at at_: its code, then its value up to next_.
  void load() noexcept {
    const char* const from = at_ + 1;
    if (code_length_ == 2 && from != next_) {  // the usual one-byte code
      current_ = SubfieldView(
          *from, std::string_view(from + 1, static_cast<std::size_t>(next_ - from - 1)));
      return;
    }
    const std::size_t room = static_cast<std::size_t>(next_ - from);
    const std::size_t code_bytes = code_length_ == 0 ? 0 : code_length_ - 1;
    const std::size_t skip = code_bytes < room ? code_bytes : room;
    current_ = SubfieldView(code_bytes != 0 && room != 0 ? *from : '\0',
                            std::string_view(from + skip, room - skip));
  }

  const char* at_ = nullptr;    // the current delimiter; null at the end
  const char* next_ = nullptr;  // the next delimiter, or end_
  const char* end_ = nullptr;
  const char* block_ = nullptr;  // the 64 bytes mask_ describes start here
  std::uint64_t mask_ = 0;       // delimiters in that block after next_
  unsigned code_length_ = 2;
  SubfieldView current_;
};

/// A range of subfields, for range-for.
class QUILLET_EXPORT SubfieldRange {
 public:
  SubfieldRange() = default;
  /// The subfields from `begin` to the end of the field.
  SubfieldRange(SubfieldIterator begin) : begin_(begin) {}
  SubfieldIterator begin() const { return begin_; }            ///< The first subfield.
  SubfieldIterator end() const { return SubfieldIterator(); }  ///< The end of the subfields.
  /// True when the field has no subfield.
  bool empty() const { return begin_ == SubfieldIterator(); }

 private:
  SubfieldIterator begin_;
};

/// One variable field, in the record's directory order.
///
/// A view into the record's bytes (see the file's lifetime rule); a plain
/// value, copied freely. Control or data field is decided by the tag, as the
/// MARC formats define it: tags 00X are control fields.
class QUILLET_EXPORT FieldView {
 public:
  /// No field: tag of three blanks, no data.
  FieldView() = default;

  /// The three bytes of the tag.
  std::string_view tag() const { return std::string_view(tag_, 3); }
  /// True for tags 001 to 009 (and 000): the control fields.
  bool isControl() const { return tag_[0] == '0' && tag_[1] == '0'; }
  /// True when the tag matches `pattern` (see tagMatches()).
  bool matches(std::string_view pattern) const { return tagMatches(pattern, tag()); }
  /// The content without the field terminator.
  std::string_view data() const { return data_; }

  /// The indicators: the first indicator-count bytes of a data field (fewer
  /// when the field is shorter), empty for a control field.
  std::string_view indicators() const {
    return isControl() ? std::string_view() : data_.substr(0, indicator_count_);
  }
  /// The first indicator, or a blank when there is none.
  char indicator1() const {
    return !isControl() && indicator_count_ >= 1 && data_.size() >= 1 ? data_[0] : ' ';
  }
  /// The second indicator, or a blank when there is none.
  char indicator2() const {
    return !isControl() && indicator_count_ >= 2 && data_.size() >= 2 ? data_[1] : ' ';
  }
  /// The subfields of a data field, in order, empty ones included; they
  /// start at the first delimiter after the indicators. None for a control
  /// field.
  SubfieldRange subfields() const {
    if (isControl() || data_.size() <= indicator_count_) return SubfieldRange();
    return SubfieldRange(SubfieldIterator(data_.data() + indicator_count_,
                                          data_.data() + data_.size(), code_length_));
  }
  /// The value of the first subfield coded `code`, or an empty view.
  std::string_view subfield(char code) const;
  /// True when the field has a subfield coded `code`.
  bool hasSubfield(char code) const;

 private:
  friend struct RecordViewAccess;
  FieldView(const char* tag, std::string_view data, unsigned indicator_count, unsigned code_length)
      : tag_(tag),
        data_(data),
        indicator_count_(static_cast<std::uint8_t>(indicator_count)),
        code_length_(static_cast<std::uint8_t>(code_length)) {}

  const char* tag_ = "   ";
  std::string_view data_;
  std::uint8_t indicator_count_ = 2;
  std::uint8_t code_length_ = 2;
};

/// The fields of a record with a tag pattern, for range-for.
class QUILLET_EXPORT TaggedFields {
 public:
  /// Walks the fields in [begin, end) whose tag matches `pattern`.
  class QUILLET_EXPORT Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;  ///< Iterator trait.
    using value_type = FieldView;                         ///< Iterator trait.
    using difference_type = std::ptrdiff_t;               ///< Iterator trait.
    using pointer = const FieldView*;                     ///< Iterator trait.
    using reference = const FieldView&;                   ///< Iterator trait.

    /// The first matching field at or after `at`.
    Iterator(const FieldView* at, const FieldView* end, std::string_view pattern)
        : at_(at), end_(end), pattern_(pattern) {
      skip();
    }
    const FieldView& operator*() const { return *at_; }  ///< The current field.
    const FieldView* operator->() const { return at_; }  ///< The current field.
    /// Moves to the next matching field.
    Iterator& operator++() {
      ++at_;
      skip();
      return *this;
    }
    /// Equal when both stand at the same field.
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.at_ == b.at_; }
    /// Not operator==.
    friend bool operator!=(const Iterator& a, const Iterator& b) { return a.at_ != b.at_; }

   private:
    void skip() {
      while (at_ != end_ && !at_->matches(pattern_)) ++at_;
    }
    const FieldView* at_;
    const FieldView* end_;
    std::string_view pattern_;
  };

  /// The fields in [begin, end) whose tag matches `pattern`.
  TaggedFields(const FieldView* begin, const FieldView* end, std::string_view pattern)
      : begin_(begin), end_(end), pattern_(pattern) {}
  /// The first matching field.
  Iterator begin() const { return Iterator(begin_, end_, pattern_); }
  Iterator end() const { return Iterator(end_, end_, pattern_); }  ///< The end.

 private:
  const FieldView* begin_;
  const FieldView* end_;
  std::string_view pattern_;
};

/// A contiguous range of T, for range-for.
template <typename T>
class Span {
 public:
  /// The elements in [begin, end).
  Span(const T* begin, const T* end) : begin_(begin), end_(end) {}
  const T* begin() const { return begin_; }  ///< The first element.
  const T* end() const { return end_; }      ///< Past the last element.
  /// The number of elements.
  std::size_t size() const { return static_cast<std::size_t>(end_ - begin_); }
  bool empty() const { return begin_ == end_; }  ///< True when there is none.
  /// Element i; REQUIRES: i < size().
  const T& operator[](std::size_t i) const { return begin_[i]; }

 private:
  const T* begin_;
  const T* end_;
};

/// One record: its bytes, leader, fields in directory order, and the
/// problems found in it.
///
/// The views it hands out point into the input (see the file's lifetime
/// rule). The object itself keeps two small lists (fields, problems) whose
/// room is reused from one next() to the next, so a warm loop allocates
/// nothing. Copyable and movable; one thread at a time.
class QUILLET_EXPORT RecordView {
 public:
  /// No record: no bytes, no fields.
  RecordView() = default;
  /// A view of a classic Record's bytes, parsed by the same rules as the
  /// reader's records; valid while `record` holds the same bytes.
  explicit RecordView(const Record& record);
  /// One record in memory: `bytes` holds the record and nothing else (the
  /// record terminator included, when it has one); its declared length is
  /// not consulted. Never throws for damaged bytes.
  static RecordView parse(const char* bytes, std::size_t size);
  /// As parse(bytes, size), for a record framed elsewhere: it stands at
  /// `offset` in its input, and `framing` holds the problems found while
  /// framing it (see Reader::Options::fields), which problems() lists too.
  /// For handing records to other threads: copy the bytes and framing
  /// problems, parse there.
  static RecordView parse(const char* bytes, std::size_t size, std::uint64_t offset,
                          Span<Problem> framing);

  /// The record's offset in the reader's input (0 for parse()).
  std::uint64_t offset() const { return offset_; }
  /// The record's bytes, leader first, record terminator included.
  std::string_view bytes() const { return std::string_view(data_, size_); }
  /// The first 24 bytes (fewer for a record cut short).
  std::string_view leader() const;
  /// The content of the first 001, or an empty view when there is none.
  std::string_view controlNumber() const;
  /// Writes the MD5 digest of bytes() to `digest`.
  void md5(unsigned char digest[16]) const;

  /// Every field, in directory order.
  Span<FieldView> fields() const {
    return Span<FieldView>(fields_.data(), fields_.data() + fields_.size());
  }
  /// The fields whose tag matches `pattern` (see tagMatches()), in order.
  TaggedFields fields(std::string_view pattern) const {
    return TaggedFields(fields_.data(), fields_.data() + fields_.size(), pattern);
  }
  /// The first field whose tag matches `pattern`, or null.
  const FieldView* field(std::string_view pattern) const;

  /// What the reader repaired or could not read, in input order; empty for
  /// a clean record. The framing and directory are checked when the record
  /// is read; the content of data fields (indicators, subfield delimiters)
  /// on the first call, so a walk that never asks pays nothing for it.
  Span<Problem> problems() const;

 private:
  friend struct RecordViewAccess;

  const char* data_ = nullptr;
  std::size_t size_ = 0;
  std::uint64_t offset_ = 0;
  std::vector<FieldView> fields_;
  mutable std::vector<Problem> problems_;
  mutable bool content_checked_ = false;
};

/// Frames the records of an input, tolerating damage.
///
/// Gzip data (recognised by its first two bytes) is read through, members
/// one after another; offsets are then those of the uncompressed bytes, and
/// data cut short ends the input with Problem::Kind::kReadError.
///
/// Owns its buffer (or its mapping of a file); the views of the records it
/// gives are valid until the next next(). Not copyable, movable. One thread
/// at a time.
class QUILLET_EXPORT Reader {
 public:
  /// How records are framed.
  struct Options {
    /// Frame records by their declared length only, as the classic
    /// interface does: a length that is not a number of at least 25 ends the
    /// input (Problem::Kind::kBadLength on reader.problems()).
    bool strict = false;
    /// The longest record looked for: a record whose terminator is not found
    /// within this many bytes is cut there. Also bounds the memory used for
    /// streams.
    std::size_t max_record_size = std::size_t{16} << 20;
    /// How many bytes a stream or pipe is read in at a time.
    std::size_t chunk_size = std::size_t{256} << 10;
    /// Take each record apart. When false, next() only frames: the record
    /// has its bytes, offset and framing problems but no fields, to be
    /// parsed later, perhaps on another thread, by RecordView::parse().
    bool fields = true;
    /// The input's format. Records of text formats are built as ISO 2709
    /// bytes, which the views read like any other; their offset is where
    /// their text starts, and problems found in the text carry its line and
    /// column. With kAuto the format is told from the first bytes (ISO 2709
    /// when they say nothing).
    InputFormat format = InputFormat::kIso2709;
  };

  /// Reads the file at `path` in chunks, with bounded memory: regular files,
  /// pipes, FIFOs and /dev/stdin alike.
  /// @throws std::system_error when the file cannot be opened.
  explicit Reader(const std::string& path);
  /// As Reader(path), with options.
  Reader(const std::string& path, const Options& options);
  /// Reads `in` in chunks, with bounded memory; `in` must outlive the reader.
  explicit Reader(std::istream& in);
  /// As Reader(in), with options.
  Reader(std::istream& in, const Options& options);
  /// Reads the `size` bytes at `data`, which must outlive the reader.
  Reader(const char* data, std::size_t size);
  /// As Reader(data, size), with options.
  Reader(const char* data, std::size_t size, const Options& options);
  ~Reader();
  /// Takes over the other reader's input; `other` may only be destroyed.
  Reader(Reader&& other) noexcept;
  /// Takes over the other reader's input.
  Reader& operator=(Reader&& other) noexcept;

  /// Frames the next record into `rec`; false at the end of the input, or
  /// after a read error or, in strict mode, an unusable length (see
  /// problems()). Never throws for damaged input (std::bad_alloc may).
  bool next(RecordView& rec);

  /// Problems that belong to no record: junk after the last record, a read
  /// error, strict mode's unusable length.
  Span<Problem> problems() const;
  /// The system's words for a read error (Problem::Kind::kReadError), or
  /// empty.
  const std::string& readError() const;
  /// The first `n` bytes of the input (fewer when it is shorter), read
  /// ahead without being consumed: for telling what kind of input it is
  /// before the first next(). Valid until next().
  std::string_view head(std::size_t n);
  /// The number of input bytes framed so far.
  std::uint64_t position() const;
  /// The format being read: the one asked for, or the one detected (which
  /// may look at the input first).
  InputFormat format();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillet

#endif  // QUILLET_VIEW_H_
