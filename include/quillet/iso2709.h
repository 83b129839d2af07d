#ifndef QUILLET_ISO2709_H_
#define QUILLET_ISO2709_H_

/// @file
/// The fixed bytes, positions and widths of the ISO 2709 exchange format:
/// one place for the library, its tools and anyone building records.

#include <cstddef>

namespace quillet {

/// Constants of the exchange format. Plain values; usable from any thread.
namespace iso2709 {

/// Opens each subfield; the subfield code follows it.
constexpr char kSubfieldDelimiter = '\x1F';
/// Ends each variable field, and the directory.
constexpr char kFieldTerminator = '\x1E';
/// Ends each record.
constexpr char kRecordTerminator = '\x1D';

/// The leader (record label): the first 24 bytes of a record.
constexpr std::size_t kLeaderLength = 24;
/// Leader 0-4: the record length, five decimal digits.
constexpr std::size_t kRecordLengthOffset = 0;
/// Width of the record length.
constexpr std::size_t kRecordLengthWidth = 5;
/// The largest length five digits can state.
constexpr std::size_t kMaxRecordLength = 99999;
/// The smallest record: a leader and a directory terminator.
constexpr std::size_t kMinRecordLength = kLeaderLength + 1;
/// Leader 5: the record status (MARC 21: n new, c corrected, d deleted, ...).
constexpr std::size_t kRecordStatusOffset = 5;
/// Leader 6: the type of record (MARC 21: a language material, ...).
constexpr std::size_t kTypeOfRecordOffset = 6;
/// Leader 7: the bibliographic level (MARC 21: m monograph, s serial, ...).
constexpr std::size_t kBibliographicLevelOffset = 7;
/// Leader 9: the character coding scheme (MARC 21: blank MARC-8, a UCS/Unicode).
constexpr std::size_t kCharacterCodingOffset = 9;
/// Leader/09 of a record whose text is UCS/Unicode (UTF-8), in MARC 21.
constexpr char kUnicodeCoding = 'a';
/// Leader 10: the indicator count (2 in MARC 21).
constexpr std::size_t kIndicatorCountOffset = 10;
/// Leader 11: the subfield code length, delimiter included (2 in MARC 21).
constexpr std::size_t kSubfieldCodeLengthOffset = 11;
/// Leader 12-16: the base address of data, five decimal digits.
constexpr std::size_t kBaseAddressOffset = 12;
/// Width of the base address.
constexpr std::size_t kBaseAddressWidth = 5;
/// Leader 17: the encoding level (MARC 21: blank full, 7 minimal, ...).
constexpr std::size_t kEncodingLevelOffset = 17;
/// Leader 20-23: the entry map, the widths of a directory entry's parts
/// ("4500": a 4-digit length, a 5-digit start, no implementation part, and
/// a last, undefined digit).
constexpr std::size_t kEntryMapOffset = 20;
/// Width of the entry map.
constexpr std::size_t kEntryMapWidth = 4;

/// One directory entry: tag, field length, starting position.
constexpr std::size_t kDirectoryEntryLength = 12;
/// Width of an entry's tag.
constexpr std::size_t kTagWidth = 3;
/// Width of an entry's field length (terminator included).
constexpr std::size_t kFieldLengthWidth = 4;
/// Width of an entry's starting position, relative to the base address.
constexpr std::size_t kStartPositionWidth = 5;

/// The shortest data field: two indicators, a delimiter and a terminator.
constexpr std::size_t kMinDataFieldLength = 4;

}  // namespace iso2709
}  // namespace quillet

#endif  // QUILLET_ISO2709_H_
