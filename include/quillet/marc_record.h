#ifndef QUILLET_MARC_RECORD_H_
#define QUILLET_MARC_RECORD_H_

/// @file
/// The editable record: made empty or from a record view, changed field by
/// field and subfield by subfield, written as ISO 2709 (or, through the
/// formats layer, as any format a record view can be written in).
///
/// @code
///   quillet::Reader reader("in.mrc");
///   quillet::RecordView view;
///   quillet::MarcRecord rec;
///   std::string out;
///   while (reader.next(view)) {
///     rec.assign(view);                      // no allocation once warm
///     rec.removeFields("9XX");
///     rec.insertDataField(rec.tagOrderPosition("500"), "500", ' ', ' ', {{'a', "Checked."}});
///     const std::size_t title = rec.findField("245");
///     if (title != quillet::MarcRecord::npos) rec.setSubfield(title, 'a', "New title");
///     out.clear();
///     rec.appendIso2709(out);                // lengths, base address, directory computed
///     file.write(out.data(), out.size());
///   }
/// @endcode
///
/// Fields are addressed by their position (0 for the first, in directory
/// order), subfields by their position in their field. Whether a field is a
/// control field is decided by its tag, as record views decide it: tags
/// beginning "00" are control fields. Data fields have two indicators and
/// one-byte subfield codes.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillet/export.h"
#include "quillet/formats.h"

namespace quillet {

class FieldView;
class RecordText;
class RecordView;

/// How MarcRecord::appendIso2709() writes. A plain value.
struct MarcWriteOptions {
  /// Write the text as UTF-8, with leader/09 `a`: the record's bytes are
  /// read as a record view and written by the formats layer's
  /// writeIso2709() with Charset::kAuto (MARC-8 decoded, UTF-8 checked).
  /// When false the text is written as it is held, in the encoding
  /// leader/09 says.
  bool to_utf8 = false;
  /// Write the text as MARC-8, with leader/09 blank, through writeIso2709()
  /// with OutputCharset::kMarc8: for systems that load only MARC-8.
  /// Characters MARC-8 lacks become references `&#xXXXX;`. Not with
  /// `to_utf8` (std::invalid_argument).
  bool to_marc8 = false;
  /// A field longer than 9,999 bytes (terminator included) or a record
  /// longer than 99,999 bytes is an error (std::length_error) by default.
  /// When true it is written the way record views read it back: record
  /// length 00000 for a record whose length five digits cannot state,
  /// and field length 0000 for a field whose length four digits, or
  /// whose starting position five digits, cannot state (its position then
  /// 00000 too); a base address past 99,999 is written 00000. Readers
  /// then find such fields by their terminators, so a record holding a
  /// separator byte in a tag or in data read from its input (setters
  /// refuse them) cannot be written so: std::length_error.
  bool unstated_lengths = false;
};

/// A record that can be changed: a leader and fields in order.
///
/// Owns its bytes: one buffer holds a copy of the record it was made from,
/// and new values are appended to it; fields and subfields are small
/// entries of offsets into it. The views it returns point into that buffer
/// and are valid until the next change to the record (any non-const call).
/// Values replaced or removed keep their room until assign() or clear(), so
/// one object reused from record to record allocates nothing once warm.
///
/// The subfields of a field read from a view are found when first asked
/// for, also by const members: one thread at a time, for reading too.
/// Copyable and movable.
///
/// Errors: a change that would make bytes no reader could take back is
/// refused with std::invalid_argument naming what was wrong (a tag that is
/// not three bytes, a separator byte 0x1D, 0x1E or 0x1F in a tag, the
/// leader, control data, an indicator, a subfield code or value, a control
/// field tag for a data field or the reverse); a position past the end is
/// refused with std::out_of_range. A refused change changes nothing.
class QUILLET_EXPORT MarcRecord {
 public:
  /// What findField() and findSubfield() return when there is none.
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  /// One subfield for the insert and add calls: its code and its value.
  using SubfieldInit = std::pair<char, std::string_view>;

  /// An empty record: no fields, leader "00000    a2200000   4500" (text
  /// in UTF-8, two indicators, one-byte codes).
  MarcRecord();
  /// The record `view` holds; see assign().
  explicit MarcRecord(const RecordView& view);

  /// Becomes the record `view` holds: its leader (a shorter one padded with
  /// blanks) and every field in directory order, with nothing dropped:
  /// empty subfields, the bytes of a data field before its first delimiter
  /// (its prefix()) and indicators as the view gives them. Bytes the view
  /// holds are kept even where a setter would refuse them (a separator
  /// inside a field). A leader whose positions 10 and 11 say other than two
  /// indicators and one-byte codes gets '2' there, and the fields are held
  /// so: indicators past the second begin the prefix, code bytes past the
  /// first begin the value, a missing indicator is a blank and a code of no
  /// byte is '\0'. Written back unchanged, a record the reader found no
  /// problem in, whose fields lie one after another in directory order and
  /// that needed no such change, gives its own bytes. Reuses the room of
  /// the record before.
  void assign(const RecordView& view);
  /// Becomes an empty record (see MarcRecord()), keeping the room.
  void clear();

  // The leader. Positions 0-4 (record length) and 12-16 (base address) are
  // computed when the record is written. Positions 10 and 11 must read as 2
  // (the digit 2, or a byte that is no digit, which readers take as 2): the
  // fields have two indicators and one-byte codes.

  /// The 24 bytes of the leader.
  std::string_view leader() const { return std::string_view(leader_, kLeaderSize); }
  /// Sets the whole leader.
  /// @throws std::invalid_argument unless `leader` is 24 bytes long (a
  /// shorter or longer one would shift every position), holds no separator
  /// and reads as 2 at positions 10 and 11.
  void setLeader(std::string_view leader);
  /// Sets leader position `pos` to `value`.
  /// @throws std::out_of_range when pos > 23; std::invalid_argument when
  /// `value` is a separator, or a digit other than 2 at position 10 or 11.
  void setLeader(std::size_t pos, char value);

  // Fields.

  /// How many fields the record has.
  std::size_t fieldCount() const { return fields_.size(); }
  /// The tag of field `field`. REQUIRES for this and every call taking a
  /// field: field < fieldCount(), or std::out_of_range.
  std::string_view tag(std::size_t field) const;
  /// Whether field `field` is a control field (its tag begins "00").
  bool isControl(std::size_t field) const;
  /// A control field's data; empty for a data field.
  std::string_view data(std::size_t field) const;
  /// A data field's first indicator; a blank for a control field.
  char indicator1(std::size_t field) const;
  /// A data field's second indicator; a blank for a control field.
  char indicator2(std::size_t field) const;
  /// The bytes of a data field between its indicators and its first
  /// subfield delimiter, kept from the record it was read from (none in a
  /// well-formed field; new fields have none).
  std::string_view prefix(std::size_t field) const;

  /// The first field at or after `from` whose tag matches `pattern` (245,
  /// 6XX, 6..; see tagMatches()), or npos.
  /// @throws std::invalid_argument when `pattern` is not three characters.
  std::size_t findField(std::string_view pattern, std::size_t from = 0) const;
  /// Every field whose tag matches `pattern`, in order.
  /// @throws std::invalid_argument as findField().
  std::vector<std::size_t> findFields(std::string_view pattern) const;
  /// Where a field tagged `tag` goes in tag order: before the first field
  /// whose tag is greater (bytewise), at the end when none is. For the
  /// insert calls.
  std::size_t tagOrderPosition(std::string_view tag) const;

  /// Appends a control field; returns its position.
  std::size_t addControlField(std::string_view tag, std::string_view data);
  /// Appends a data field; returns its position.
  std::size_t addDataField(std::string_view tag, char indicator1, char indicator2,
                           std::initializer_list<SubfieldInit> subfields = {});
  /// Inserts a control field before position `pos` (fieldCount() appends).
  /// @throws std::out_of_range when pos > fieldCount().
  void insertControlField(std::size_t pos, std::string_view tag, std::string_view data);
  /// Inserts a data field before position `pos` (fieldCount() appends).
  /// @throws std::out_of_range when pos > fieldCount().
  void insertDataField(std::size_t pos, std::string_view tag, char indicator1, char indicator2,
                       std::initializer_list<SubfieldInit> subfields = {});
  /// Appends a copy of `field`, a field of any record view, held as
  /// assign() holds the fields it takes (its bytes as they are, damage
  /// included; indicators past the second begin the prefix). For records
  /// put together from the fields of others. Returns its position.
  std::size_t addField(const FieldView& field);
  /// Removes field `field`; the later ones move up one position.
  void removeField(std::size_t field);
  /// Removes every field whose tag matches `pattern`; returns how many.
  /// @throws std::invalid_argument as findField().
  std::size_t removeFields(std::string_view pattern);

  /// Sets the tag of field `field`; it cannot turn a control field into a
  /// data field or the reverse.
  void setTag(std::size_t field, std::string_view tag);
  /// Sets a control field's data.
  void setData(std::size_t field, std::string_view data);
  /// Sets a data field's indicators.
  void setIndicators(std::size_t field, char indicator1, char indicator2);
  /// Sets the bytes of a data field between its indicators and its first
  /// delimiter (see prefix()): for a field taken from a damaged record and
  /// changed, so that those bytes stay. Refused for a control field.
  void setPrefix(std::size_t field, std::string_view bytes);

  // Subfields of a data field (a control field has none).

  /// How many subfields field `field` has.
  std::size_t subfieldCount(std::size_t field) const;
  /// The code of subfield `sub`. REQUIRES for this and every call taking a
  /// subfield: sub < subfieldCount(field), or std::out_of_range.
  char code(std::size_t field, std::size_t sub) const;
  /// The value of subfield `sub`.
  std::string_view value(std::size_t field, std::size_t sub) const;
  /// The position of the first subfield coded `code` at or after `from`, or
  /// npos.
  std::size_t findSubfield(std::size_t field, char code, std::size_t from = 0) const;
  /// The value of the first subfield coded `code`, or an empty view.
  std::string_view subfield(std::size_t field, char code) const;

  /// Appends a subfield to data field `field`.
  void addSubfield(std::size_t field, char code, std::string_view value);
  /// Inserts a subfield before position `pos` (subfieldCount() appends).
  /// @throws std::out_of_range when pos > subfieldCount(field).
  void insertSubfield(std::size_t field, std::size_t pos, char code, std::string_view value);
  /// Removes subfield `sub`.
  void removeSubfield(std::size_t field, std::size_t sub);
  /// Removes every subfield coded `code`; returns how many.
  std::size_t removeSubfields(std::size_t field, char code);
  /// Sets the value of subfield `sub`.
  void setValue(std::size_t field, std::size_t sub, std::string_view value);
  /// Sets the value of the first subfield coded `code`; when there is none,
  /// appends one. Returns true when one was there, false when it was added.
  bool setSubfield(std::size_t field, char code, std::string_view value);

  // Writing.

  /// Appends the record as ISO 2709 to `out`: leader, a fresh directory,
  /// the fields, with the record length and base address computed. A
  /// record of no field has a data area of one field terminator (27 bytes in
  /// all), which the classic interface reads. Nothing is appended when it
  /// throws.
  /// @throws std::length_error for a field or record too long for the
  /// format's lengths (see MarcWriteOptions::unstated_lengths), naming the field:
  /// "field 505 (entry 12) is 12345 bytes long; ISO 2709 allows 9,999".
  void appendIso2709(std::string& out, const MarcWriteOptions& options = MarcWriteOptions()) const;
  /// As appendIso2709(out, options), into an OutputBuffer.
  void appendIso2709(OutputBuffer& out, const MarcWriteOptions& options = MarcWriteOptions()) const;
  /// The record as ISO 2709; see appendIso2709().
  std::string toIso2709(const MarcWriteOptions& options = MarcWriteOptions()) const;

  /// Appends the record in `format`: its ISO 2709 bytes (written with
  /// `options`) read as a record view and given to the formats layer's
  /// writer with `text` (which decides the encoding; its problems() are then
  /// this record's). Returns what writeRecord() returns. The view is gone
  /// when it returns: start `text` again before asking it for text.
  /// @throws std::length_error as appendIso2709(), or as writeIso2709().
  std::size_t write(Format format, RecordText& text, OutputBuffer& out,
                    const MarcWriteOptions& options = MarcWriteOptions()) const;

 private:
  static constexpr std::size_t kLeaderSize = 24;

  // The kinds of field entry.
  enum class Kind : std::uint8_t {
    kControl,  // data at [off, off + len)
    kRaw,      // a data field whose bytes after the indicators, [off, off + len), are
               // as read and not yet taken apart
    kParsed,   // a data field: prefix at [off, off + len), subfields_[first, first + count)
  };
  struct Field {
    char tag[3];
    char ind1;
    char ind2;
    Kind kind;
    std::uint32_t off;
    std::uint32_t len;
    std::uint32_t first;
    std::uint32_t count;
  };
  struct Subfield {
    char code;
    std::uint32_t off;
    std::uint32_t len;
  };

  const Field& at(std::size_t field) const;
  const Field& dataField(std::size_t field) const;
  Field& parsedDataField(std::size_t field);
  void parse(Field& f, bool code_less) const;
  std::uint32_t store(std::string_view bytes, std::uint32_t* off);
  Field makeField(std::string_view tag, bool control) const;
  void makeRoom(Field& f, std::size_t more);
  std::string_view piece(std::uint32_t off, std::uint32_t len) const {
    return std::string_view(bytes_.data() + off, len);
  }
  std::size_t measure(const MarcWriteOptions& options) const;
  void serialize(char* out, std::size_t size) const;

  char leader_[kLeaderSize];
  std::string bytes_;  // the record read, then values added
  // Taking a read field's subfields apart changes no value, only how it is
  // held, so const readers may do it.
  mutable std::vector<Field> fields_;
  mutable std::vector<Subfield> subfields_;
};

}  // namespace quillet

#endif  // QUILLET_MARC_RECORD_H_
