#ifndef QUILLET_FORMATS_JSON_RECORD_BUILDER_H_
#define QUILLET_FORMATS_JSON_RECORD_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Every x86-64 processor has SSE2; RapidJSON uses it to skip white space and
// to copy runs of plain string bytes, but only when told. Every file of the
// library that includes RapidJSON does so through this header, so that all
// see the same setting.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/reader.h>

#include "quillet/view.h"

namespace quillet {

class RecordWriter;

// Turns the SAX events of one MARC-in-JSON record object into the record's
// leader and fields: {"leader": "...", "fields": [{"001": "..."}, {"245":
// {"ind1": "1", "ind2": "0", "subfields": [{"a": "..."}]}}]}, members in any
// order. Fields are collected as views of the parsed text and built only at
// the object's end, when the leader (which may come last) has said how many
// indicators a field has and how long a subfield code is.
//
// A subfield whose code is "" holds the bytes before a field's first
// delimiter when it comes first and has a value (as writeJson() writes
// them), and a delimiter without a code otherwise. What does not fit (a
// number or null where a string belongs, an unknown key, a tag that is not
// three characters, a byte in a string that would end a subfield, field or
// record) is reported, and the rest of the record kept.
//
// The text it is given is parsed in situ: the views it keeps point into it
// and are valid until the text changes; Build() must come before that. Not
// copyable; reusable from one object to the next; one thread at a time.
class JsonRecordBuilder
    : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonRecordBuilder> {
 public:
  // Something found in the object: `at` counts bytes from its '{'.
  struct Report {
    Problem::Kind kind;
    std::size_t at;
    std::string detail;
  };

  JsonRecordBuilder() = default;
  JsonRecordBuilder(const JsonRecordBuilder&) = delete;
  JsonRecordBuilder& operator=(const JsonRecordBuilder&) = delete;

  // Starts an object whose text, as RapidJSON parses it in situ from
  // `stream`, starts at `text`. The stream tells where values that are not
  // strings end, for the reports.
  void Start(const char* text, const rapidjson::InsituStringStream* stream);
  // Whether the object gave a leader or a whole field: after a syntax
  // error, a record is kept only then, with the whole fields read.
  bool HasContent() const { return has_leader_ || has_field_; }
  // Why the handler stopped the parse (RapidJSON then says only that it
  // was stopped), or null.
  const char* stop_reason() const { return stop_reason_; }
  // Gives `writer` (cleared) the leader and the fields read, and adds what
  // was found in building them to reports(), which are then in text order.
  void Build(RecordWriter& writer);
  const std::vector<Report>& reports() const { return reports_; }

  // RapidJSON's handler. Numbers come as text (kParseNumbersAsStringsFlag).
  bool Null();
  bool Bool(bool b);
  bool RawNumber(const char* str, rapidjson::SizeType length, bool copy);
  bool String(const char* str, rapidjson::SizeType length, bool copy);
  bool StartObject();
  bool Key(const char* str, rapidjson::SizeType length, bool copy);
  bool EndObject(rapidjson::SizeType members);
  bool StartArray();
  bool EndArray(rapidjson::SizeType elements);
  bool Default();  // numbers of other kinds: not given with the flags used

 private:
  // Where the parse stands; the *Value states wait for a member's value.
  enum class State : std::uint8_t {
    kTop,
    kRecord,
    kLeaderValue,
    kFieldsValue,
    kFields,
    kField,
    kTagValue,
    kDataField,
    kIndicatorValue,
    kSubfieldsValue,
    kSubfields,
    kSubfield,
    kCodeValue,
    kUnknownValue,
    kDone,
  };
  enum class Scalar : std::uint8_t { kString, kNumber, kNull, kBool };
  // A view of a string in the parsed text, and where it starts there.
  struct Text {
    const char* data = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
  };
  struct Field {
    enum class Shape : std::uint8_t { kNone, kControl, kData };
    Text tag;
    Shape shape = Shape::kNone;
    Text value;          // a control field's
    Text indicators[2];  // absent: no data
    std::size_t first_subfield = 0;
    std::size_t subfields = 0;  // in subfields_ from first_subfield
  };
  struct Subfield {
    Text code;
    Text value;
    bool skipped = false;  // its value was no string; reported
  };

  bool Value(Scalar kind, Text text);
  bool Open(bool object);
  void Skip(State after);  // skips the container just opened, then goes to `after`
  Text Here(const char* str, std::size_t length) const;
  std::size_t Tell() const;
  void Note(Problem::Kind kind, std::size_t at, std::string detail);
  std::string Name(const Text& tag, const Text* code) const;
  std::string FieldName() const;  // of the field being read
  std::string SubfieldName() const;
  // A report for a value of `kind` where a string belongs; true when its
  // text is taken (a number).
  bool NotString(Scalar kind, std::size_t at, const std::string& what, const char* instead);

  void BuildLeader(std::string& leader);
  void BuildDataField(const Field& f, unsigned indicators, unsigned code_length);
  // Appends `text` to content_ without the separator bytes that would
  // change the record's shape, reported as in the field of `tag`, subfield
  // `code`; without `code`, a control field's (whose 0x1F bytes are data).
  void AppendText(const Text& text, const Text& tag, const Text* code);
  std::string Quoted(const Text& text) const;

  const char* text_ = nullptr;
  const rapidjson::InsituStringStream* stream_ = nullptr;
  State state_ = State::kTop;
  State after_skip_ = State::kTop;
  unsigned skip_ = 0;   // depth of the containers being skipped
  unsigned depth_ = 0;  // of containers, against too deep a recursion
  int indicator_ = 0;   // which one kIndicatorValue waits for
  bool field_has_key_ = false;
  bool subfield_has_key_ = false;
  bool has_leader_ = false;
  bool has_field_ = false;        // a whole field read
  bool data_field_open_ = false;  // the last field's object not yet closed
  Text leader_;
  std::vector<Field> fields_;
  std::vector<Subfield> subfields_;
  std::vector<Report> reports_;
  const char* stop_reason_ = nullptr;
  std::string content_;  // the field being built
  std::string leader_bytes_;
};

}  // namespace quillet

#endif  // QUILLET_FORMATS_JSON_RECORD_BUILDER_H_
