#include <memory>

#include "classic/bytes_to_int.h"
#include "classic/errors.h"
#include "classic/object_pool.h"
#include "common/directory_entry.h"
#include "quillet/iso2709.h"
#include "quillet/quillet.h"

namespace quillet {

using iso2709::kBaseAddressOffset;
using iso2709::kBaseAddressWidth;
using iso2709::kDirectoryEntryLength;
using iso2709::kFieldTerminator;
using iso2709::kLeaderLength;
using iso2709::kMinDataFieldLength;
using iso2709::kSubfieldDelimiter;

// Parses the base address and the directory into the field map. Every
// offset read from the record is checked against length_ before use: an
// entry must lie wholly inside the record and its field must end before the
// record's last byte (the record terminator).
void Record::readFields() {
  if (!fields_->empty()) return;
  if (length_ == 0) return;  // no record held: nothing to parse

  const unsigned length = length_;
  const char* const buf = buffer_;
  base_ = BytesToInt(buf, kBaseAddressOffset, kBaseAddressWidth);
  if (base_ == 0 || base_ >= length - 1) ThrowError(kInvalidBaseOffset);

  unsigned pos = kLeaderLength;
  for (;;) {
    if (buf[pos] == kFieldTerminator) return;
    // An unterminated directory can run into the end of the record; an
    // entry cut short there names no field that could be inside it.
    if (length - pos < kDirectoryEntryLength) ThrowError(kFieldOutOfBuffer);
    DirectoryEntry entry;
    if (!DirectoryEntry::Decode(buf + pos, &entry)) ThrowError(kBytesToIntError);
    const FieldTag tag(entry.tag);
    const unsigned flen = static_cast<unsigned>(entry.length);
    const unsigned start = static_cast<unsigned>(entry.start);
    // Both are at most 5 digits, so neither sum can wrap.
    const unsigned at = start + base_;
    if (at + flen > length - 1) ThrowError(kFieldOutOfBuffer);

    const char* const data = buf + at;
    std::unique_ptr<Field> field;
    // A data field starts with two indicators and a delimiter and ends
    // with its terminator; anything else is a control field.
    if (flen < kMinDataFieldLength || data[2] != kSubfieldDelimiter) {
      field.reset(new ControlField(data, flen));
    } else {
      field.reset(new DataField(data, flen));
    }
    InsertField(*fields_, tag, field.get());
    field.release();

    pos += kDirectoryEntryLength;
    if (pos >= length) return;
  }
}

Record::const_iterator Record::getFMapBegin() {
  readFields();
  return fields_->cbegin();
}

Record::const_iterator Record::getFMapEnd() {
  readFields();
  return fields_->cend();
}

Record::const_iterator Record::getFirstField(const char* tag) {
  readFields();
  const FieldTag key(tag);
  const const_iterator it = fields_->lower_bound(key);
  if (it == fields_->cend() || it->first != key) return fields_->cend();
  return it;
}

std::pair<Record::const_iterator, Record::const_iterator> Record::getFieldRange(const char* tag) {
  readFields();
  const FieldMap& fields = *fields_;
  return fields.equal_range(FieldTag(tag));
}

}  // namespace quillet
