#include "table.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <quillet/iso2709.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "record.h"

namespace quillet_python {

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using quillet::FieldView;
using quillet::RecordView;
using quillet::SubfieldView;

// --- Columns, filled without the GIL --------------------------------------

// Texts (or absent values) kept as bytes in one buffer; made Python objects
// in one pass with the GIL held. Owns its bytes; filled by one thread
// without the GIL, then read with it.
class TextColumn {
 public:
  void Add(std::string_view s) {
    bytes_.append(s.data(), s.size());
    ends_.push_back(bytes_.size());
  }
  void AddNone() { ends_.push_back(bytes_.size() | kNone); }
  std::size_t size() const { return ends_.size(); }
  void Reserve(std::size_t items, std::size_t bytes) {
    ends_.reserve(items);
    bytes_.reserve(bytes);
  }

  // Item i as a new reference: str (or bytes when `raw`), or None. Texts are
  // UTF-8 from the library's text layer; "replace" only guards the edge.
  PyObject* Object(std::size_t i, bool raw) const {
    const std::uint64_t end = ends_[i];
    if (end & kNone) Py_RETURN_NONE;
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1] & ~kNone;
    const char* p = bytes_.data() + begin;
    const Py_ssize_t n = static_cast<Py_ssize_t>(end - begin);
    return raw ? PyBytes_FromStringAndSize(p, n) : PyUnicode_DecodeUTF8(p, n, "replace");
  }

 private:
  static constexpr std::uint64_t kNone = std::uint64_t{1} << 63;
  std::string bytes_;
  std::vector<std::uint64_t> ends_;  // each item's end; kNone marks an absent one
};

// The distinct texts of a categorical column, each given a code in the order
// first seen. The text of a tag, indicator or code depends on its bytes and
// the charset only, so each distinct byte string is looked up once. Owns
// its texts; one thread at a time, names made with the GIL held.
class Categories {
 public:
  explicit Categories(quillet::TextOptions options) : text_(options) { by_byte_.fill(kUnseen); }

  // The code of a one-byte (or empty) key: an indicator or a subfield code.
  std::int16_t ByteCode(std::string_view raw) {
    const std::size_t slot = raw.empty() ? 256 : static_cast<unsigned char>(raw[0]);
    if (by_byte_[slot] == kUnseen) by_byte_[slot] = static_cast<std::int16_t>(Code(raw));
    return by_byte_[slot];
  }
  // The code of a tag (three bytes).
  std::int32_t TagCode(std::string_view tag) {
    std::uint32_t key = 0;
    std::memcpy(&key, tag.data(), 3);
    const auto found = by_tag_.find(key);
    if (found != by_tag_.end()) return found->second;
    const std::int32_t code = Code(tag);
    by_tag_.emplace(key, code);
    return code;
  }
  // The code of `raw` made plain text (tags, indicators and codes are no
  // text in any encoding: bytes that are not UTF-8 become U+FFFD).
  std::int32_t Code(std::string_view raw) { return TextCode(text_.plain(raw)); }
  // The code of a text as it stands.
  std::int32_t TextCode(std::string_view text) {
    const auto found = index_.find(std::string(text));
    if (found != index_.end()) return found->second;
    const std::int32_t code = static_cast<std::int32_t>(names_.size());
    names_.emplace_back(text);
    index_.emplace(names_.back(), code);
    return code;
  }

  py::list Names(bool raw) const {
    py::list out;
    for (const std::string& n : names_) {
      out.append(raw ? py::object(py::bytes(n)) : py::object(py::str(n)));
    }
    return out;
  }

 private:
  static constexpr std::int16_t kUnseen = -2;
  quillet::RecordText text_;  // for plain() only
  std::array<std::int16_t, 257> by_byte_;
  std::unordered_map<std::uint32_t, std::int32_t> by_tag_;
  std::unordered_map<std::string, std::int32_t> index_;
  std::vector<std::string> names_;
};

// --- Python objects, made with the GIL held ---------------------------------

template <typename T>
py::array_t<T> Array(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  if (!v.empty()) std::memcpy(out.mutable_data(), v.data(), v.size() * sizeof(T));
  return out;
}

// An array of `n` objects, each None.
py::array ObjectArray(std::size_t n) {
  static PyObject* empty = nullptr;  // numpy.empty, kept for the module's life
  if (empty == nullptr) {
    empty = py::object(py::module_::import("numpy").attr("empty")).release().ptr();
  }
  return py::reinterpret_borrow<py::object>(empty)(n, "dtype"_a = "O");
}

// The slots of an array from ObjectArray().
PyObject** Slots(py::array& array) { return static_cast<PyObject**>(array.mutable_data()); }

// Puts the new reference `item` in `slot`, dropping the None it held.
void Put(PyObject** slot, PyObject* item) {
  if (item == nullptr) throw py::error_already_set();
  PyObject* old = *slot;
  *slot = item;
  Py_XDECREF(old);
}

py::array Objects(const TextColumn& c, bool raw) {
  py::array out = ObjectArray(c.size());
  PyObject** slots = Slots(out);
  for (std::size_t i = 0; i < c.size(); ++i) Put(slots + i, c.Object(i, raw));
  return out;
}

template <typename Code>
py::tuple Categorical(const std::vector<Code>& codes, const Categories& categories, bool raw) {
  return py::make_tuple(Array(codes), categories.Names(raw));
}

// --- Input --------------------------------------------------------------------

// A source opened for a table: a path or bytes (quillet/table.py reads file
// objects and copies other buffers into bytes first), read by the library's
// Reader in any format. Holds what the reader reads from; one thread at a
// time.
class Input {
 public:
  Input(py::object source, const std::string& name, const std::string& format, std::uint64_t start)
      : start_(start) {
    quillet::Reader::Options options;
    if (!quillet::parseInputFormat(format, &options.format)) {
      throw py::value_error("unknown input format \"" + format +
                            "\": use \"auto\", \"marc\", \"xml\", \"json\" or \"mrk\"");
    }
    if (py::isinstance<py::str>(source)) {
      const std::string path = source.cast<std::string>();
      name_ = name.empty() ? path : name;
      std::error_code ignored;
      const std::uintmax_t size = std::filesystem::file_size(path, ignored);
      if (!ignored) size_ = static_cast<std::size_t>(size);
      try {
        reader_.reset(new quillet::Reader(path, options));
      } catch (const std::system_error& e) {
        errno = e.code().value();
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
      }
    } else if (py::isinstance<py::bytes>(source)) {
      keep_ = source;
      name_ = name.empty() ? "<bytes>" : name;
      size_ = static_cast<std::size_t>(PyBytes_GET_SIZE(source.ptr()));
      reader_.reset(new quillet::Reader(PyBytes_AS_STRING(source.ptr()),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(source.ptr())),
                                        options));
    } else {
      throw py::type_error("a table is read from a path (str) or bytes");
    }
    head_.assign(reader_->head(32));
    if (reader_->format() == quillet::InputFormat::kIso2709) {
      const std::string reason = quillet::nonIso2709Reason(reader_->head(512));
      if (!reason.empty()) throw py::value_error(name_ + ": " + reason);
    }
  }

  // Frames every record and hands it to `add` (with its offset in the file),
  // without the GIL.
  template <typename Add>
  void ForEach(Add add) {
    py::gil_scoped_release release;
    RecordView rec;
    while (reader_->next(rec)) {
      ++records_;
      add(rec);
    }
  }

  // After the last record: a read error raises OSError, and bytes with no
  // record in them the reader's ValueError (only for an input from its start:
  // a block cut out of a file may hold none).
  void Finish() {
    for (const quillet::Problem& p : reader_->problems()) {
      if (p.kind == quillet::Problem::Kind::kReadError) {
        PyErr_SetString(PyExc_OSError, (name_ + ": " + reader_->readError()).c_str());
        throw py::error_already_set();
      }
    }
    if (records_ == 0 && start_ == 0 && reader_->position() > 0) {
      throw py::value_error(name_ + ": " + quillet::noRecordMessage(reader_->format(), head_));
    }
  }

  quillet::Span<quillet::Problem> problems() const { return reader_->problems(); }
  // The input's size in bytes when known (a file's, compressed or not), or 0.
  std::size_t size() const { return size_; }
  std::uint64_t start() const { return start_; }
  std::uint64_t records() const { return records_; }

 private:
  std::uint64_t start_;  // added to every offset
  std::string name_;
  py::object keep_;  // the bytes read from
  std::unique_ptr<quillet::Reader> reader_;
  std::string head_;
  std::uint64_t records_ = 0;
  std::size_t size_ = 0;
};

// The text of the record's first 001 (decoded as a value) in `out`; false
// when it has none.
bool ControlNumberText(const RecordView& rec, quillet::RecordText& text, std::string* out) {
  if (rec.field("001") == nullptr) return false;
  text.startField();
  out->assign(text.text(rec.controlNumber()));
  return true;
}

void ControlNumber(const RecordView& rec, quillet::RecordText& text, TextColumn& out) {
  std::string cn;
  if (ControlNumberText(rec, text, &cn)) {
    out.Add(cn);
  } else {
    out.AddNone();
  }
}

// --- to_long ------------------------------------------------------------------

// One row per subfield and per control field; a data field with no
// subfield gets one row with no code and no value, so that no field is lost.
// Owns its columns (nothing points into the records added); Add() runs
// without the GIL, Columns() with it; one thread at a time.
class LongTable {
 public:
  LongTable(quillet::TextOptions options, std::vector<std::string> tags)
      : options_(options),
        text_(options),
        tags_(std::move(tags)),
        tag_names_(options),
        ind_names_(options),
        code_names_(options) {}

  // Room for the rows of an input of `bytes`, so that the columns are not
  // copied as they grow: ISO 2709 takes some 30 bytes a row, and room never
  // written to is only address space.
  void Reserve(std::size_t bytes) {
    const std::size_t rows = bytes / 16;
    rows_.reserve(rows);
    fields_.reserve(rows);
    tags_codes_.reserve(rows);
    ind1_.reserve(rows);
    ind2_.reserve(rows);
    subfields_.reserve(rows);
    codes_.reserve(rows);
    values_.Reserve(rows, bytes);
  }

  void Add(const RecordView& rec, std::uint64_t start) {
    const std::uint32_t record = static_cast<std::uint32_t>(offsets_.size());
    offsets_.push_back(static_cast<std::int64_t>(rec.offset() + start));
    text_.start(rec);
    ControlNumber(rec, text_, control_numbers_);
    const quillet::Span<FieldView> fields = rec.fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const FieldView& f = fields[i];
      if (!Selected(f)) continue;
      text_.startField();
      const std::int32_t field = static_cast<std::int32_t>(i);
      const std::int32_t tag = tag_names_.TagCode(f.tag());
      if (f.isControl()) {
        Row(record, field, tag, -1, -1, -1, -1);
        values_.Add(text_.text(f.data()));
        continue;
      }
      const std::int16_t ind1 = ind_names_.ByteCode(quillet::fieldIndicator(f, 0));
      const std::int16_t ind2 = ind_names_.ByteCode(quillet::fieldIndicator(f, 1));
      std::int32_t position = 0;
      const std::string_view prefix = quillet::fieldPrefix(f);
      if (!prefix.empty()) {  // bytes before the first delimiter: code ""
        Row(record, field, tag, ind1, ind2, position++, code_names_.ByteCode(""));
        values_.Add(text_.text(prefix));
      }
      for (const SubfieldView& s : f.subfields()) {
        Row(record, field, tag, ind1, ind2, position++,
            code_names_.ByteCode(quillet::subfieldCode(s)));
        values_.Add(text_.text(s.value()));
      }
      if (position == 0) {
        Row(record, field, tag, ind1, ind2, -1, -1);
        values_.AddNone();
      }
    }
  }

  py::dict Columns() const {
    const bool raw = !options_.toUtf8();
    const std::size_t n = rows_.size();
    std::vector<std::int64_t> record(n), offset(n);
    for (std::size_t i = 0; i < n; ++i) {
      record[i] = rows_[i] + 1;
      offset[i] = offsets_[rows_[i]];
    }
    py::dict out;
    out["record"] = Array(record);
    out["offset"] = Array(offset);
    // One str per record, shared by its rows.
    py::array cn = ObjectArray(n);
    PyObject** slots = Slots(cn);
    PyObject* current = nullptr;
    std::uint32_t current_record = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (current == nullptr || rows_[i] != current_record) {
        Py_XDECREF(current);
        current_record = rows_[i];
        current = control_numbers_.Object(current_record, raw);
        if (current == nullptr) throw py::error_already_set();
      }
      Py_INCREF(current);
      Put(slots + i, current);
    }
    Py_XDECREF(current);
    out["control_number"] = cn;
    out["field"] = Array(fields_);
    out["tag"] = Categorical(tags_codes_, tag_names_, raw);
    out["ind1"] = Categorical(ind1_, ind_names_, raw);
    out["ind2"] = Categorical(ind2_, ind_names_, raw);
    out["subfield"] = Array(subfields_);
    out["code"] = Categorical(codes_, code_names_, raw);
    out["value"] = Objects(values_, raw);
    return out;
  }

 private:
  bool Selected(const FieldView& f) const {
    if (tags_.empty()) return true;
    for (const std::string& t : tags_) {
      if (f.matches(t)) return true;
    }
    return false;
  }

  void Row(std::uint32_t record, std::int32_t field, std::int32_t tag, std::int16_t ind1,
           std::int16_t ind2, std::int32_t subfield, std::int16_t code) {
    rows_.push_back(record);
    fields_.push_back(field);
    tags_codes_.push_back(tag);
    ind1_.push_back(ind1);
    ind2_.push_back(ind2);
    subfields_.push_back(subfield);
    codes_.push_back(code);
  }

  quillet::TextOptions options_;
  quillet::RecordText text_;
  std::vector<std::string> tags_;  // patterns of the fields kept; all when empty
  Categories tag_names_, ind_names_, code_names_;
  // Per record.
  std::vector<std::int64_t> offsets_;
  TextColumn control_numbers_;
  // Per row.
  std::vector<std::uint32_t> rows_;  // the record's index
  std::vector<std::int32_t> fields_;
  std::vector<std::int32_t> tags_codes_;
  std::vector<std::int16_t> ind1_, ind2_;
  std::vector<std::int32_t> subfields_;  // -1: none (a control field, a field of no subfield)
  std::vector<std::int16_t> codes_;      // -1: none
  TextColumn values_;
};

// --- to_wide: the selector language ---------------------------------------------

// One column of to_wide, compiled from its selector:
//   LDR or a tag (245, 6XX: X or . for any character),
//   [12] indicators (# or _ for a blank, . for any),
//   subfield codes (abc), or /N or /N-M for character positions of the
//   leader or a control field,
//   * for every occurrence as a list.
struct Selector {
  std::string column;
  std::string text;
  bool leader = false;
  std::string tag;             // a tag pattern
  char ind[2] = {'\0', '\0'};  // '\0': any
  std::string codes;           // empty: every subfield
  bool sliced = false;
  std::size_t from = 0, to = 0;  // positions, both included
  bool every = false;
};

[[noreturn]] void Refuse(const Selector& s, const std::string& what) {
  throw py::value_error("bad selector \"" + s.text + "\" for column \"" + s.column + "\": " + what);
}

bool IsControlTag(const std::string& tag) { return tag[0] == '0' && tag[1] == '0'; }

bool IsTagChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.';
}

// The number at s.text[i...]; moves i past it.
std::size_t Number(const Selector& s, std::size_t& i) {
  const std::size_t first = i;
  std::size_t n = 0;
  while (i < s.text.size() && s.text[i] >= '0' && s.text[i] <= '9') {
    if (i - first >= 6) Refuse(s, "a character position has at most six digits");
    n = n * 10 + static_cast<std::size_t>(s.text[i++] - '0');
  }
  if (i == first) Refuse(s, "character positions are /N or /N-M (/35-37, /06)");
  return n;
}

Selector ParseSelector(const std::string& column, const std::string& text) {
  Selector s;
  s.column = column;
  s.text = text;
  const std::string& t = s.text;
  std::size_t i = 0;
  if (t.empty()) Refuse(s, "it is empty");
  if (t.compare(0, 3, "LDR") == 0) {
    s.leader = true;
    i = 3;
  } else {
    while (i < 3 && i < t.size() && IsTagChar(t[i])) ++i;
    if (i < 3) {
      Refuse(s,
             "it must start with LDR or a tag of three characters (digits, letters; X or . "
             "for any), such as 245 or 6XX");
    }
    s.tag = t.substr(0, 3);
  }
  const bool control = s.leader || IsControlTag(s.tag);
  if (i < t.size() && t[i] == '[') {
    if (control) Refuse(s, "the leader and control fields (00X) have no indicators");
    if (i + 3 >= t.size() || t[i + 3] != ']' || t[i + 1] == ']' || t[i + 2] == ']') {
      Refuse(s,
             "indicators are two characters in brackets: [10], [#4] (# or _ for a blank, . "
             "for any)");
    }
    for (int k = 0; k < 2; ++k) {
      const char c = t[i + 1 + k];
      s.ind[k] = c == '.' ? '\0' : (c == '#' || c == '_') ? ' ' : c;
    }
    i += 4;
  }
  if (i < t.size() && t[i] == '/') {
    if (!control)
      Refuse(s, "character positions (/N-M) are for the leader and control fields (00X)");
    ++i;
    s.sliced = true;
    s.from = s.to = Number(s, i);
    if (i < t.size() && t[i] == '-') {
      ++i;
      s.to = Number(s, i);
      if (s.to < s.from) Refuse(s, "the last character position comes before the first");
    }
  } else {
    while (i < t.size() && t[i] != '*') {
      const char c = t[i];
      if (c <= ' ' || c > '~' || c == '[' || c == ']' || c == '/') {
        Refuse(s, std::string("unexpected '") + c + "' at position " + std::to_string(i) +
                      ": subfield codes are letters, digits or signs");
      }
      if (control) {
        Refuse(s,
               "the leader and control fields (00X) have no subfield codes; use /N-M for "
               "character positions");
      }
      s.codes.push_back(c);
      ++i;
    }
  }
  if (i < t.size() && t[i] == '*') {
    s.every = true;
    ++i;
  }
  if (i < t.size()) {
    Refuse(s, std::string("unexpected '") + t[i] + "' at position " + std::to_string(i));
  }
  return s;
}

// One row per record: for each selector, the text of its first occurrence
// (None when there is none) or, with *, the list of every occurrence.
// Owns its columns; Add() runs without the GIL, Columns() with it; one
// thread at a time.
class WideTable {
 public:
  WideTable(quillet::TextOptions options, std::vector<Selector> selectors)
      : options_(options),
        text_(options),
        selectors_(std::move(selectors)),
        values_(selectors_.size()),
        counts_(selectors_.size()) {}

  void Add(const RecordView& rec, std::uint64_t start) {
    offsets_.push_back(static_cast<std::int64_t>(rec.offset() + start));
    text_.start(rec);
    ControlNumber(rec, text_, control_numbers_);
    for (std::size_t c = 0; c < selectors_.size(); ++c) {
      const Selector& s = selectors_[c];
      std::uint32_t found = 0;
      if (s.leader) {
        const std::string leader(text_.leader());
        std::string_view piece;
        if (Slice(s, leader, &piece)) {
          values_[c].Add(text_.plain(piece));
          ++found;
        }
      } else {
        for (const FieldView& f : rec.fields(s.tag)) {
          if (!Occurrence(s, f)) continue;
          values_[c].Add(joined_);
          ++found;
          if (!s.every) break;
        }
      }
      if (s.every) {
        counts_[c].push_back(found);
      } else if (found == 0) {
        values_[c].AddNone();
      }
    }
  }

  py::dict Columns() const {
    const bool raw = !options_.toUtf8();
    py::dict out;
    std::vector<std::int64_t> record(offsets_.size());
    for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::int64_t>(i) + 1;
    out["record"] = Array(record);
    out["offset"] = Array(offsets_);
    py::list columns;
    for (std::size_t c = 0; c < selectors_.size(); ++c) {
      if (!selectors_[c].every) {
        columns.append(Objects(values_[c], raw));
        continue;
      }
      py::array lists = ObjectArray(offsets_.size());
      PyObject** slots = Slots(lists);
      std::size_t item = 0;
      for (std::size_t r = 0; r < counts_[c].size(); ++r) {
        PyObject* list = PyList_New(counts_[c][r]);
        Put(slots + r, list);
        for (std::uint32_t k = 0; k < counts_[c][r]; ++k) {
          PyObject* v = values_[c].Object(item++, raw);
          if (v == nullptr) throw py::error_already_set();
          PyList_SET_ITEM(list, k, v);
        }
      }
      columns.append(lists);
    }
    out["columns"] = columns;
    return out;
  }

 private:
  // The positions of `s` in `whole`; false when it is too short to hold the
  // first. Positions count bytes, as the formats define them.
  static bool Slice(const Selector& s, std::string_view whole, std::string_view* piece) {
    if (!s.sliced) {
      *piece = whole;
      return true;
    }
    if (s.from >= whole.size()) return false;
    *piece = whole.substr(s.from, s.to - s.from + 1);
    return true;
  }

  // Whether `f` is an occurrence of `s`; its text in joined_ then: a control
  // field's (positions), or the selected subfields' values joined by blanks.
  bool Occurrence(const Selector& s, const FieldView& f) {
    joined_.clear();
    text_.startField();
    if (f.isControl()) {
      if (!s.codes.empty()) return false;
      std::string_view piece;
      if (!Slice(s, f.data(), &piece)) return false;
      joined_.assign(text_.text(piece));
      return true;
    }
    if (s.sliced) return false;
    for (int k = 0; k < 2; ++k) {
      if (s.ind[k] != '\0' && (k == 0 ? f.indicator1() : f.indicator2()) != s.ind[k]) return false;
    }
    text_.skip(quillet::fieldPrefix(f));
    bool any = false;
    for (const SubfieldView& sub : f.subfields()) {
      if (!s.codes.empty() &&
          (sub.code() == '\0' || s.codes.find(sub.code()) == std::string::npos)) {
        text_.skip(sub.value());
        continue;
      }
      if (any) joined_.push_back(' ');
      joined_.append(text_.text(sub.value()));
      any = true;
    }
    return any || s.codes.empty();
  }

  quillet::TextOptions options_;
  quillet::RecordText text_;
  std::vector<Selector> selectors_;
  std::vector<std::int64_t> offsets_;
  TextColumn control_numbers_;
  std::vector<TextColumn> values_;                  // per selector: its values
  std::vector<std::vector<std::uint32_t>> counts_;  // per * selector: values per record
  std::string joined_;
};

// --- problems -------------------------------------------------------------------

const char* TextKindName(quillet::TextProblem::Kind kind) {
  // The names quillet.Record.problems gives (record.cc).
  switch (kind) {
    case quillet::TextProblem::Kind::kUnmapped: return "unmapped";
    case quillet::TextProblem::Kind::kUnknownEscape: return "unknown_escape";
    case quillet::TextProblem::Kind::kCutShort: return "cut_short";
    case quillet::TextProblem::Kind::kInvalidUtf8: return "invalid_utf8";
  }
  return "unknown";
}

// One row per problem: the reader's repairs and what decoding the text
// found, as Record.problems lists them, then what belongs to no record.
// control_number is the record's 001, or for a record without one the last
// 001 before it. Owns its columns; Add() runs without the GIL, Columns()
// with it; one thread at a time.
class ProblemTable {
 public:
  explicit ProblemTable(quillet::TextOptions options)
      : options_(options), text_(options), kinds_(options) {}

  void Add(const RecordView& rec, std::uint64_t start) {
    ++records_;
    text_.start(rec);
    if (ControlNumberText(rec, text_, &cn_)) has_cn_ = true;
    for (const quillet::Problem& p : rec.problems()) {
      const PyProblem named = MakeProblem(p);
      Row(records_, p.offset + start, named.kind, named.description);
    }
    if (!options_.toUtf8()) return;
    if (const char* disagreement = text_.guess().disagreement()) {
      Row(records_, rec.offset() + start + quillet::iso2709::kCharacterCodingOffset,
          "leader_disagrees", disagreement);
    }
    text_.start(rec);  // anew: the 001 was decoded above
    text_.decodeAll();
    for (const quillet::TextProblem& p : text_.problems()) {
      Row(records_, p.offset + start, TextKindName(p.kind), p.describe());
    }
  }

  // What belongs to no record (junk after the last one): record 0.
  void AddUnattached(const Input& in) {
    for (const quillet::Problem& p : in.problems()) {
      const PyProblem named = MakeProblem(p);
      Row(0, p.offset + in.start(), named.kind, named.description);
    }
  }

  py::dict Columns() const {
    const bool raw = !options_.toUtf8();
    py::dict out;
    out["record"] = Array(record_);
    out["offset"] = Array(offset_);
    out["control_number"] = Objects(control_numbers_, raw);
    out["kind"] = Categorical(kind_codes_, kinds_, false);
    out["message"] = Objects(messages_, false);
    py::object last = py::none();
    if (has_cn_) last = raw ? py::object(py::bytes(cn_)) : py::object(py::str(cn_));
    out["last_control_number"] = last;
    return out;
  }

 private:
  void Row(std::int64_t record, std::uint64_t offset, std::string_view kind,
           std::string_view message) {
    record_.push_back(record);
    offset_.push_back(static_cast<std::int64_t>(offset));
    if (has_cn_) {
      control_numbers_.Add(cn_);
    } else {
      control_numbers_.AddNone();
    }
    kind_codes_.push_back(static_cast<std::int16_t>(kinds_.TextCode(kind)));
    messages_.Add(message);
  }

  quillet::TextOptions options_;
  quillet::RecordText text_;
  Categories kinds_;
  std::int64_t records_ = 0;
  bool has_cn_ = false;               // whether a record so far had a 001
  std::string cn_;                    // the last 001 so far
  std::vector<std::int64_t> record_;  // 0: no record
  std::vector<std::int64_t> offset_;
  TextColumn control_numbers_;
  std::vector<std::int16_t> kind_codes_;
  TextColumn messages_;
};

std::vector<std::string> TagPatterns(const py::object& tags) {
  std::vector<std::string> out;
  if (tags.is_none()) return out;
  if (py::isinstance<py::str>(tags)) {
    throw py::type_error("tags is a list of tags or patterns (['245', '6XX']), not a str");
  }
  for (py::handle t : tags) {
    const std::string pattern = t.cast<std::string>();
    if (!quillet::isTagPattern(pattern)) {
      throw py::value_error("bad tag \"" + pattern +
                            "\": a tag or pattern is three characters (245, 6XX, 6..)");
    }
    out.push_back(pattern);
  }
  if (out.empty()) throw py::value_error("tags is empty: give None for every field");
  return out;
}

// Reads `source` into `table` and gives its columns, with the number of
// records read.
template <typename Table>
py::dict Read(Table& table, py::object source, const std::string& name, const std::string& format,
              std::uint64_t start) {
  Input in(std::move(source), name, format, start);
  if constexpr (std::is_same_v<Table, LongTable>) table.Reserve(in.size());
  in.ForEach([&](const RecordView& rec) { table.Add(rec, in.start()); });
  in.Finish();
  if constexpr (std::is_same_v<Table, ProblemTable>) table.AddUnattached(in);
  py::dict out = table.Columns();
  out["records"] = in.records();
  return out;
}

}  // namespace

void BindTable(py::module_& m) {
  m.def(
      "_long_columns",
      [](py::object source, py::object tags, const std::string& charset, const std::string& format,
         std::uint64_t start, const std::string& name) {
        LongTable table(MakeTextOptions(charset, false, false), TagPatterns(tags));
        return Read(table, std::move(source), name, format, start);
      },
      "source"_a, py::kw_only(), "tags"_a = py::none(), "charset"_a = "auto", "format"_a = "auto",
      "start"_a = 0, "name"_a = "", "The columns of quillet.to_long() (see quillet/table.py).");
  m.def(
      "_wide_columns",
      [](py::object source, const std::vector<std::pair<std::string, std::string>>& columns,
         const std::string& charset, const std::string& format, std::uint64_t start,
         const std::string& name) {
        std::vector<Selector> selectors;
        for (const auto& c : columns) selectors.push_back(ParseSelector(c.first, c.second));
        WideTable table(MakeTextOptions(charset, false, false), std::move(selectors));
        return Read(table, std::move(source), name, format, start);
      },
      "source"_a, "columns"_a, py::kw_only(), "charset"_a = "auto", "format"_a = "auto",
      "start"_a = 0, "name"_a = "", "The columns of quillet.to_wide() (see quillet/table.py).");
  m.def(
      "_problem_columns",
      [](py::object source, const std::string& charset, const std::string& format,
         std::uint64_t start, const std::string& name) {
        ProblemTable table(MakeTextOptions(charset, false, false));
        return Read(table, std::move(source), name, format, start);
      },
      "source"_a, py::kw_only(), "charset"_a = "auto", "format"_a = "auto", "start"_a = 0,
      "name"_a = "", "The columns of quillet.problems() (see quillet/table.py).");
  m.def(
      "_detect_format",
      [](py::bytes head) -> const char* {
        switch (quillet::detectFormat(std::string_view(head))) {
          case quillet::InputFormat::kIso2709: return "marc";
          case quillet::InputFormat::kMarcXml: return "xml";
          case quillet::InputFormat::kJson: return "json";
          case quillet::InputFormat::kMnemonic: return "mrk";
          case quillet::InputFormat::kAuto: break;
        }
        return "auto";
      },
      "head"_a, "The format of input that starts with `head`: marc, xml, json, mrk or auto.");
  m.def(
      "_parse_selector",
      [](const std::string& column, const std::string& selector) {
        ParseSelector(column, selector);
      },
      "column"_a, "selector"_a, "Raises ValueError when `selector` is malformed.");
}

}  // namespace quillet_python
