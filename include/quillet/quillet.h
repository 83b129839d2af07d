#ifndef QUILLET_QUILLET_H_
#define QUILLET_QUILLET_H_

/// @file
/// QuilletLib: a reader of bibliographic records in the ISO 2709 exchange
/// format (MARC 21, UNIMARC and their kin).
///
/// A quillet::Record copies one record's bytes into a buffer it owns; every
/// field and subfield it hands out is a pointer and a length into that
/// buffer, valid until the record is read into again or destroyed. The
/// directory is parsed on the first field query, a data field's subfields on
/// the first subfield query. Every error is thrown as quillet::MrcException.
///
/// Threads: distinct records share nothing, but queries fill caches, so one
/// Record, and everything it hands out, is used by one thread at a time.
///
/// @code
///   std::ifstream in(path, std::ios::binary);
///   quillet::Record rec;
///   while (in >> rec) { /* rec holds the next record */ }
/// @endcode
///
/// The trivial accessors are defined in this header so that callers pay no
/// call for them; the library exports a copy of each as well.

#include <cstddef>
#include <exception>
#include <iosfwd>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "quillet/export.h"

/// Everything QuilletLib offers.
namespace quillet {

/// The one exception type of the library.
///
/// what() is one of a fixed set of English messages, such as
/// "Invalid record length" or "Field out of buffer." (the README lists them
/// all). Derived from std::exception, so a handler for that catches it too.
/// Each copy owns its own message.
class QUILLET_EXPORT MrcException : public std::exception {
 public:
  /// Stores a copy of `message`.
  MrcException(const std::string& message);
  /// Copies the message.
  MrcException(const MrcException& other);
  /// Copies the message.
  MrcException& operator=(const MrcException& other);
  virtual ~MrcException();

  /// The message; valid while this exception object lives.
  virtual const char* what() const noexcept override;

 private:
  std::string message_;
};

/// A three-character field tag (001, 245, ...) packed into one integer:
/// (c0 << 16) | (c1 << 8) | c2, each character taken as an unsigned byte.
///
/// Tags order by that integer, so numeric tags sort numerically and digits
/// before letters; the value 0 stands for no tag. A plain value: copy it
/// freely, use it from any thread.
class QUILLET_EXPORT FieldTag {
 public:
  /// Packs the first three bytes of `tag`; no terminator is looked for, so
  /// exactly three bytes are read. A null `tag` gives the value 0.
  FieldTag(const char* tag);

  /// Writes the three characters and a NUL to `out`, which must have room
  /// for 4 bytes, and returns `out`.
  /// @throws MrcException "FieldTag::ToAscii() Error. !pcTag" when `out` is null.
  char* ToAscii(char* out) const;

  /// Copies the packed value.
  FieldTag(const FieldTag& other) = default;
  /// Copies the packed value.
  FieldTag& operator=(const FieldTag& other);

  /// Orders by the packed value: byte by byte from the first character.
  friend bool operator<(const FieldTag& a, const FieldTag& b) { return a.tag_ < b.tag_; }
  /// Equal when all three characters are.
  friend bool operator==(const FieldTag& a, const FieldTag& b) { return a.tag_ == b.tag_; }
  /// Different when any character is.
  friend bool operator!=(const FieldTag& a, const FieldTag& b) { return a.tag_ != b.tag_; }

 private:
  int tag_;
};

/// One subfield of a data field: a view of its data inside the record buffer.
///
/// The subfield code is not stored: it is the byte just before the data.
/// Subfields handed out by a DataField are owned by it; they are valid while
/// the record holds the same bytes (until it is read into again or
/// destroyed). The data is not NUL-terminated.
class QUILLET_EXPORT Subfield {
 public:
  /// A view of `datalen` bytes at `data`, whose code is the byte at data - 1.
  Subfield(const char* data, unsigned int datalen);
  /// Copies the data pointer and length.
  Subfield(const Subfield& other);
  /// Copies the data pointer and length.
  Subfield& operator=(const Subfield& other);

  /// The subfield code: the byte before the data.
  char getCode() const { return data_[-1]; }
  /// The first data byte (the byte after the code); not NUL-terminated.
  const char* getData() const { return data_; }
  /// The number of data bytes; at least 1 for subfields of a parsed field.
  unsigned int getDatalen() const { return datalen_; }

  /// Subfields are made and freed by the dozen per record, so their blocks
  /// are kept in small per-thread stacks for reuse; any thread may free one.
  static void* operator new(std::size_t size);
  /// Keeps the block for reuse on the calling thread, or frees it.
  static void operator delete(void* block, std::size_t size) noexcept;
  /// As operator new, but null instead of std::bad_alloc.
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  /// Frees a block of the nothrow form whose constructor threw.
  static void operator delete(void* block, const std::nothrow_t&) noexcept;
  /// Construction in the caller's storage.
  static void* operator new(std::size_t, void* place) noexcept { return place; }
  /// Matches the placement form; frees nothing.
  static void operator delete(void*, void*) noexcept {}
  /// Over-aligned derived classes get their blocks from the global allocator.
  static void* operator new(std::size_t size, std::align_val_t align) {
    return ::operator new(size, align);
  }
  /// Frees a block of the aligned form.
  static void operator delete(void* block, std::align_val_t align) noexcept {
    ::operator delete(block, align);
  }

 private:
  const char* data_;
  unsigned int datalen_;
};

/// A variable field: a view of the field's bytes inside the record buffer.
///
/// The length counts the field terminator 0x1E. A field is a ControlField or
/// a DataField; isControl() tells which. Fields handed out by a Record are
/// owned by it: never delete them, and do not use them after the record is
/// read into again or destroyed.
class QUILLET_EXPORT Field {
 public:
  /// No bytes: a null data pointer and length 0.
  Field();
  /// A view of `length` bytes at `data`.
  Field(const char* data, unsigned int length);
  /// Copies the data pointer and length.
  Field(const Field& other);
  /// Copies the data pointer and length; the object keeps its own class.
  Field& operator=(const Field& other);
  /// Frees nothing: the bytes belong to the record.
  virtual ~Field();

  /// True for a ControlField, false for a DataField.
  virtual bool isControl() const = 0;

  /// Fields, like subfields, are made in blocks kept per thread for reuse;
  /// any thread may free one.
  static void* operator new(std::size_t size);
  /// Keeps the block for reuse on the calling thread, or frees it.
  static void operator delete(void* block, std::size_t size) noexcept;
  /// As operator new, but null instead of std::bad_alloc.
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  /// Frees a block of the nothrow form whose constructor threw.
  static void operator delete(void* block, const std::nothrow_t&) noexcept;
  /// Construction in the caller's storage.
  static void* operator new(std::size_t, void* place) noexcept { return place; }
  /// Matches the placement form; frees nothing.
  static void operator delete(void*, void*) noexcept {}
  /// Over-aligned derived classes get their blocks from the global allocator.
  static void* operator new(std::size_t size, std::align_val_t align) {
    return ::operator new(size, align);
  }
  /// Frees a block of the aligned form.
  static void operator delete(void* block, std::align_val_t align) noexcept {
    ::operator delete(block, align);
  }

 protected:
  /// The field's first byte inside the record buffer; not owned.
  const char* data_;
  /// The field's length, counting its terminator.
  unsigned int length_;
};

/// A field whose content is one run of bytes (001, 005, 008, ...).
class QUILLET_EXPORT ControlField : public Field {
 public:
  /// A view of a field of `length` bytes (terminator included) at `data`.
  ControlField(const char* data, unsigned int length);
  /// Copies the data pointer and length.
  ControlField(const ControlField& other);
  /// Copies the data pointer and length.
  ControlField& operator=(const ControlField& other);
  virtual ~ControlField();

  /// Always true.
  virtual bool isControl() const override;

  /// The content, without the field terminator; not NUL-terminated.
  const char* getData() const { return data_; }
  /// The content's length: the field length - 1, or 0 for a field of length
  /// 0 (which a directory can give: it has neither content nor terminator).
  unsigned int getDatalen() const { return length_ == 0 ? 0 : length_ - 1; }
};

/// A field with two indicators and a list of subfields.
///
/// The field owns its subfield list and every Subfield in it. Subfields are
/// parsed on the first call of getSFListBegin(), getSFListEnd() or
/// getSubfield(), and stay valid until the owning record is read into again
/// or destroyed. Malformed content yields fewer subfields, never an error.
/// Not copyable.
class QUILLET_EXPORT DataField : public Field {
 public:
  /// Iterator over the subfield list.
  typedef std::vector<Subfield*>::const_iterator const_iterator;

  /// A view of a field of `length` bytes at `data`; allocates its empty list.
  /// @throws std::bad_alloc when memory runs out.
  DataField(const char* data, unsigned int length);
  /// Deletes every subfield and the list.
  virtual ~DataField();

  /// Always false.
  virtual bool isControl() const override;

  /// The first indicator (the field's first byte).
  char getInd1() const { return data_[0]; }
  /// The second indicator (the field's second byte).
  char getInd2() const { return data_[1]; }

  /// The first subfield, parsing the field if it is not yet. Only subfields
  /// with at least one data byte are listed, in field order.
  /// @throws std::bad_alloc when memory runs out (the field stays unparsed).
  const_iterator getSFListBegin();
  /// The end of the subfield list, parsing the field if it is not yet.
  const_iterator getSFListEnd();
  /// The first subfield at or after `from` whose code is `code`, or the end.
  /// `from` must be an iterator of this field's list (between begin and end);
  /// it is tested itself, so step past a hit before looking for the next one.
  const_iterator getSubfield(char code, const_iterator from);

  /// The number of subfields parsed so far: 0 until one of the three calls
  /// above has run. Never parses.
  unsigned int getSubfieldsCount() const { return static_cast<unsigned int>(subfields_->size()); }

 protected:
  /// Parses the subfields into the list unless it already holds some.
  void readSubfields();
  /// Deletes every subfield and empties the list; the next list operation
  /// parses again.
  void clear();

 private:
  DataField(const DataField&) = delete;
  DataField& operator=(const DataField&) = delete;

  std::vector<Subfield*>* subfields_;
};

/// One ISO 2709 record.
///
/// A Record owns its record buffer, its field map and every field and
/// subfield it hands out. All of them, like getData(), point into the buffer
/// and are valid until the next read into this record or its destruction.
/// Queries are non-const because they parse and cache on first use: one
/// thread at a time. Not copyable.
class QUILLET_EXPORT Record {
 public:
  /// The field map: fields by tag, equal tags in directory order.
  typedef std::multimap<FieldTag, Field*> FieldMap;
  /// Iterator over the field map; `first` is the tag, `second` the field.
  typedef FieldMap::const_iterator const_iterator;

  /// An empty record, to be filled with `in >> record`.
  Record();
  /// Copies the record that starts at `data`; `size` is the number of bytes
  /// available there, of which exactly the record length is copied.
  /// @throws MrcException "Invalid input parameters", "Buffer size is too
  /// small", "BytesToInt Error", "Invalid record length" or "Record length
  /// longer than buffer size"; then no object exists and nothing leaks.
  Record(const char* data, unsigned size);
  /// Frees the fields, subfields, buffer and field map.
  virtual ~Record();

  /// The raw record, leader first: getDatalen() bytes, not NUL-terminated.
  /// Null before the first record is read.
  const char* getData() const { return buffer_; }
  /// The leader: the record's first 24 bytes (the same pointer as getData()).
  const char* getLeader() const { return buffer_; }
  /// Always 24.
  int getLeaderLength() const { return 24; }
  /// The record length; 0 when no record is held.
  unsigned getDatalen() const { return length_; }

  /// The first field of the map: fields in ascending tag order, equal tags
  /// in directory order. Parses the directory if it is not yet.
  /// @throws MrcException "BytesToInt Error", "Invalid base offset" or
  /// "Field out of buffer." for a damaged record; the fields parsed before
  /// the damage stay, and later queries return them without throwing.
  const_iterator getFMapBegin();
  /// The end of the field map; parses and throws as getFMapBegin().
  const_iterator getFMapEnd();
  /// The first field (in directory order) tagged `tag`, whose first three
  /// bytes are read, or getFMapEnd(). Parses and throws as getFMapBegin().
  const_iterator getFirstField(const char* tag);
  /// The range of all fields tagged `tag` (empty when there is none).
  /// Parses and throws as getFMapBegin().
  std::pair<const_iterator, const_iterator> getFieldRange(const char* tag);

  /// The control number: the content of the first field 001, read as a
  /// decimal number. -1 when 001 is a data field; negative when the number
  /// is 2^31 or more. Cached once found.
  /// @throws MrcException "Missing field 001", "BytesToInt Error" (a
  /// non-digit in 001), or a directory error as getFMapBegin().
  int getId();
  /// Writes the MD5 digest of the getDatalen() raw bytes to `digest`.
  void getMD5(unsigned char digest[16]) const;

  /// Reads the next record from `in` into `rec`, reusing its buffer. At the
  /// end of the input (also inside the 5 length bytes) `rec` holds no record
  /// and `in` has failed, so `while (in >> rec)` ends there. Reads exactly
  /// one record's bytes.
  /// @throws MrcException "Unable to read record length", "BytesToInt
  /// Error", "Invalid record length" or "Unable to read record"; `rec` then
  /// holds no record, and may be read into again.
  friend std::istream& operator>>(std::istream& in, Record& rec) {
    readRec(in, rec);
    return in;
  }

 protected:
  /// Empties the record for reuse: fields and subfields are destroyed, the
  /// buffer is kept.
  void clean();
  /// Parses the directory into the field map unless it holds fields already.
  void readFields();
  /// Looks up and caches the control number.
  void readId();

 private:
  static void readRec(std::istream& in, Record& rec);

  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  char* buffer_;  // capacity_ bytes, new[]; null until the first record
  unsigned capacity_;
  unsigned length_;   // bytes of the record held; 0 when none
  int id_;            // cached control number; negative when not known
  unsigned base_;     // base address of data, from the last directory parse
  FieldMap* fields_;  // never null; owns its Field objects
};

}  // namespace quillet

#endif  // QUILLET_QUILLET_H_
