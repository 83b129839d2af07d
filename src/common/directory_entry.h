#ifndef QUILLET_COMMON_DIRECTORY_ENTRY_H_
#define QUILLET_COMMON_DIRECTORY_ENTRY_H_

#include <cstddef>

#include "common/digits.h"
#include "quillet/iso2709.h"

namespace quillet {

// One entry of a record's directory, decoded: both parsers read entries
// through Decode() and differ only in what they make of a bad one (the
// classic Record throws, the views report a problem).
//
// A plain value; `tag` points into the record's bytes and lives as long as
// they do.
struct DirectoryEntry {
  // Decodes the iso2709::kDirectoryEntryLength bytes at `bytes` into *entry;
  // false, with *entry partly set, when the length or the starting position
  // is not all digits.
  // REQUIRES: the entry's bytes lie inside the record.
  static bool Decode(const char* bytes, DirectoryEntry* entry) {
    using iso2709::kFieldLengthWidth;
    using iso2709::kTagWidth;
    static_assert(kFieldLengthWidth == 4 && iso2709::kStartPositionWidth == 5, "entry widths");
    entry->tag = bytes;
    return ReadFourDigits(bytes + kTagWidth, &entry->length) &&
           ReadFiveDigits(bytes + kTagWidth + kFieldLengthWidth, &entry->start);
  }

  const char* tag;     // three bytes
  std::size_t length;  // of the field, its terminator included
  std::size_t start;   // of the field, from the base address
};

}  // namespace quillet

#endif  // QUILLET_COMMON_DIRECTORY_ENTRY_H_
