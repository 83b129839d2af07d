#include <cstring>
#include <istream>

#include "classic/bytes_to_int.h"
#include "classic/errors.h"
#include "classic/object_pool.h"
#include "quillet/iso2709.h"
#include "quillet/quillet.h"

namespace quillet {

using iso2709::kMaxRecordLength;
using iso2709::kMinRecordLength;
using iso2709::kRecordLengthOffset;
using iso2709::kRecordLengthWidth;

namespace {

// Extra room given to a stream buffer when it grows, so that a run of
// records of similar length reuses it.
constexpr unsigned kBufferHeadroom = 1000;

bool ValidRecordLength(unsigned length) {
  return length >= kMinRecordLength && length <= kMaxRecordLength;
}

}  // namespace

Record::Record()
    : buffer_(nullptr), capacity_(0), length_(0), id_(-1), base_(0), fields_(new FieldMap) {}

// Delegating to Record() makes the object complete before any argument is
// looked at, so a throw below runs the destructor and frees what exists.
Record::Record(const char* data, unsigned size) : Record() {
  if (data == nullptr || size == 0) ThrowError(kInvalidInputParameters);
  if (size < kRecordLengthWidth) ThrowError(kBufferTooSmall);
  const unsigned length = BytesToInt(data, kRecordLengthOffset, kRecordLengthWidth);
  if (!ValidRecordLength(length)) ThrowError(kInvalidRecordLength);
  if (length > size) ThrowError(kLengthBeyondBuffer);
  // Exactly `length` bytes: nothing may ever be read beyond the record.
  buffer_ = new char[length];
  capacity_ = length;
  std::memcpy(buffer_, data, length);
  length_ = length;
}

Record::~Record() {
  clean();
  delete[] buffer_;
  delete fields_;
}

// length_ is set only once the whole record is in the buffer: after any
// failure the record holds no record, so no later query can read bytes that
// were never filled.
void Record::readRec(std::istream& in, Record& rec) {
  rec.clean();
  char length_bytes[kRecordLengthWidth];
  in.read(length_bytes, kRecordLengthWidth);
  if (in.eof()) return;  // the end of the input, also inside the length
  if (in.fail()) ThrowError(kUnableToReadLength);
  const unsigned length = BytesToInt(length_bytes, kRecordLengthOffset, kRecordLengthWidth);
  if (!ValidRecordLength(length)) ThrowError(kInvalidRecordLength);
  if (length > rec.capacity_) {
    // Drop the old buffer first: if the new one cannot be had, the record
    // is left with none rather than with a freed pointer.
    delete[] rec.buffer_;
    rec.buffer_ = nullptr;
    rec.capacity_ = 0;
    rec.buffer_ = new char[length + kBufferHeadroom];
    rec.capacity_ = length + kBufferHeadroom;
  }
  std::memcpy(rec.buffer_, length_bytes, kRecordLengthWidth);
  in.read(rec.buffer_ + kRecordLengthWidth, length - kRecordLengthWidth);
  if (in.fail()) ThrowError(kUnableToReadRecord);
  rec.length_ = length;
}

void Record::clean() {
  length_ = 0;
  id_ = -1;
  for (auto& entry : *fields_) delete entry.second;
  RecycleFieldNodes(*fields_);
}

}  // namespace quillet
