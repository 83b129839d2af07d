#ifndef QUILLET_QUILLET_H_
#define QUILLET_QUILLET_H_

// QuilletLib reads bibliographic records in the ISO 2709 exchange format.
//
// The trivial accessors are defined here so that callers pay no call for
// them; the library also exports a copy of each.
//
// A Record copies one record's bytes into a buffer it owns; every Field and
// Subfield it hands out is a pointer and a length into that buffer, valid
// until the record is read into again, cleaned or destroyed. The directory is
// parsed on the first field query, a data field's subfields on the first
// subfield query. Every error is thrown as quillet::MrcException.
//
// Threads: nothing is shared between records, but queries fill caches, so
// one Record (and everything it hands out) is used by one thread at a time.
//
//   std::ifstream in(path, std::ios::binary);
//   quillet::Record rec;
//   while (in >> rec) { ... }

#include <cstddef>
#include <exception>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quillet/export.h"

namespace quillet {

// The one exception type of the library; what() is one of a fixed set of
// English messages. Copies own their own message.
class QUILLET_EXPORT MrcException : public std::exception {
 public:
  MrcException(const std::string& message);
  MrcException(const MrcException& other);
  MrcException& operator=(const MrcException& other);
  virtual ~MrcException();

  // Valid while this exception object lives.
  virtual const char* what() const noexcept override;

 private:
  std::string message_;
};

// A three-character field tag packed into one integer:
// (c0 << 16) | (c1 << 8) | c2, each character an unsigned byte. Ordered by
// that integer, so numeric tags sort numerically. 0 means "no tag".
// A plain value; copy freely.
class QUILLET_EXPORT FieldTag {
 public:
  // Reads exactly three bytes of `tag` (no terminator is looked for);
  // a null `tag` gives the value 0.
  FieldTag(const char* tag);

  // Writes the three characters and a NUL into `out`, which must have room
  // for 4 bytes, and returns `out`. Throws MrcException when `out` is null.
  char* ToAscii(char* out) const;

  FieldTag(const FieldTag& other) = default;
  FieldTag& operator=(const FieldTag& other);

  friend bool operator<(const FieldTag& a, const FieldTag& b) { return a.tag_ < b.tag_; }
  friend bool operator==(const FieldTag& a, const FieldTag& b) { return a.tag_ == b.tag_; }
  friend bool operator!=(const FieldTag& a, const FieldTag& b) { return a.tag_ != b.tag_; }

 private:
  int tag_;
};

// One subfield of a data field: a view of its data bytes inside the record
// buffer. The code is the byte just before the data. Owned by its DataField;
// valid while the record holds the same bytes. Data is not NUL-terminated.
class QUILLET_EXPORT Subfield {
 public:
  Subfield(const char* data, unsigned int datalen);
  Subfield(const Subfield& other);
  Subfield& operator=(const Subfield& other);

  char getCode() const { return data_[-1]; }
  const char* getData() const { return data_; }
  unsigned int getDatalen() const { return datalen_; }

  // Subfields are made and freed by the dozen per record, so they come from
  // a small per-thread cache of blocks; any thread may free them.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;

 private:
  const char* data_;
  unsigned int datalen_;
};

// A variable field: a view of the field's bytes inside the record buffer,
// its length counting the field terminator 0x1E. Fields handed out by a
// Record are owned by it: never delete them, and do not use them after the
// record is read into again, cleaned or destroyed.
class QUILLET_EXPORT Field {
 public:
  Field();
  Field(const char* data, unsigned int length);
  Field(const Field& other);
  Field& operator=(const Field& other);
  virtual ~Field();

  // True for a ControlField, false for a DataField.
  virtual bool isControl() const = 0;

  // Fields, like subfields, come from a small per-thread cache of blocks;
  // any thread may free them.
  static void* operator new(std::size_t size);
  static void operator delete(void* block, std::size_t size) noexcept;

 protected:
  const char* data_;
  unsigned int length_;
};

// A field whose content is one run of bytes (001, 005, 008, ...).
class QUILLET_EXPORT ControlField : public Field {
 public:
  ControlField(const char* data, unsigned int length);
  ControlField(const ControlField& other);
  ControlField& operator=(const ControlField& other);
  virtual ~ControlField();

  virtual bool isControl() const override;

  // The content, without the field terminator; not NUL-terminated.
  const char* getData() const { return data_; }
  // Field length - 1; 0 for a field of length 0 (which a directory can give:
  // it has neither content nor terminator).
  unsigned int getDatalen() const { return length_ == 0 ? 0 : length_ - 1; }
};

// A field with two indicators and a list of subfields. The field owns the
// list and every Subfield in it; the subfields are parsed on the first call
// of getSFListBegin, getSFListEnd or getSubfield, and are valid until the
// owning record is read into again, cleaned or destroyed. Not copyable.
class QUILLET_EXPORT DataField : public Field {
 public:
  typedef std::vector<Subfield*>::const_iterator const_iterator;

  DataField(const char* data, unsigned int length);
  virtual ~DataField();

  virtual bool isControl() const override;

  char getInd1() const { return data_[0]; }
  char getInd2() const { return data_[1]; }

  // Subfields in field order; only subfields with at least one data byte.
  // These parse on first use; malformed content gives fewer subfields and
  // never throws MrcException (std::bad_alloc may pass through).
  const_iterator getSFListBegin();
  const_iterator getSFListEnd();
  // First subfield at or after `from` whose code is `code`, or the end.
  // `from` must be an iterator of this field's (parsed) list.
  const_iterator getSubfield(char code, const_iterator from);

  // Subfields parsed so far: 0 until one of the three calls above has run.
  unsigned int getSubfieldsCount() const { return static_cast<unsigned int>(subfields_->size()); }

 protected:
  void readSubfields();
  void clear();

 private:
  DataField(const DataField&) = delete;
  DataField& operator=(const DataField&) = delete;

  std::vector<Subfield*>* subfields_;
};

// One ISO 2709 record. The record owns its buffer, its field map and every
// field and subfield it hands out; all of them point into the buffer and are
// valid until the next read into this record, clean() or destruction.
// Queries are non-const because they parse and cache on first use. One
// thread at a time. Not copyable.
class QUILLET_EXPORT Record {
 public:
  typedef std::multimap<FieldTag, Field*> FieldMap;
  typedef FieldMap::const_iterator const_iterator;

  // An empty record, to be filled by `in >> record`.
  Record();
  // Copies the record that starts at `data`; `size` is the number of bytes
  // available there. Throws MrcException when they hold no whole record.
  Record(const char* data, unsigned size);
  virtual ~Record();

  // The raw record, leader first; getDatalen() bytes, not NUL-terminated.
  const char* getData() const { return buffer_; }
  // The leader is the record's first 24 bytes.
  const char* getLeader() const { return buffer_; }
  int getLeaderLength() const { return 24; }
  // The record length; 0 when no record is held.
  unsigned getDatalen() const { return length_; }

  // The field map in ascending tag order, equal tags in directory order.
  // Each of these parses the directory first if needed and throws
  // MrcException for a damaged one; fields parsed before the damage stay.
  const_iterator getFMapBegin();
  const_iterator getFMapEnd();
  // First field with this tag (three bytes are read), or getFMapEnd().
  const_iterator getFirstField(const char* tag);
  std::pair<const_iterator, const_iterator> getFieldRange(const char* tag);

  // The number in the first control field 001. Throws MrcException when
  // there is no 001 or it holds a non-digit; -1 when 001 is a data field,
  // negative when the number does not fit in an int.
  int getId();
  // MD5 of the getDatalen() raw bytes.
  void getMD5(unsigned char digest[16]) const;

  // Reads the next record from `in`, reusing the buffer. At the end of the
  // input `rec` holds no record and `in` has failed, so `while (in >> rec)`
  // stops there. Throws MrcException for a bad or truncated record.
  friend std::istream& operator>>(std::istream& in, Record& rec) {
    readRec(in, rec);
    return in;
  }

 protected:
  void clean();
  void readFields();
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
