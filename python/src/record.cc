#include "record.h"

#include <pybind11/stl.h>
#include <quillet/formats.h>
#include <quillet/iso2709.h>
#include <quillet/marc_record.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "convert.h"
#include "field.h"
#include "leader.h"

namespace quillet_python {

namespace {

using quillet::FieldView;
using quillet::Problem;
using quillet::TextProblem;

const char* KindName(Problem::Kind kind) {
  switch (kind) {
    case Problem::Kind::kJunkSkipped: return "junk_skipped";
    case Problem::Kind::kLengthRepaired: return "length_repaired";
    case Problem::Kind::kLongRecord: return "long_record";
    case Problem::Kind::kMissingRecordTerminator: return "missing_record_terminator";
    case Problem::Kind::kTruncated: return "truncated";
    case Problem::Kind::kBadLength: return "bad_length";
    case Problem::Kind::kBadBaseAddress: return "bad_base_address";
    case Problem::Kind::kDirectorySplit: return "directory_split";
    case Problem::Kind::kBadDirectoryEntry: return "bad_directory_entry";
    case Problem::Kind::kFieldOutOfRecord: return "field_out_of_record";
    case Problem::Kind::kMissingFieldTerminator: return "missing_field_terminator";
    case Problem::Kind::kShortDataField: return "short_data_field";
    case Problem::Kind::kNoSubfields: return "no_subfields";
    case Problem::Kind::kSubfieldWithoutCode: return "subfield_without_code";
    case Problem::Kind::kTerminatorInField: return "terminator_in_field";
    case Problem::Kind::kReadError: return "read_error";
    case Problem::Kind::kMalformed: return "malformed";
    case Problem::Kind::kUnknownContent: return "unknown_content";
    case Problem::Kind::kBadField: return "bad_field";
    case Problem::Kind::kUnbuildable: return "unbuildable";
    case Problem::Kind::kMoreProblems: return "more_problems";
    case Problem::Kind::kEmptyFieldsSkipped: return "empty_fields_skipped";
  }
  return "unknown";
}

const char* KindName(TextProblem::Kind kind) {
  switch (kind) {
    case TextProblem::Kind::kUnmapped: return "unmapped";
    case TextProblem::Kind::kUnknownEscape: return "unknown_escape";
    case TextProblem::Kind::kCutShort: return "cut_short";
    case TextProblem::Kind::kInvalidUtf8: return "invalid_utf8";
  }
  return "unknown";
}

// All problems of the record: the reader's repairs, then (unless raw) what
// decoding its text found, in the order of their offsets.
std::vector<PyProblem> Problems(const RecordData& d) {
  std::vector<PyProblem> out;
  for (const Problem& p : d.view.problems()) {
    out.push_back(MakeProblem(p));
  }
  if (!d.text.toUtf8()) return out;
  if (const char* disagreement = d.guess.disagreement()) {
    out.push_back({"leader_disagrees", d.offset + quillet::iso2709::kCharacterCodingOffset,
                   disagreement, disagreement});
  }
  FieldText text(d);
  text.text().decodeAll();
  const std::vector<TextProblem>& text_problems = text.text().problems();
  for (const TextProblem& p : text_problems) {
    out.push_back({KindName(p.kind), p.offset, p.message(), p.describe()});
  }
  return out;
}

// The Python record. Until it is first changed it is its data (the bytes
// as read and their parse, shared read-only with its view fields) and
// nothing more: reading costs what it did before records could change.
//
// Its fields are, in turn:
//   - the data's fields, in order, while no field was handed out;
//   - slots: per field, its index in the data (or kNew) and the Field
//     object once made. Made when a field is first handed out, so that the
//     record hands out the one object it holds (a change to it changes the
//     record); adding and removing work on slots without making objects;
//   - the live list, once `record.fields` was asked for (or set): then that
//     list is the truth, and whatever Python does to it the record is.
// A record holds its Field objects; fields hold no reference to a record,
// so there is no cycle. Used under the GIL only.
struct Slot {
  std::uint32_t index;
  PyObject* field;  // a strong reference, or null until made
};
constexpr std::uint32_t kNew = static_cast<std::uint32_t>(-1);

constexpr std::size_t kCached = 4;

struct RecordObject {
  PyObject_HEAD
  std::shared_ptr<const RecordData> data;  // null for a record built in Python
  // Before slots are made, the first fields handed out (a read loop asks
  // for two or three) are kept here: no allocation per record for them.
  Slot cached[kCached];
  std::uint32_t cached_count;
  std::vector<Slot> slots;
  PyObject* list;  // the live list, or null
  bool slotted;    // slots are made
  bool raw;        // text is bytes
  bool leader_set;
  char leader[24];  // when leader_set
};

PyTypeObject* record_type = nullptr;
PyObject* record_from_state = nullptr;  // the unpickling function
PyObject* field_not_found = nullptr;    // quillet.FieldNotFound

RecordObject& Of(PyObject* self) { return *reinterpret_cast<RecordObject*>(self); }

// The default leader of a built record: the library's.
const quillet::MarcRecord& Empty() {
  static const quillet::MarcRecord* empty = new quillet::MarcRecord;
  return *empty;
}

RecordObject* Allocate() {
  RecordObject* r = PyObject_New(RecordObject, record_type);
  if (r == nullptr) throw py::error_already_set();
  new (&r->data) std::shared_ptr<const RecordData>();
  new (&r->slots) std::vector<Slot>();
  r->cached_count = 0;
  r->list = nullptr;
  r->slotted = false;
  r->raw = false;
  r->leader_set = false;
  return r;
}

// --- the sequence of fields, whichever form it has --------------------------

std::size_t Count(const RecordObject& r) {
  if (r.list != nullptr) return static_cast<std::size_t>(PyList_GET_SIZE(r.list));
  if (r.slotted) return r.slots.size();
  return r.data->view.fields().size();
}

void MakeSlots(RecordObject& r) {
  if (r.slotted || r.list != nullptr) return;
  const std::size_t n = r.data->view.fields().size();
  r.slots.reserve(n + 2);
  for (std::size_t i = 0; i < n; ++i) r.slots.push_back({static_cast<std::uint32_t>(i), nullptr});
  for (std::uint32_t i = 0; i < r.cached_count; ++i) r.slots[r.cached[i].index] = r.cached[i];
  r.cached_count = 0;
  r.slotted = true;
}

// The tag of field `i`, without making its object.
std::string_view TagAt(const RecordObject& r, std::size_t i) {
  if (r.list != nullptr) {
    return FieldTag(AsField(PyList_GET_ITEM(r.list, static_cast<Py_ssize_t>(i)), "record.fields"));
  }
  if (r.slotted) {
    const Slot& s = r.slots[i];
    if (s.field != nullptr) return FieldTag(AsField(s.field, "a record"));
    return r.data->view.fields()[s.index].tag();
  }
  for (std::uint32_t c = 0; c < r.cached_count; ++c) {
    if (r.cached[c].index == i) return FieldTag(AsField(r.cached[c].field, "a record"));
  }
  return r.data->view.fields()[i].tag();
}

// Field `i`, made when it was not: a borrowed reference.
PyObject* FieldAt(RecordObject& r, std::size_t i) {
  if (r.list != nullptr) {
    PyObject* f = PyList_GET_ITEM(r.list, static_cast<Py_ssize_t>(i));
    AsField(f, "record.fields");
    return f;
  }
  if (!r.slotted) {
    for (std::uint32_t c = 0; c < r.cached_count; ++c) {
      if (r.cached[c].index == i) return r.cached[c].field;
    }
    if (r.cached_count < kCached) {
      PyObject* f = NewViewField(r.data, i);
      if (f == nullptr) throw py::error_already_set();
      r.cached[r.cached_count++] = Slot{static_cast<std::uint32_t>(i), f};
      return f;
    }
  }
  MakeSlots(r);
  Slot& s = r.slots[i];
  if (s.field == nullptr) {
    s.field = NewViewField(r.data, s.index);
    if (s.field == nullptr) throw py::error_already_set();
  }
  return s.field;
}

// Inserts `field` (a Field; a new reference is taken) before position `i`.
void InsertAt(RecordObject& r, std::size_t i, PyObject* field) {
  if (r.list != nullptr) {
    if (PyList_Insert(r.list, static_cast<Py_ssize_t>(i), field) < 0) throw py::error_already_set();
    return;
  }
  MakeSlots(r);
  Py_INCREF(field);
  r.slots.insert(r.slots.begin() + static_cast<std::ptrdiff_t>(i), Slot{kNew, field});
}

void EraseAt(RecordObject& r, std::size_t i) {
  if (r.list != nullptr) {
    if (PyList_SetSlice(r.list, static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(i) + 1,
                        nullptr) < 0) {
      throw py::error_already_set();
    }
    return;
  }
  MakeSlots(r);
  PyObject* f = r.slots[i].field;
  r.slots.erase(r.slots.begin() + static_cast<std::ptrdiff_t>(i));
  Py_XDECREF(f);
}

// Whether the record is as read: its leader, and every field of its data,
// in order, unchanged. Then it is written by the fast paths of its data.
bool Clean(const RecordObject& r) {
  if (r.leader_set || r.data == nullptr) return false;
  if (r.list == nullptr && !r.slotted) {
    for (std::uint32_t c = 0; c < r.cached_count; ++c) {
      if (reinterpret_cast<FieldObject*>(r.cached[c].field)->owned != nullptr) return false;
    }
    return true;
  }
  const std::size_t n = r.data->view.fields().size();
  if (Count(r) != n) return false;
  const RecordData* d = r.data.get();
  for (std::size_t i = 0; i < n; ++i) {
    if (r.list != nullptr) {
      PyObject* f = PyList_GET_ITEM(r.list, static_cast<Py_ssize_t>(i));
      if (!IsField(f) || !IsViewOf(*reinterpret_cast<FieldObject*>(f), d, i)) return false;
    } else {
      const Slot& s = r.slots[i];
      if (s.field == nullptr ? s.index != i
                             : !IsViewOf(*reinterpret_cast<FieldObject*>(s.field), d, i)) {
        return false;
      }
    }
  }
  return true;
}

bool Matches(const RecordObject& r, std::size_t i, const std::vector<std::string_view>& patterns) {
  if (patterns.empty()) return true;
  const std::string_view tag = TagAt(r, i);
  for (const std::string_view p : patterns) {
    if (quillet::tagMatches(p, tag)) return true;
  }
  return false;
}

std::vector<std::string_view> Patterns(PyObject* const* args, Py_ssize_t n) {
  std::vector<std::string_view> out;
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(Key(args[i]));
  return out;
}

// The index of the first field matching `pattern`, or -1; makes no object.
// Whether the fields are still the data's, in order, with their tags: no
// slots, no list, and no field handed out changed. Then lookups read the
// view's tags.
bool AsRead(const RecordObject& r) {
  if (r.list != nullptr || r.slotted) return false;
  for (std::uint32_t c = 0; c < r.cached_count; ++c) {
    if (reinterpret_cast<const FieldObject*>(r.cached[c].field)->owned != nullptr) return false;
  }
  return true;
}

std::ptrdiff_t Find(const RecordObject& r, std::string_view pattern) {
  if (AsRead(r)) {
    const quillet::Span<FieldView> fields = r.data->view.fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].matches(pattern)) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }
  const std::size_t n = Count(r);
  for (std::size_t i = 0; i < n; ++i) {
    if (quillet::tagMatches(pattern, TagAt(r, i))) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

py::list GetFields(RecordObject& r, const std::vector<std::string_view>& patterns) {
  const std::size_t n = Count(r);
  if (patterns.empty() && r.list == nullptr) {
    // Every field (iteration, the walk of every field): slots made at once
    // when the record cannot hold them all before, the list of its size.
    if (n > kCached) MakeSlots(r);
    py::list all(n);
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* f = FieldAt(r, i);
      Py_INCREF(f);
      PyList_SET_ITEM(all.ptr(), static_cast<Py_ssize_t>(i), f);
    }
    return all;
  }
  py::list out;
  for (std::size_t i = 0; i < n; ++i) {
    if (Matches(r, i, patterns)) out.append(py::reinterpret_borrow<py::object>(FieldAt(r, i)));
  }
  return out;
}

// --- the leader ----------------------------------------------------------------

// The leader's 24 bytes as the record's text shows it: position 9 `a` once
// the text is decoded to UTF-8.
std::string LeaderOf(const RecordObject& r) {
  if (r.leader_set) return std::string(r.leader, 24);
  quillet::RecordText text(r.data->text);
  text.start(r.data->view, r.data->guess);
  std::string leader(text.leader());
  leader.resize(24, ' ');
  return leader;
}

// --- writing --------------------------------------------------------------------

// The common change (fields removed, added or changed, the rest left in
// order): the record's bytes taken whole by MarcRecord::assign(), then the
// removed fields taken out and the others put in, so that the fields kept
// are written in runs of their bytes. False, and `m` not built, for a
// record that needs the general way.
bool BuildFromBytes(RecordObject& r, const std::string& leader, quillet::MarcRecord& m) {
  if (r.data == nullptr || r.list != nullptr || !r.slotted || !CopiesAsRead(*r.data, r.raw)) {
    return false;
  }
  const RecordData* d = r.data.get();
  std::int64_t last = -1;
  for (const Slot& s : r.slots) {
    std::int64_t index = -1;
    if (s.field == nullptr) {
      index = s.index;
    } else {
      const FieldObject& f = *reinterpret_cast<FieldObject*>(s.field);
      if (!IsField(s.field)) return false;
      if (f.owned == nullptr) {
        if (f.data.get() != d) return false;  // a view of another record
        index = f.index;
      }
    }
    if (index >= 0) {
      if (index <= last) return false;  // moved
      last = index;
    }
  }
  m.assign(d->view);
  m.setLeader(leader);
  std::size_t pos = 0;
  std::uint32_t next = 0;  // the first field read not yet kept or removed
  for (const Slot& s : r.slots) {
    const FieldObject* f = reinterpret_cast<FieldObject*>(s.field);
    if (f != nullptr && f->owned != nullptr) {
      InsertOwned(*f->owned, pos++, m);
      continue;
    }
    const std::uint32_t index = f == nullptr ? s.index : f->index;
    for (; next < index; ++next) m.removeField(pos);
    ++next;
    ++pos;
  }
  while (m.fieldCount() > pos) m.removeField(pos);
  return true;
}

// The record as a MarcRecord: its leader (the numbers the writer computes
// aside), then each field: a view's bytes where they are already what would
// be written, otherwise its text.
void Build(RecordObject& r, quillet::MarcRecord& m) {
  MakeSlots(r);
  std::string leader = LeaderOf(r);
  // What a reader took from damaged leader bytes is written as the fields
  // are held: two indicators, one-byte codes, no separator.
  for (char& c : leader) {
    if (c == quillet::iso2709::kSubfieldDelimiter || c == quillet::iso2709::kFieldTerminator ||
        c == quillet::iso2709::kRecordTerminator) {
      c = ' ';
    }
  }
  for (std::size_t pos : {std::size_t{10}, std::size_t{11}}) {
    if (leader[pos] >= '0' && leader[pos] <= '9') leader[pos] = '2';
  }
  if (!r.raw) leader[9] = 'a';  // the text is UTF-8
  if (BuildFromBytes(r, leader, m)) return;
  m.clear();
  m.setLeader(leader);
  // The record's own fields are decoded by one text, field after field.
  std::unique_ptr<quillet::RecordText> text;
  if (r.data != nullptr && !CopiesAsRead(*r.data, r.raw)) {
    text.reset(new quillet::RecordText(r.data->text));
    text->start(r.data->view, r.data->guess);
  }
  const std::size_t n = Count(r);
  for (std::size_t i = 0; i < n; ++i) {
    if (r.list == nullptr && r.slots[i].field == nullptr) {
      AppendViewField(*r.data, r.slots[i].index, r.raw, m, text.get());
      continue;
    }
    const FieldObject& f = AsField(FieldAt(r, i), "a record");
    if (f.owned == nullptr && f.data == r.data) {
      AppendViewField(*r.data, f.index, r.raw, m, text.get());
    } else {
      AppendField(f, r.raw, m);
    }
  }
}

quillet::MarcRecord& Scratch() {
  static quillet::MarcRecord* m = new quillet::MarcRecord;  // under the GIL only
  return *m;
}

// The text a changed record's writes read: UTF-8 as built, or raw.
quillet::RecordText BuiltText(const RecordObject& r) {
  return quillet::RecordText(
      quillet::TextOptions{r.raw ? quillet::Charset::kRaw : quillet::Charset::kUtf8, false});
}

// The record in `format` (ISO 2709 in the record's text, or MARC-8).
std::string_view Write(RecordObject& r, quillet::Format format, bool marc8) {
  if (Clean(r)) {
    const RecordData& d = *r.data;
    FieldText text(d);
    return Written([&](quillet::OutputBuffer& b) {
      quillet::writeRecord(format, d.view, text.text(), b, quillet::TagFilter(),
                           marc8 ? quillet::OutputCharset::kMarc8 : quillet::OutputCharset::kText);
    });
  }
  quillet::MarcRecord& m = Scratch();
  Build(r, m);
  quillet::MarcWriteOptions options;
  if (format == quillet::Format::kIso2709) {
    options.to_marc8 = marc8;
    return Written([&](quillet::OutputBuffer& b) { m.appendIso2709(b, options); });
  }
  quillet::RecordText text = BuiltText(r);
  return Written([&](quillet::OutputBuffer& b) { m.write(format, text, b); });
}

py::object AsJson(RecordObject& r) {
  std::string_view json = Write(r, quillet::Format::kJson, false);
  json.remove_suffix(1);  // the line end
  return Str(json);
}

// MARC-in-JSON as Python objects: the JSON the formats layer writes, parsed.
py::object AsDict(RecordObject& r) {
  static PyObject* loads = nullptr;  // json.loads, kept for the module's life
  if (loads == nullptr) {
    loads = py::object(py::module_::import("json").attr("loads")).release().ptr();
  }
  return py::reinterpret_borrow<py::object>(loads)(AsJson(r));
}

// --- state -----------------------------------------------------------------------

py::tuple DataState(const RecordData& d) {
  py::list framing;
  for (const Problem& p : d.framing) {
    framing.append(py::make_tuple(static_cast<int>(p.kind), p.offset, p.entry,
                                  Bytes(std::string_view(p.tag, 3)), p.value));
  }
  return py::make_tuple(Bytes(d.bytes), d.offset, framing, quillet::charsetName(d.text.charset),
                        !d.text.toUtf8(), d.text.nfc);
}

// A changed record pickles as the record it writes, read back as its text
// is (UTF-8, or raw).
py::tuple State(RecordObject& r) {
  if (Clean(r)) return DataState(*r.data);
  quillet::MarcRecord& m = Scratch();
  Build(r, m);
  quillet::MarcWriteOptions options;
  options.unstated_lengths = true;
  const std::string bytes = m.toIso2709(options);
  return py::make_tuple(Bytes(bytes), r.data ? r.data->offset : 0, py::list(),
                        r.raw ? "raw" : "utf-8", r.raw, false);
}

PyObject* FromState(const py::tuple& state) {
  if (state.size() != 6) throw py::value_error("not the state of a quillet.Record");
  const std::string bytes = state[0].cast<std::string>();
  std::vector<Problem> framing;
  for (py::handle h : state[2].cast<py::list>()) {
    const py::tuple t = h.cast<py::tuple>();
    Problem p;
    p.kind = static_cast<Problem::Kind>(t[0].cast<int>());
    p.offset = t[1].cast<std::uint64_t>();
    p.entry = t[2].cast<std::int32_t>();
    const std::string tag = t[3].cast<std::string>();
    std::memcpy(p.tag, (tag + "   ").data(), 3);
    p.value = t[4].cast<std::uint64_t>();
    framing.push_back(p);
  }
  const quillet::TextOptions text =
      MakeTextOptions(state[3].cast<std::string>(), state[4].cast<bool>(), state[5].cast<bool>());
  return NewRecord(std::make_shared<const RecordData>(
                       bytes.data(), bytes.size(), state[1].cast<std::uint64_t>(),
                       quillet::Span<Problem>(framing.data(), framing.data() + framing.size()),
                       text))
      .release()
      .ptr();
}

// A record of its own fields: views stay views of the same (unchanging)
// data, owned fields are copied.
PyObject* Copy(RecordObject& r) {
  MakeSlots(r);
  RecordObject* c = Allocate();
  py::object keep = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(c));
  c->data = r.data;
  c->raw = r.raw;
  c->leader_set = r.leader_set;
  std::memcpy(c->leader, r.leader, 24);
  if (r.list == nullptr && !r.slotted) return keep.release().ptr();
  c->slotted = true;
  const std::size_t n = Count(r);
  c->slots.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (r.list == nullptr && r.slots[i].field == nullptr) {
      c->slots.push_back(r.slots[i]);
      continue;
    }
    PyObject* f = CopyField(AsField(FieldAt(r, i), "a record"));
    if (f == nullptr) throw py::error_already_set();
    c->slots.push_back(Slot{kNew, f});
  }
  return keep.release().ptr();
}

// Leaders compare but for what the writer computes or writes as the fields
// are held: the record length, the indicator and code counts, the base
// address and the entry map (positions 0-4, 10-16, 20-23).
bool SameLeader(const std::string& a, const std::string& b) {
  return a.compare(5, 5, b, 5, 5) == 0 && a.compare(17, 3, b, 17, 3) == 0;
}

bool RecordsEqual(RecordObject& a, RecordObject& b) {
  if (&a == &b) return true;
  if (a.raw != b.raw || !SameLeader(LeaderOf(a), LeaderOf(b))) return false;
  const std::size_t n = Count(a);
  if (Count(b) != n) return false;
  if (a.data != nullptr && a.data == b.data && Clean(a) && Clean(b)) return true;
  for (std::size_t i = 0; i < n; ++i) {
    if (!FieldsEqual(AsField(FieldAt(a, i), "a record"), AsField(FieldAt(b, i), "a record"))) {
      return false;
    }
  }
  return true;
}

// --- quillet.Record: slots ----------------------------------------------------

PyObject* RecordTpNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "leader", "charset", "raw", "nfc", nullptr};
  PyObject* data = Py_None;
  PyObject* leader = Py_None;
  const char* charset = "auto";
  int raw = 0, nfc = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$Ospp:Record", const_cast<char**>(keywords),
                                   &data, &leader, &charset, &raw, &nfc)) {
    return nullptr;
  }
  return Guard([&]() -> PyObject* {
    const quillet::TextOptions text = MakeTextOptions(charset, raw, nfc);
    py::object out;
    if (data == Py_None) {
      RecordObject* r = Allocate();
      out = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(r));
      r->raw = !text.toUtf8();
      r->slotted = true;
      r->leader_set = true;
      std::memcpy(r->leader, Empty().leader().data(), 24);
    } else {
      Py_buffer buffer;
      if (PyObject_GetBuffer(data, &buffer, PyBUF_SIMPLE) < 0) throw py::error_already_set();
      try {
        out = NewRecord(std::make_shared<const RecordData>(
            static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len), 0,
            quillet::Span<Problem>(nullptr, nullptr), text));
      } catch (...) {
        PyBuffer_Release(&buffer);
        throw;
      }
      PyBuffer_Release(&buffer);
    }
    if (leader != Py_None) SetRecordLeader(out.ptr(), LeaderBytes(leader));
    return out.release().ptr();
  });
}

void RecordDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  RecordObject& r = Of(self);
  for (std::uint32_t c = 0; c < r.cached_count; ++c) Py_DECREF(r.cached[c].field);
  for (const Slot& s : r.slots) Py_XDECREF(s.field);
  r.slots.~vector();
  Py_XDECREF(r.list);
  r.data.~shared_ptr();
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* RecordSubscript(PyObject* self, PyObject* key) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    const std::ptrdiff_t i = Find(r, Key(key));
    if (i < 0) {
      PyErr_SetObject(PyExc_KeyError, key);
      return nullptr;
    }
    PyObject* f = FieldAt(r, static_cast<std::size_t>(i));
    Py_INCREF(f);
    return f;
  });
}

int RecordContains(PyObject* self, PyObject* key) {
  return Guard([&]() -> int { return Find(Of(self), Key(key)) >= 0 ? 1 : 0; });
}

Py_ssize_t RecordLength(PyObject* self) {
  return Guard([&]() -> Py_ssize_t { return static_cast<Py_ssize_t>(Count(Of(self))); });
}

PyObject* RecordIter(PyObject* self) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    if (r.list != nullptr) return PyObject_GetIter(r.list);
    return PyObject_GetIter(GetFields(r, {}).ptr());
  });
}

// The mnemonic text, without the blank line that ends a record in a file.
PyObject* RecordStr(PyObject* self) {
  return Guard([&]() -> PyObject* {
    std::string_view text = Write(Of(self), quillet::Format::kMnemonic, false);
    text.remove_suffix(2);
    return Str(text).release().ptr();
  });
}

PyObject* RecordRepr(PyObject* self) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    const std::ptrdiff_t i = Find(r, "001");
    py::object id = i < 0 ? py::none() : FieldDataObject(AsField(FieldAt(r, i), "a record"));
    return py::str("<quillet.Record {!r}: {} fields>").format(id, Count(r)).release().ptr();
  });
}

PyObject* RecordRichCompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != record_type || Py_TYPE(b) != record_type) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  return Guard([&]() -> PyObject* {
    const bool equal = RecordsEqual(Of(a), Of(b));
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
  });
}

// --- methods ----------------------------------------------------------------------

PyObject* RecordGet(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    if (n < 1 || n > 2) throw py::type_error("get() takes a tag and an optional default");
    RecordObject& r = Of(self);
    const std::ptrdiff_t i = Find(r, Key(args[0]));
    PyObject* out = i >= 0 ? FieldAt(r, static_cast<std::size_t>(i)) : n == 2 ? args[1] : Py_None;
    Py_INCREF(out);
    return out;
  });
}

PyObject* RecordGetFields(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard(
      [&]() -> PyObject* { return GetFields(Of(self), Patterns(args, n)).release().ptr(); });
}

// The fields given to an add or remove call, all checked before any is
// added: the arguments themselves (no copy).
quillet::Span<PyObject*> GivenFields(PyObject* const* args, Py_ssize_t n, const char* call) {
  for (Py_ssize_t i = 0; i < n; ++i) AsField(args[i], call);
  return quillet::Span<PyObject*>(args, args + n);
}

PyObject* RecordAddField(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    for (PyObject* f : GivenFields(args, n, "add_field()")) InsertAt(r, Count(r), f);
    Py_RETURN_NONE;
  });
}

// Where a field tagged `tag` goes in tag order: before the first field
// whose tag is greater.
std::size_t OrderedPosition(const RecordObject& r, std::string_view tag) {
  const std::size_t n = Count(r);
  for (std::size_t i = 0; i < n; ++i) {
    if (TagAt(r, i) > tag) return i;
  }
  return n;
}

PyObject* RecordAddOrderedField(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    for (PyObject* f : GivenFields(args, n, "add_ordered_field()")) {
      InsertAt(r, OrderedPosition(r, FieldTag(AsField(f, ""))), f);
    }
    Py_RETURN_NONE;
  });
}

// After the last field of the same hundred (a 245 after the last 2XX), else
// in tag order.
PyObject* RecordAddGroupedField(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    for (PyObject* f : GivenFields(args, n, "add_grouped_field()")) {
      const std::string_view tag = FieldTag(AsField(f, ""));
      std::size_t at = Count(r);
      bool found = false;
      for (std::size_t i = Count(r); i-- > 0;) {
        if (TagAt(r, i)[0] == tag[0]) {
          at = i + 1;
          found = true;
          break;
        }
      }
      InsertAt(r, found ? at : OrderedPosition(r, tag), f);
    }
    Py_RETURN_NONE;
  });
}

// The position of `field` in the record (by identity), or npos.
std::size_t IndexOf(const RecordObject& r, PyObject* field) {
  const std::size_t n = Count(r);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* f = r.list != nullptr ? PyList_GET_ITEM(r.list, static_cast<Py_ssize_t>(i))
                  : r.slotted       ? r.slots[i].field
                                    : nullptr;
    if (f == field) return i;
  }
  return static_cast<std::size_t>(-1);
}

PyObject* RecordRemoveField(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    MakeSlots(r);
    for (PyObject* f : GivenFields(args, n, "remove_field()")) {
      if (IndexOf(r, f) == static_cast<std::size_t>(-1)) {
        PyErr_Format(field_not_found, "field not found: %s is not a field of this record",
                     std::string(FieldTag(AsField(f, ""))).c_str());
        return nullptr;
      }
    }
    for (PyObject* f : GivenFields(args, n, "remove_field()")) {
      const std::size_t i = IndexOf(r, f);
      if (i != static_cast<std::size_t>(-1)) EraseAt(r, i);
    }
    Py_RETURN_NONE;
  });
}

PyObject* RecordRemoveFields(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    const std::vector<std::string_view> patterns = Patterns(args, n);
    for (const std::string_view p : patterns) {
      if (!quillet::isTagPattern(p)) {
        throw py::value_error("tag pattern \"" + std::string(p) + "\" is not three characters");
      }
    }
    if (patterns.empty()) Py_RETURN_NONE;
    for (std::size_t i = Count(r); i-- > 0;) {
      if (Matches(r, i, patterns)) EraseAt(r, i);
    }
    Py_RETURN_NONE;
  });
}

PyObject* RecordAsMarc(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"to_charset", "original", nullptr};
  PyObject* to_charset = Py_None;
  int original = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Op:as_marc", const_cast<char**>(keywords),
                                   &to_charset, &original)) {
    return nullptr;
  }
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    if (original) {
      if (r.data == nullptr)
        throw py::value_error("the record was built, not read: it has no bytes as read");
      return Bytes(r.data->bytes).release().ptr();
    }
    bool marc8 = false;
    if (to_charset != Py_None) {
      quillet::Charset charset = quillet::Charset::kAuto;
      const std::string name = py::str(to_charset);
      if (!quillet::parseCharset(name, &charset) ||
          (charset != quillet::Charset::kMarc8 && charset != quillet::Charset::kUtf8)) {
        throw py::value_error("to_charset is \"utf-8\" or \"marc8\", not \"" + name + "\"");
      }
      marc8 = charset == quillet::Charset::kMarc8;
    }
    return Bytes(Write(r, quillet::Format::kIso2709, marc8)).release().ptr();
  });
}

PyObject* RecordAsJson(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* { return AsJson(Of(self)).release().ptr(); });
}

PyObject* RecordAsXml(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    const std::string_view record = Write(Of(self), quillet::Format::kMarcXml, false);
    std::string xml(quillet::kMarcXmlHeader);
    xml.append(record.data(), record.size());
    xml.append(quillet::kMarcXmlFooter);
    return Str(xml).release().ptr();
  });
}

PyObject* RecordAsDict(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* { return AsDict(Of(self)).release().ptr(); });
}

PyObject* RecordReduce(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    return py::make_tuple(py::reinterpret_borrow<py::object>(record_from_state),
                          py::make_tuple(State(Of(self))))
        .release()
        .ptr();
  });
}

PyObject* RecordCopy(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* { return Copy(Of(self)); });
}

PyObject* RecordFromState(PyObject*, PyObject* state) {
  return Guard([&]() -> PyObject* {
    if (!PyTuple_Check(state)) throw py::type_error("not the state of a quillet.Record");
    return FromState(py::reinterpret_borrow<py::tuple>(state));
  });
}

// --- attributes ----------------------------------------------------------------------

PyObject* GetLeader(PyObject* self, void*) { return NewLeader(self); }

int SetLeader(PyObject* self, PyObject* value, void*) {
  return Guard([&]() -> int {
    if (value == nullptr) throw py::type_error("a record's leader cannot be deleted");
    SetRecordLeader(self, LeaderBytes(value));
    return 0;
  });
}

PyObject* GetControlNumber(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    if (AsRead(r)) {
      const RecordData& d = *r.data;
      if (d.view.field("001") == nullptr) Py_RETURN_NONE;
      return FieldText(d).Text(d.view.controlNumber()).release().ptr();
    }
    const std::ptrdiff_t i = Find(r, "001");
    if (i < 0) Py_RETURN_NONE;
    return FieldDataObject(AsField(FieldAt(r, static_cast<std::size_t>(i)), "a record"))
        .release()
        .ptr();
  });
}

PyObject* GetOffset(PyObject* self, void*) {
  const RecordObject& r = Of(self);
  return PyLong_FromUnsignedLongLong(r.data ? r.data->offset : 0);
}

PyObject* GetRaw(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const RecordObject& r = Of(self);
    if (r.data == nullptr) Py_RETURN_NONE;
    return Bytes(r.data->bytes).release().ptr();
  });
}

PyObject* GetProblems(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const RecordObject& r = Of(self);
    if (r.data == nullptr) return PyList_New(0);
    return py::cast(Problems(*r.data)).release().ptr();
  });
}

// The live list: made once, then the record's fields are what it holds.
PyObject* GetFieldList(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    RecordObject& r = Of(self);
    if (r.list == nullptr) {
      MakeSlots(r);
      const std::size_t n = Count(r);
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
      if (list == nullptr) throw py::error_already_set();
      py::object keep = py::reinterpret_steal<py::object>(list);
      for (std::size_t i = 0; i < n; ++i) {
        PyObject* f = FieldAt(r, i);
        Py_INCREF(f);
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
      }
      for (const Slot& s : r.slots) Py_XDECREF(s.field);
      r.slots.clear();
      r.slotted = false;
      r.list = keep.release().ptr();
    }
    Py_INCREF(r.list);
    return r.list;
  });
}

int SetFieldList(PyObject* self, PyObject* value, void*) {
  return Guard([&]() -> int {
    if (value == nullptr) throw py::type_error("a record's fields cannot be deleted; set []");
    RecordObject& r = Of(self);
    MakeSlots(r);
    py::object list = PyList_Check(value)
                          ? py::reinterpret_borrow<py::object>(value)
                          : py::reinterpret_steal<py::object>(PySequence_List(value));
    if (!list) throw py::error_already_set();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
      AsField(PyList_GET_ITEM(list.ptr(), i), "record.fields");
    }
    for (const Slot& s : r.slots) Py_XDECREF(s.field);
    r.slots.clear();
    r.slotted = false;
    Py_XDECREF(r.list);
    r.list = list.release().ptr();
    return 0;
  });
}

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t);
PyCFunction FastCall(Fast f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef record_methods[] = {
    {"_from_state", &RecordFromState, METH_O | METH_CLASS, "Unpickles a record."},
    {"get", FastCall(&RecordGet), METH_FASTCALL,
     "get(tag, default=None)\n--\n\nThe first field matching `tag` (a tag or a pattern such as "
     "6XX), or `default`."},
    {"get_fields", FastCall(&RecordGetFields), METH_FASTCALL,
     "get_fields(*patterns)\n--\n\nThe fields whose tag matches any of the patterns (245, 6XX, "
     "6..), in record order; every field when none is given."},
    {"add_field", FastCall(&RecordAddField), METH_FASTCALL,
     "add_field(*fields)\n--\n\nAppends the fields."},
    {"add_ordered_field", FastCall(&RecordAddOrderedField), METH_FASTCALL,
     "add_ordered_field(*fields)\n--\n\nAdds each field before the first field whose tag is "
     "greater."},
    {"add_grouped_field", FastCall(&RecordAddGroupedField), METH_FASTCALL,
     "add_grouped_field(*fields)\n--\n\nAdds each field after the last field of its hundred (a "
     "245 after the last 2XX), else in tag order."},
    {"remove_field", FastCall(&RecordRemoveField), METH_FASTCALL,
     "remove_field(*fields)\n--\n\nRemoves the fields (these objects); FieldNotFound, and nothing "
     "removed, when one is not in the record."},
    {"remove_fields", FastCall(&RecordRemoveFields), METH_FASTCALL,
     "remove_fields(*tags)\n--\n\nRemoves every field whose tag matches one of the tags or "
     "patterns (9XX)."},
    {"as_marc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&RecordAsMarc)),
     METH_VARARGS | METH_KEYWORDS,
     "as_marc(to_charset=None, original=False)\n--\n\nThe record as ISO 2709 bytes, its text "
     "encoded as it reads (UTF-8, leader/09 'a', once decoded; as read when raw); "
     "to_charset='marc8' for MARC-8. A record read unchanged and undamaged gives its own bytes; "
     "a repaired or changed one is written anew. original=True gives the bytes as read."},
    {"as_dict", &RecordAsDict, METH_NOARGS,
     "The record as MARC-in-JSON, parsed: a dict of leader and fields (text, also when read raw)."},
    {"as_json", &RecordAsJson, METH_NOARGS,
     "The record as MARC-in-JSON text: one line, as quillet-dump -f json writes it."},
    {"as_xml", &RecordAsXml, METH_NOARGS,
     "The record as a MARCXML document (a collection of one record), as quillet-dump -f xml "
     "writes it."},
    {"__copy__", &RecordCopy, METH_NOARGS,
     "A record of the same leader and fields; its fields are its own (copies)."},
    {"__deepcopy__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&RecordCopy)),
     METH_O, "A record of the same leader and fields, copied."},
    {"__reduce__", &RecordReduce, METH_NOARGS,
     "Records pickle as their bytes: as read while unchanged, as written once changed."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef record_getset[] = {
    {"leader", &GetLeader, &SetLeader,
     "The leader, a Leader (position 9 reads 'a' once the text is decoded); settable whole (24 "
     "characters) or by position: record.leader[5] = 'c'.",
     nullptr},
    {"control_number", &GetControlNumber, nullptr, "The text of the first 001, or None.", nullptr},
    {"offset", &GetOffset, nullptr, "The record's byte offset in its input (0 when built).",
     nullptr},
    {"raw", &GetRaw, nullptr, "The bytes as read (None for a record built in Python).", nullptr},
    {"problems", &GetProblems, nullptr,
     "What the reader repaired and what decoding the text found.", nullptr},
    {"fields", &GetFieldList, &SetFieldList,
     "Every field, in order: the record's own list, which changes the record when changed "
     "(append, del, insert), and which may be set.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

py::object NewRecord(std::shared_ptr<const RecordData> data) {
  RecordObject* r = Allocate();
  r->raw = !data->text.toUtf8();
  r->data = std::move(data);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(r));
}

std::string RecordLeader(PyObject* record) { return LeaderOf(Of(record)); }

bool RecordRaw(PyObject* record) { return Of(record).raw; }

void SetRecordLeader(PyObject* record, const std::string& leader) {
  RecordObject& r = Of(record);
  std::memcpy(r.leader, leader.data(), 24);
  r.leader_set = true;
}

PyProblem MakeProblem(const quillet::Problem& p) {
  return {KindName(p.kind), p.offset, p.message(), p.describe()};
}

quillet::TextOptions MakeTextOptions(const std::string& charset, bool raw, bool nfc) {
  quillet::TextOptions t;
  if (!quillet::parseCharset(charset, &t.charset))
    throw py::value_error(quillet::charsetError(charset));
  if (raw) t.charset = quillet::Charset::kRaw;
  t.nfc = nfc;
  return t;
}

RecordData::RecordData(const char* b, std::size_t size, std::uint64_t off,
                       quillet::Span<Problem> problems, quillet::TextOptions t)
    : bytes(b, size), offset(off), framing(problems.begin(), problems.end()), text(t) {
  view = quillet::RecordView::parse(
      bytes.data(), bytes.size(), offset,
      quillet::Span<Problem>(framing.data(), framing.data() + framing.size()));
  guess = quillet::decideEncoding(view, text.charset);
}

bool RecordData::TextIsBytes() const {
  if (text_is_bytes_ < 0) {
    // Not isUtf8() over the whole record: a code byte and the value after
    // it may make a sequence that no piece holds alone.
    bool same = !text.toUtf8() ||
                (!text.nfc && guess.encoding == quillet::Encoding::kUtf8 && guess.well_formed);
    if (!same) {
      // Printable ASCII and the separators: no escape, no control character
      // a decoder might map, nothing composition changes.
      same = true;
      const char* p = bytes.data();
      const char* const end = p + bytes.size();
      for (; end - p >= 8; p += 8) {  // eight bytes at a time while none is high
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if ((w & 0x8080808080808080ull) != 0) {
          same = false;
          break;
        }
        // Words with a byte below 0x20 (the separators among them) or a
        // DEL are looked at byte by byte.
        const std::uint64_t del = w ^ 0x7F7F7F7F7F7F7F7Full;
        if ((((w - 0x2020202020202020ull) & ~w) | ((del - 0x0101010101010101ull) & ~del)) &
            0x8080808080808080ull) {
          for (int i = 0; i < 8 && same; ++i) {
            const unsigned char b = static_cast<unsigned char>(p[i]);
            same = b < 0x7F && (b >= 0x20 || b == 0x1D || b == 0x1E || b == 0x1F);
          }
        }
        if (!same) break;
      }
      for (; same && p < end; ++p) {
        const unsigned char b = static_cast<unsigned char>(*p);
        same = b < 0x7F && (b >= 0x20 || b == 0x1D || b == 0x1E || b == 0x1F);
      }
    }
    text_is_bytes_ = same ? 1 : 0;
  }
  return text_is_bytes_ == 1;
}

py::object FieldText::Text(std::string_view raw) {
  if (!text_.toUtf8()) return Bytes(raw);
  const std::string_view utf8 = text_.text(raw);
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::object FieldText::Plain(std::string_view raw) {
  if (!text_.toUtf8()) return Bytes(raw);
  if (raw.size() == 1 && static_cast<unsigned char>(raw[0]) < 0x80) {
    return py::reinterpret_steal<py::object>(PyUnicode_FromOrdinal(raw[0]));  // a cached one
  }
  return Str(text_.plain(raw));
}

void BindRecord(py::module_& m) {
  py::class_<PyProblem>(m, "Problem", R"(Something the reader repaired or could not decode.

``kind`` names it (``"length_repaired"``, ``"invalid_utf8"``, ...), ``offset``
is the byte offset of the damage in the input, ``message`` the fixed English
text of the kind; ``str()`` gives the message with its particulars.)")
      .def_readonly("kind", &PyProblem::kind)
      .def_readonly("offset", &PyProblem::offset)
      .def_readonly("message", &PyProblem::message)
      .def("__str__", [](const PyProblem& p) { return p.description; })
      .def("__repr__", [](const PyProblem& p) {
        return "<quillet.Problem " + p.kind + " at byte " + std::to_string(p.offset) + ">";
      });

  // FieldNotFound: a ValueError (a field that is not there was given) and a
  // KeyError, whose message reads as a ValueError's (no quotes).
  py::dict body;
  body["__str__"] = py::reinterpret_borrow<py::object>(PyExc_BaseException).attr("__str__");
  body["__doc__"] = "The field given is not one of the record's (remove_field()).";
  py::tuple bases = py::make_tuple(py::reinterpret_borrow<py::object>(PyExc_ValueError),
                                   py::reinterpret_borrow<py::object>(PyExc_KeyError));
  field_not_found = PyErr_NewException("quillet.FieldNotFound", bases.ptr(), body.ptr());
  if (field_not_found == nullptr) throw py::error_already_set();
  m.add_object("FieldNotFound", field_not_found);

  static PyType_Slot record_slots[] = {
      {Py_tp_doc,
       const_cast<char*>(
           "Record(data=None, *, leader=None, charset='auto', raw=False, nfc=False)\n--\n\n"
           "One record: its leader, fields and problems. Made from the bytes of one ISO 2709 "
           "record (`data`), or empty. A record read keeps its bytes and decodes a field's text "
           "when asked for, until it is first changed. Records compare by content.")},
      {Py_tp_new, reinterpret_cast<void*>(&RecordTpNew)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&RecordDealloc)},
      {Py_tp_methods, record_methods},
      {Py_tp_getset, record_getset},
      {Py_tp_iter, reinterpret_cast<void*>(&RecordIter)},
      {Py_tp_str, reinterpret_cast<void*>(&RecordStr)},
      {Py_tp_repr, reinterpret_cast<void*>(&RecordRepr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&RecordRichCompare)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
      {Py_mp_subscript, reinterpret_cast<void*>(&RecordSubscript)},
      {Py_mp_length, reinterpret_cast<void*>(&RecordLength)},
      {Py_sq_contains, reinterpret_cast<void*>(&RecordContains)},
      {0, nullptr}};
  static PyType_Spec record_spec = {"quillet._quillet.Record", sizeof(RecordObject), 0,
                                    Py_TPFLAGS_DEFAULT, record_slots};
  PyObject* type = PyType_FromSpec(&record_spec);
  if (type == nullptr) throw py::error_already_set();
  record_type = reinterpret_cast<PyTypeObject*>(type);
  m.add_object("Record", type);
  // A class method, so that pickle finds it by name.
  record_from_state = PyObject_GetAttrString(type, "_from_state");
  if (record_from_state == nullptr) throw py::error_already_set();
}

}  // namespace quillet_python
