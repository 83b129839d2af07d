#ifndef QUILLET_WRITER_H_
#define QUILLET_WRITER_H_

/// @file
/// Building ISO 2709 records: a leader and fields in, the record's bytes
/// out, with the directory, base address and lengths computed.
///
/// @code
///   quillet::RecordWriter w;
///   w.setLeader(rec.leader());            // positions 0-4 and 12-16 are computed
///   w.addControlField("001", "ocm12345");
///   w.addDataField("245", "10", {{'a', "A title"}});
///   std::string bytes = w.build();       // ready to write to a file
/// @endcode
///
/// Reading what it writes gives back the same fields, in the same order.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillet/export.h"

namespace quillet {

/// Collects a record's leader and fields and writes them as ISO 2709.
///
/// Owns copies of everything it is given. A plain value; one thread at a
/// time. Reusable: clear() keeps the room it has.
class QUILLET_EXPORT RecordWriter {
 public:
  /// An empty record whose leader is blanks with "22" at positions 10-11 and
  /// "4500" at 20-23.
  RecordWriter();

  /// Uses `leader` (24 bytes; shorter ones are padded with blanks, longer
  /// ones cut) for every position but the record length (0-4) and the base
  /// address (12-16), which build() computes, and the entry map (20-23),
  /// always 4500: the widths of the directory it writes.
  void setLeader(std::string_view leader);
  /// Appends a field whose content, without its terminator, is `data`.
  void addField(std::string_view tag, std::string_view data);
  /// Appends a control field.
  void addControlField(std::string_view tag, std::string_view data) { addField(tag, data); }
  /// Appends a data field: `indicators`, then a delimiter, code and value
  /// for each subfield.
  void addDataField(std::string_view tag, std::string_view indicators,
                    const std::vector<std::pair<char, std::string>>& subfields);
  /// Starts a new record.
  void clear();

  /// The record's bytes: leader, directory, fields, each field and the
  /// directory ended by 0x1E, the record by 0x1D. A record of no field has
  /// a data area of one 0x1E (27 bytes in all), so that its base address
  /// stands before the record terminator, as the classic interface wants.
  /// @throws std::length_error when a field is longer than 9,998 bytes
  /// (four digits state its length with the terminator), or the record
  /// longer than 99,999 bytes (five digits state its length).
  std::string build() const;
  /// As build(), appending to `out`.
  void appendTo(std::string& out) const;

 private:
  std::string leader_;
  std::string tags_;               // three bytes per field
  std::string data_;               // the fields' contents, each followed by its terminator
  std::vector<std::size_t> ends_;  // where each field ends in data_, past its terminator
};

}  // namespace quillet

#endif  // QUILLET_WRITER_H_
