#include "formats/json_record_builder.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/word_scan.h"
#include "quillet/formats.h"
#include "quillet/iso2709.h"
#include "quillet/marc8.h"
#include "quillet/writer.h"
#include "views/leader_digit.h"

namespace quillet {

namespace {

// Deeper than any record object (record, fields, field, data field,
// subfields, subfield: six); the limit keeps RapidJSON's recursion, one
// stack frame per level, short whatever the input.
constexpr unsigned kMaxJsonDepth = 32;

// Whether `c` is one of the bytes that end records, fields and subfields
// in ISO 2709: in a string, such a byte would change the record's shape.
// Control fields are not cut into subfields, and real ones hold delimiters
// (007 written with subfields): there, with `control`, 0x1F is data.
inline bool JsonSeparator(char c, bool control = false) {
  const unsigned char b = static_cast<unsigned char>(c);
  return b >= iso2709::kRecordTerminator &&
         b <= (control ? iso2709::kFieldTerminator : iso2709::kSubfieldDelimiter);
}

// Whether `size` bytes at `data` hold a separator; eight at a time, as most
// strings hold no control byte at all.
bool HasJsonSeparator(const char* data, std::size_t size, bool control) {
  std::size_t i = 0;
  for (; size - i >= 8; i += 8) {
    if (word_scan::AnyBelow(word_scan::Load8(data + i), 0x20)) break;
  }
  for (; i < size; ++i) {
    if (JsonSeparator(data[i], control)) return true;
  }
  return false;
}

// The characters of `text`, one byte each: an ASCII byte as it is, a
// character of several bytes as `instead`; true when one was replaced.
bool JsonUnits(std::string_view text, char instead, std::string& out) {
  bool replaced = false;
  out.clear();
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8SequenceLength(text.substr(i));
    if (n > 1) {
      out += instead;
      replaced = true;
      i += n;
    } else {
      out += text[i++];
    }
  }
  return replaced;
}

const char* ScalarName(bool number, bool is_null) {
  return number ? "a number" : is_null ? "null" : "true or false";
}

}  // namespace

void JsonRecordBuilder::Start(const char* text, const rapidjson::InsituStringStream* stream) {
  text_ = text;
  stream_ = stream;
  state_ = State::kTop;
  skip_ = 0;
  depth_ = 0;
  has_leader_ = false;
  has_field_ = false;
  data_field_open_ = false;
  leader_ = Text();
  fields_.clear();
  subfields_.clear();
  reports_.clear();
  stop_reason_ = nullptr;
}

JsonRecordBuilder::Text JsonRecordBuilder::Here(const char* str, std::size_t length) const {
  Text t;
  t.data = str;
  t.size = length;
  t.at = static_cast<std::size_t>(str - text_);
  return t;
}

std::size_t JsonRecordBuilder::Tell() const {
  return static_cast<std::size_t>(stream_->src_ - stream_->head_);
}

void JsonRecordBuilder::Note(Problem::Kind kind, std::size_t at, std::string detail) {
  reports_.push_back(Report{kind, at, std::move(detail)});
}

std::string JsonRecordBuilder::Quoted(const Text& text) const {
  // Enough to recognise it; the cut may split a character, which
  // appendJsonText() then writes as U+FFFD.
  constexpr std::size_t kShown = 24;
  std::string out = "\"";
  appendJsonText(std::string_view(text.data, std::min(text.size, kShown)), out);
  if (text.size > kShown) out += "...";
  out += '"';
  return out;
}

std::string JsonRecordBuilder::Name(const Text& tag, const Text* code) const {
  std::string out = "field " + Quoted(tag);
  if (code != nullptr) out += ", subfield " + Quoted(*code);
  return out;
}

std::string JsonRecordBuilder::FieldName() const { return Name(fields_.back().tag, nullptr); }

std::string JsonRecordBuilder::SubfieldName() const {
  return Name(fields_.back().tag, &subfields_.back().code);
}

bool JsonRecordBuilder::NotString(Scalar kind, std::size_t at, const std::string& what,
                                  const char* instead) {
  const bool number = kind == Scalar::kNumber;
  Note(Problem::Kind::kBadField, at,
       what + ": " + ScalarName(number, kind == Scalar::kNull) + " where a string belongs; " +
           (number ? "its text taken" : instead));
  return number;
}

// Scalars --------------------------------------------------------------------

// Called past the literal: where it starts is that many bytes back.
bool JsonRecordBuilder::Null() { return Value(Scalar::kNull, Text{nullptr, 0, Tell() - 4}); }
bool JsonRecordBuilder::Bool(bool b) {
  return Value(Scalar::kBool, Text{nullptr, 0, Tell() - (b ? 4 : 5)});
}
bool JsonRecordBuilder::Default() { return Value(Scalar::kNumber, Text{nullptr, 0, Tell()}); }

bool JsonRecordBuilder::RawNumber(const char* str, rapidjson::SizeType length, bool) {
  // In situ, the number's text stays in the parsed text.
  return Value(Scalar::kNumber, Here(str, length));
}

bool JsonRecordBuilder::String(const char* str, rapidjson::SizeType length, bool) {
  return Value(Scalar::kString, Here(str, length));
}

bool JsonRecordBuilder::Value(Scalar kind, Text text) {
  if (skip_ > 0) return true;
  const bool string = kind == Scalar::kString;
  if (!string && kind != Scalar::kNumber) text.data = nullptr;
  switch (state_) {
    case State::kLeaderValue:
      if (has_leader_) {
        Note(Problem::Kind::kUnknownContent, text.at, "a second \"leader\"; skipped");
      } else if (string || NotString(kind, text.at, "leader", "the default taken")) {
        leader_ = text;
        has_leader_ = true;
      }
      state_ = State::kRecord;
      break;
    case State::kFieldsValue:
      Note(Problem::Kind::kBadField, text.at, "\"fields\" is not an array; skipped");
      state_ = State::kRecord;
      break;
    case State::kFields:
      Note(Problem::Kind::kBadField, text.at, "a field that is not an object; skipped");
      break;
    case State::kTagValue: {
      Field& f = fields_.back();
      f.shape = Field::Shape::kControl;
      has_field_ = true;
      if (string || NotString(kind, text.at, FieldName(), "read as empty")) {
        f.value = text;
      } else {
        f.value = Text{nullptr, 0, text.at};
      }
      state_ = State::kField;
      break;
    }
    case State::kIndicatorValue: {
      Field& f = fields_.back();
      if (string || NotString(kind, text.at, FieldName() + (indicator_ == 0 ? ", ind1" : ", ind2"),
                              "read as a blank")) {
        f.indicators[indicator_] = text;
      } else {
        f.indicators[indicator_] = Text{nullptr, 0, text.at};
      }
      state_ = State::kDataField;
      break;
    }
    case State::kSubfieldsValue:
      Note(Problem::Kind::kBadField, text.at,
           FieldName() + ": \"subfields\" is not an array; skipped");
      state_ = State::kDataField;
      break;
    case State::kSubfields:
      Note(Problem::Kind::kBadField, text.at,
           FieldName() + ": a subfield that is not an object; skipped");
      break;
    case State::kCodeValue:
      if (string || NotString(kind, text.at, SubfieldName(), "read as empty")) {
        subfields_.back().value = text;
      } else {
        subfields_.back().value = Text{nullptr, 0, text.at};
      }
      state_ = State::kSubfield;
      break;
    case State::kUnknownValue: state_ = after_skip_; break;
    default:  // RapidJSON gives values only where JSON allows one
      break;
  }
  return true;
}

// Containers -----------------------------------------------------------------

void JsonRecordBuilder::Skip(State after) {
  skip_ = 1;
  after_skip_ = after;
}

bool JsonRecordBuilder::Open(bool object) {
  if (++depth_ > kMaxJsonDepth) {
    stop_reason_ = "objects and arrays nested deeper than 32 levels";
    return false;
  }
  if (skip_ > 0) {
    ++skip_;
    return true;
  }
  const std::size_t at = Tell() - 1;  // the bracket just read
  const char* const kind = object ? "an object" : "an array";
  switch (state_) {
    case State::kTop:
      state_ = State::kRecord;  // the framer hands over objects only
      break;
    case State::kLeaderValue:
      Note(Problem::Kind::kBadField, at,
           std::string("leader: ") + kind + " where a string belongs; skipped");
      Skip(State::kRecord);
      break;
    case State::kFieldsValue:
      if (object) {
        Note(Problem::Kind::kBadField, at, "\"fields\" is not an array; skipped");
        Skip(State::kRecord);
      } else {
        state_ = State::kFields;
      }
      break;
    case State::kFields:
      if (object) {
        state_ = State::kField;
        field_has_key_ = false;
      } else {
        Note(Problem::Kind::kBadField, at, "a field that is not an object; skipped");
        Skip(State::kFields);
      }
      break;
    case State::kTagValue:
      if (object) {
        Field& f = fields_.back();
        f.shape = Field::Shape::kData;
        f.first_subfield = subfields_.size();
        data_field_open_ = true;
        state_ = State::kDataField;
      } else {
        Note(Problem::Kind::kBadField, at,
             FieldName() + ": an array where a string or an object belongs; skipped");
        Skip(State::kField);
      }
      break;
    case State::kIndicatorValue:
      Note(Problem::Kind::kBadField, at,
           FieldName() + (indicator_ == 0 ? ", ind1: " : ", ind2: ") + kind +
               " where a string belongs; skipped");
      Skip(State::kDataField);
      break;
    case State::kSubfieldsValue:
      if (object) {
        Note(Problem::Kind::kBadField, at,
             FieldName() + ": \"subfields\" is not an array; skipped");
        Skip(State::kDataField);
      } else {
        state_ = State::kSubfields;
      }
      break;
    case State::kSubfields:
      if (object) {
        state_ = State::kSubfield;
        subfield_has_key_ = false;
      } else {
        Note(Problem::Kind::kBadField, at,
             FieldName() + ": a subfield that is not an object; skipped");
        Skip(State::kSubfields);
      }
      break;
    case State::kCodeValue:
      Note(Problem::Kind::kBadField, at,
           SubfieldName() + ": " + kind + " where a string belongs; skipped");
      subfields_.back().skipped = true;
      Skip(State::kSubfield);
      break;
    case State::kUnknownValue: Skip(after_skip_); break;
    default:  // RapidJSON opens containers only where JSON allows a value
      break;
  }
  return true;
}

bool JsonRecordBuilder::StartObject() { return Open(true); }
bool JsonRecordBuilder::StartArray() { return Open(false); }

bool JsonRecordBuilder::EndObject(rapidjson::SizeType) {
  --depth_;
  if (skip_ > 0) {
    if (--skip_ == 0) state_ = after_skip_;
    return true;
  }
  switch (state_) {
    case State::kRecord: state_ = State::kDone; break;
    case State::kField:
      if (!field_has_key_)
        Note(Problem::Kind::kBadField, Tell() - 1, "a field object with no tag; skipped");
      state_ = State::kFields;
      break;
    case State::kDataField:
      state_ = State::kField;
      data_field_open_ = false;
      has_field_ = true;
      break;
    case State::kSubfield:
      if (!subfield_has_key_) {
        Note(Problem::Kind::kBadField, Tell() - 1,
             FieldName() + ": a subfield object with no code; skipped");
      }
      state_ = State::kSubfields;
      break;
    default: break;
  }
  return true;
}

bool JsonRecordBuilder::EndArray(rapidjson::SizeType) {
  --depth_;
  if (skip_ > 0) {
    if (--skip_ == 0) state_ = after_skip_;
    return true;
  }
  if (state_ == State::kFields) state_ = State::kRecord;
  if (state_ == State::kSubfields) state_ = State::kDataField;
  return true;
}

bool JsonRecordBuilder::Key(const char* str, rapidjson::SizeType length, bool) {
  if (skip_ > 0) return true;
  const Text key = Here(str, length);
  const std::string_view name(str, length);
  switch (state_) {
    case State::kRecord:
      if (name == "leader") {
        state_ = State::kLeaderValue;
        return true;
      }
      if (name == "fields") {
        state_ = State::kFieldsValue;
        return true;
      }
      Note(Problem::Kind::kUnknownContent, key.at, "unknown key " + Quoted(key) + "; skipped");
      state_ = State::kUnknownValue;
      after_skip_ = State::kRecord;
      return true;
    case State::kField: {
      // Each member of a field object is a field: one in the objects
      // writeJson() writes.
      field_has_key_ = true;
      Field f;
      f.tag = key;
      fields_.push_back(f);
      state_ = State::kTagValue;
      return true;
    }
    case State::kDataField:
      if (length == 4 && name.compare(0, 3, "ind") == 0 && (name[3] == '1' || name[3] == '2')) {
        indicator_ = name[3] - '1';
        state_ = State::kIndicatorValue;
        return true;
      }
      if (name == "subfields") {
        state_ = State::kSubfieldsValue;
        return true;
      }
      Note(Problem::Kind::kUnknownContent, key.at,
           FieldName() + ": unknown key " + Quoted(key) + "; skipped");
      state_ = State::kUnknownValue;
      after_skip_ = State::kDataField;
      return true;
    case State::kSubfield: {
      subfield_has_key_ = true;
      Subfield s;
      s.code = key;
      subfields_.push_back(s);
      ++fields_.back().subfields;
      state_ = State::kCodeValue;
      return true;
    }
    default: return true;
  }
}

// Building -------------------------------------------------------------------

void JsonRecordBuilder::AppendText(const Text& text, const Text& tag, const Text* code) {
  if (text.size == 0) return;
  const bool control = code == nullptr;
  if (!HasJsonSeparator(text.data, text.size, control)) {
    content_.append(text.data, text.size);
    return;
  }
  for (std::size_t i = 0; i < text.size; ++i) {
    if (!JsonSeparator(text.data[i], control)) content_ += text.data[i];
  }
  Note(Problem::Kind::kBadField, text.at,
       Name(tag, code) + (control ? ": terminator bytes (0x1D, 0x1E) dropped"
                                  : ": separator bytes (0x1D, 0x1E, 0x1F) dropped"));
}

void JsonRecordBuilder::BuildLeader(std::string& leader) {
  if (!has_leader_) {
    // Blanks, and what the leader of any record read from JSON says: its
    // text is UTF-8 (09 'a'), two indicators and codes of one byte
    // (10-11), the entry map of ISO 2709 (20-23).
    leader = "         a22        4500";
    Note(Problem::Kind::kBadField, 0,
         "no leader; read as blanks with 'a' at 09, '22' at 10-11 and '4500' at 20-23");
    return;
  }
  const bool replaced = JsonUnits(std::string_view(leader_.data, leader_.size), ' ', leader);
  if (replaced) {
    Note(Problem::Kind::kBadField, leader_.at,
         "leader: characters that are not one byte read as blanks");
  }
  if (leader.size() != iso2709::kLeaderLength) {
    Note(Problem::Kind::kBadField, leader_.at,
         "leader of " + std::to_string(leader.size()) + " characters; " +
             (leader.size() < iso2709::kLeaderLength ? "padded with blanks" : "cut to 24"));
    leader.resize(iso2709::kLeaderLength, ' ');
  }
}

void JsonRecordBuilder::BuildDataField(const Field& f, unsigned indicators, unsigned code_length) {
  // The indicators the leader counts: blanks for those the object lacks or
  // leaves empty, and for any after the second, which JSON has no room for.
  for (unsigned i = 0; i < indicators || i < 2; ++i) {
    const Text* t = i < 2 ? &f.indicators[i] : nullptr;
    char c = ' ';
    if (t != nullptr && t->size == 1 && !JsonSeparator(t->data[0])) {
      c = t->data[0];
    } else if (t != nullptr && t->size > 0) {
      Note(Problem::Kind::kBadField, t->at,
           Name(f.tag, nullptr) + (i == 0 ? ", ind1 " : ", ind2 ") + Quoted(*t) +
               (t->size == 1 ? " is a separator byte" : " is not one byte") + "; read as a blank");
    }
    if (i < indicators) {
      content_ += c;
    } else if (c != ' ') {
      Note(Problem::Kind::kBadField, t->at,
           Name(f.tag, nullptr) + (i == 0 ? ", ind1" : ", ind2") + ": the leader counts " +
               std::to_string(indicators) + " indicators; dropped");
    }
  }
  for (std::size_t i = f.first_subfield; i < f.first_subfield + f.subfields; ++i) {
    const Subfield& s = subfields_[i];
    if (s.skipped) continue;
    if (s.code.size == 0 && code_length >= 2) {
      if (i == f.first_subfield && s.value.size > 0) {  // the bytes before the first delimiter
        AppendText(s.value, f.tag, &s.code);
        continue;
      }
      content_ += iso2709::kSubfieldDelimiter;  // a delimiter without a code
      if (s.value.size > 0) {
        Note(Problem::Kind::kBadField, s.code.at,
             Name(f.tag, &s.code) + ": no code but a value; its first byte reads as the code");
        AppendText(s.value, f.tag, &s.code);
      }
      continue;
    }
    content_ += iso2709::kSubfieldDelimiter;
    if (code_length >= 2) {
      char code = '?';
      if (s.code.size == 1 && !JsonSeparator(s.code.data[0])) {
        code = s.code.data[0];
      } else {
        Note(Problem::Kind::kBadField, s.code.at,
             Name(f.tag, &s.code) +
                 (s.code.size == 1 ? ": a separator byte as code"
                                   : ": a code that is not one byte") +
                 "; read as ?");
      }
      content_ += code;
    } else {
      AppendText(s.code, f.tag, &s.code);  // codes have no byte of their own: the key is data
    }
    AppendText(s.value, f.tag, &s.code);
  }
}

void JsonRecordBuilder::Build(RecordWriter& writer) {
  writer.clear();
  // A data field still open where a syntax error stopped the parse is not
  // kept: only whole fields are.
  if (data_field_open_) fields_.back().shape = Field::Shape::kNone;
  BuildLeader(leader_bytes_);
  writer.setLeader(leader_bytes_);
  const unsigned indicators = LeaderDigit(leader_bytes_[iso2709::kIndicatorCountOffset], 0);
  const unsigned code_length = LeaderDigit(leader_bytes_[iso2709::kSubfieldCodeLengthOffset], 1);
  std::string tag;
  for (std::size_t n = 0; n < fields_.size(); ++n) {
    const Field& f = fields_[n];
    if (f.shape == Field::Shape::kNone) continue;  // its value was skipped, and reported
    const std::string_view given(f.tag.data, f.tag.size);
    if (given.size() == iso2709::kTagWidth &&
        static_cast<unsigned char>(given[0] | given[1] | given[2]) < 0x80) {
      tag.assign(given);
    } else {
      const bool replaced = JsonUnits(given, '?', tag);
      if (replaced || tag.size() != iso2709::kTagWidth) {
        std::string how = replaced ? "characters of several bytes read as ?" : "";
        if (tag.size() != iso2709::kTagWidth) {
          how += replaced ? ", " : "";
          how += tag.size() < iso2709::kTagWidth ? "padded with blanks" : "cut to 3";
        }
        Note(Problem::Kind::kBadField, f.tag.at,
             "tag " + Quoted(f.tag) + " is not 3 one-byte characters; " + how);
        tag.resize(iso2709::kTagWidth, ' ');
      }
    }
    content_.clear();
    if (f.shape == Field::Shape::kControl) {
      AppendText(f.value, f.tag, nullptr);
    } else {
      BuildDataField(f, indicators, code_length);
    }
    writer.addField(tag, content_);
  }
  std::stable_sort(reports_.begin(), reports_.end(),
                   [](const Report& a, const Report& b) { return a.at < b.at; });
}

}  // namespace quillet
