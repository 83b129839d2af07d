#include "record.h"

#include <pybind11/stl.h>
#include <quillet/formats.h>
#include <quillet/iso2709.h>

#include <cstring>
#include <utility>

namespace quillet_python {

namespace {

using quillet::FieldView;
using quillet::Problem;
using quillet::SubfieldView;
using quillet::TextProblem;

py::object Str(std::string_view utf8) {
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::bytes Bytes(std::string_view b) { return py::bytes(b.data(), b.size()); }

// `raw` if it is well-formed UTF-8; otherwise its bytes in `buffer`, those
// that are not UTF-8 as U+FFFD, as everywhere in the library.
std::string_view ValidUtf8(std::string_view raw, std::string& buffer) {
  if (quillet::isUtf8(raw)) return raw;
  buffer.clear();
  quillet::appendUtf8(raw, buffer);
  return buffer;
}

// A tuple of two new references.
py::object Pair(py::object a, py::object b) {
  PyObject* t = PyTuple_New(2);
  if (t == nullptr) throw py::error_already_set();
  PyTuple_SET_ITEM(t, 0, a.release().ptr());
  PyTuple_SET_ITEM(t, 1, b.release().ptr());
  return py::reinterpret_steal<py::object>(t);
}

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

// Writes with `write` into a buffer reused by the thread, and gives what it
// wrote.
template <typename Write>
std::string_view Written(Write write) {
  static thread_local quillet::OutputBuffer buffer;
  buffer.clear();
  write(buffer);
  return buffer.view();
}

// The mnemonic text as str: its values are UTF-8 once decoded, but a
// damaged leader or tag, or a record read raw, may hold other bytes, which
// become U+FFFD as in every other text of the library.
py::object MnemonicStr(std::string_view text) {
  std::string buffer;
  return Str(ValidUtf8(text, buffer));
}

// The mnemonic text of the record, without the blank line that ends a
// record in a file.
py::object MnemonicRecord(const RecordData& d) {
  FieldText text(d);
  std::string_view out =
      Written([&](quillet::OutputBuffer& b) { quillet::writeMnemonic(d.view, text.text(), b); });
  out.remove_suffix(2);
  return MnemonicStr(out);
}

// The MARC-in-JSON of the record, without its line end.
std::string_view JsonRecord(const RecordData& d) {
  FieldText text(d);
  std::string_view out =
      Written([&](quillet::OutputBuffer& b) { quillet::writeJson(d.view, text.text(), b); });
  out.remove_suffix(1);
  return out;
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

// The Python objects. A Record owns its data; a Field holds a reference to
// its Record (so the data outlives it) and its index in the directory. They
// are plain CPython types, not pybind11 classes: a walk over a record makes
// one Field per field, and pybind11's per-call dispatch and per-object
// holder cost several times what the field's work does.
struct RecordObject {
  PyObject_HEAD
  std::shared_ptr<const RecordData> data;
};
struct FieldObject {
  PyObject_HEAD
  PyObject* record;  // a strong reference
  const RecordData* data;
  std::size_t index;
};

PyTypeObject* record_type = nullptr;
PyTypeObject* field_type = nullptr;
PyObject* record_from_state = nullptr;  // the unpickling function

// Runs `body`, turning C++ exceptions into the Python error they stand for;
// null (or -1) then.
template <typename T>
T Failed();
template <>
PyObject* Failed<PyObject*>() {
  return nullptr;
}
template <>
int Failed<int>() {
  return -1;
}

template <typename Body>
auto Guard(Body body) -> decltype(body()) {
  try {
    return body();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return Failed<decltype(body())>();
}

const RecordData& DataOf(PyObject* record) {
  return *reinterpret_cast<RecordObject*>(record)->data;
}
const FieldObject& FieldOf(PyObject* field) { return *reinterpret_cast<FieldObject*>(field); }
const FieldView& ViewOf(const FieldObject& f) { return f.data->view.fields()[f.index]; }

py::object NewField(PyObject* record, std::size_t index) {
  FieldObject* f = PyObject_New(FieldObject, field_type);
  if (f == nullptr) throw py::error_already_set();
  Py_INCREF(record);
  f->record = record;
  f->data = &DataOf(record);
  f->index = index;
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

// A tag, code or pattern given by Python: str only.
std::string_view Key(PyObject* key) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (text == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_TypeError, "a tag or subfield code is a str, not %.100s",
                   Py_TYPE(key)->tp_name);
    }
    throw py::error_already_set();
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

py::object FieldData(const FieldObject& f) {
  const FieldView& v = ViewOf(f);
  if (!v.isControl()) return py::none();
  return FieldText(*f.data).Text(v.data());
}

py::list Subfields(const FieldObject& f) {
  const FieldView& v = ViewOf(f);
  py::list out;
  if (v.isControl()) return out;
  FieldText text(*f.data);
  const std::string_view prefix = quillet::fieldPrefix(v);
  if (!prefix.empty()) out.append(Pair(text.Plain(""), text.Text(prefix)));
  for (const SubfieldView& s : v.subfields()) {
    out.append(Pair(text.Plain(quillet::subfieldCode(s)), text.Text(s.value())));
  }
  return out;
}

// Whether subfield code `code` is one of `codes` (every code when empty).
bool Wanted(char code, const std::vector<std::string_view>& codes) {
  if (codes.empty()) return true;
  for (const std::string_view c : codes) {
    if (c.size() == 1 && c[0] == code && code != '\0') return true;
  }
  return false;
}

// Hands `take` the text of each subfield whose code is one of `codes`, in
// field order, until it returns false. The ones skipped are passed to the
// text too, for what they do to its state.
template <typename Take>
void VisitValues(const FieldObject& f, const std::vector<std::string_view>& codes, Take take) {
  const FieldView& v = ViewOf(f);
  if (v.isControl()) return;
  FieldText text(*f.data);
  text.Skip(quillet::fieldPrefix(v));
  for (const SubfieldView& s : v.subfields()) {
    if (Wanted(s.code(), codes)) {
      if (!take(text.Text(s.value()))) return;
    } else {
      text.Skip(s.value());
    }
  }
}

// The values of the subfields whose code is one of `codes` (all when
// empty), in field order.
py::list SubfieldValues(const FieldObject& f, const std::vector<std::string_view>& codes) {
  py::list out;
  VisitValues(f, codes, [&out](py::object value) {
    out.append(std::move(value));
    return true;
  });
  return out;
}

// The first value of subfield `code`, or null.
py::object FirstValue(const FieldObject& f, std::string_view code) {
  py::object found;
  VisitValues(f, {code}, [&found](py::object value) {
    found = std::move(value);
    return false;
  });
  return found;
}

// The index of the first field matching `pattern`, or -1.
std::ptrdiff_t FindField(const RecordData& d, std::string_view pattern) {
  const quillet::Span<FieldView> fields = d.view.fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].matches(pattern)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

// The fields matching any of `patterns` (every field when there is none).
py::list GetFields(PyObject* record, PyObject* const* patterns, Py_ssize_t n) {
  std::vector<std::string_view> wanted;
  for (Py_ssize_t i = 0; i < n; ++i) wanted.push_back(Key(patterns[i]));
  const quillet::Span<FieldView> fields = DataOf(record).view.fields();
  py::list out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    bool match = wanted.empty();
    for (const std::string_view p : wanted) match = match || fields[i].matches(p);
    if (match) out.append(NewField(record, i));
  }
  return out;
}

// MARC-in-JSON as Python objects: the JSON the formats layer writes, parsed.
py::object AsDict(const RecordData& d) {
  static PyObject* loads = nullptr;  // json.loads, kept for the module's life
  if (loads == nullptr) {
    loads = py::object(py::module_::import("json").attr("loads")).release().ptr();
  }
  const std::string_view json = JsonRecord(d);
  return py::reinterpret_borrow<py::object>(loads)(py::str(json.data(), json.size()));
}

py::tuple GetState(const RecordData& d) {
  py::list framing;
  for (const Problem& p : d.framing) {
    framing.append(py::make_tuple(static_cast<int>(p.kind), p.offset, p.entry,
                                  Bytes(std::string_view(p.tag, 3)), p.value));
  }
  return py::make_tuple(Bytes(d.bytes), d.offset, framing, quillet::charsetName(d.text.charset),
                        !d.text.toUtf8(), d.text.nfc);
}

py::object SetState(const py::tuple& state) {
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
      quillet::Span<Problem>(framing.data(), framing.data() + framing.size()), text));
}

// --- quillet.Record ---------------------------------------------------------

PyObject* RecordTpNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "charset", "raw", "nfc", nullptr};
  Py_buffer buffer;
  const char* charset = "auto";
  int raw = 0, nfc = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$spp:Record", const_cast<char**>(keywords),
                                   &buffer, &charset, &raw, &nfc)) {
    return nullptr;
  }
  PyObject* out = Guard([&]() -> PyObject* {
    return NewRecord(std::make_shared<const RecordData>(static_cast<const char*>(buffer.buf),
                                                        static_cast<std::size_t>(buffer.len), 0,
                                                        quillet::Span<Problem>(nullptr, nullptr),
                                                        MakeTextOptions(charset, raw, nfc)))
        .release()
        .ptr();
  });
  PyBuffer_Release(&buffer);
  return out;
}

void RecordDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<RecordObject*>(self)->data.~shared_ptr();
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* RecordSubscript(PyObject* self, PyObject* key) {
  return Guard([&]() -> PyObject* {
    const std::ptrdiff_t i = FindField(DataOf(self), Key(key));
    if (i < 0) {
      PyErr_SetObject(PyExc_KeyError, key);
      return nullptr;
    }
    return NewField(self, static_cast<std::size_t>(i)).release().ptr();
  });
}

int RecordContains(PyObject* self, PyObject* key) {
  return Guard([&]() -> int { return FindField(DataOf(self), Key(key)) >= 0 ? 1 : 0; });
}

Py_ssize_t RecordLength(PyObject* self) {
  return static_cast<Py_ssize_t>(DataOf(self).view.fields().size());
}

PyObject* RecordIter(PyObject* self) {
  return Guard([&]() -> PyObject* { return PyObject_GetIter(GetFields(self, nullptr, 0).ptr()); });
}

PyObject* RecordStr(PyObject* self) {
  return Guard([&]() -> PyObject* { return MnemonicRecord(DataOf(self)).release().ptr(); });
}

PyObject* RecordRepr(PyObject* self) {
  return Guard([&]() -> PyObject* {
    const RecordData& d = DataOf(self);
    return py::str("<quillet.Record {!r}: {} fields>")
        .format(FieldText(d).Plain(d.view.controlNumber()), d.view.fields().size())
        .release()
        .ptr();
  });
}

PyObject* RecordGet(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    if (n < 1 || n > 2) throw py::type_error("get() takes a tag and an optional default");
    const std::ptrdiff_t i = FindField(DataOf(self), Key(args[0]));
    if (i >= 0) return NewField(self, static_cast<std::size_t>(i)).release().ptr();
    PyObject* fallback = n == 2 ? args[1] : Py_None;
    Py_INCREF(fallback);
    return fallback;
  });
}

PyObject* RecordGetFields(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* { return GetFields(self, args, n).release().ptr(); });
}

PyObject* RecordAsMarc(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* { return Bytes(DataOf(self).bytes).release().ptr(); });
}

PyObject* RecordAsJson(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    const std::string_view json = JsonRecord(DataOf(self));
    return py::str(json.data(), json.size()).release().ptr();
  });
}

PyObject* RecordAsXml(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    const RecordData& d = DataOf(self);
    FieldText text(d);
    const std::string_view xml = Written([&](quillet::OutputBuffer& b) {
      b.append(quillet::kMarcXmlHeader);
      quillet::writeMarcXml(d.view, text.text(), b);
      b.append(quillet::kMarcXmlFooter);
    });
    return py::str(xml.data(), xml.size()).release().ptr();
  });
}

PyObject* RecordAsDict(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* { return AsDict(DataOf(self)).release().ptr(); });
}

PyObject* RecordReduce(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    return py::make_tuple(py::reinterpret_borrow<py::object>(record_from_state),
                          py::make_tuple(GetState(DataOf(self))))
        .release()
        .ptr();
  });
}

PyObject* RecordLeader(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    FieldText text(DataOf(self));
    return text.Plain(text.text().leader()).release().ptr();
  });
}

PyObject* RecordControlNumber(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const RecordData& d = DataOf(self);
    if (d.view.field("001") == nullptr) Py_RETURN_NONE;
    return FieldText(d).Text(d.view.controlNumber()).release().ptr();
  });
}

PyObject* RecordOffset(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(DataOf(self).offset);
}

PyObject* RecordProblems(PyObject* self, void*) {
  return Guard([&]() -> PyObject* { return py::cast(Problems(DataOf(self))).release().ptr(); });
}

PyObject* RecordFields(PyObject* self, void*) {
  return Guard([&]() -> PyObject* { return GetFields(self, nullptr, 0).release().ptr(); });
}

PyObject* RecordFromState(PyObject*, PyObject* state) {
  return Guard([&]() -> PyObject* {
    if (!PyTuple_Check(state)) throw py::type_error("not the state of a quillet.Record");
    return SetState(py::reinterpret_borrow<py::tuple>(state)).release().ptr();
  });
}

PyMethodDef record_methods[] = {
    {"_from_state", &RecordFromState, METH_O | METH_CLASS, "Unpickles a record."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&RecordGet)), METH_FASTCALL,
     "get(tag, default=None)\n--\n\nThe first field matching `tag` (a tag or a pattern such as "
     "6XX), or `default`."},
    {"get_fields", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&RecordGetFields)),
     METH_FASTCALL,
     "get_fields(*patterns)\n--\n\nThe fields whose tag matches any of the patterns (245, 6XX, "
     "6..), in file order; every field when none is given."},
    {"as_marc", &RecordAsMarc, METH_NOARGS, "The record's bytes, as they were read."},
    {"as_dict", &RecordAsDict, METH_NOARGS,
     "The record as MARC-in-JSON, parsed: a dict of leader and fields (text, also when read raw)."},
    {"as_json", &RecordAsJson, METH_NOARGS,
     "The record as MARC-in-JSON text: one line, as quillet-dump -f json writes it."},
    {"as_xml", &RecordAsXml, METH_NOARGS,
     "The record as a MARCXML document (a collection of one record), as quillet-dump -f xml "
     "writes it."},
    {"__reduce__", &RecordReduce, METH_NOARGS, "Records pickle as their bytes."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef record_getset[] = {
    {"leader", &RecordLeader, nullptr, "The leader; position 9 reads 'a' once the text is decoded.",
     nullptr},
    {"control_number", &RecordControlNumber, nullptr, "The text of the first 001, or None.",
     nullptr},
    {"offset", &RecordOffset, nullptr, "The record's byte offset in its input.", nullptr},
    {"problems", &RecordProblems, nullptr,
     "What the reader repaired and what decoding the text found.", nullptr},
    {"fields", &RecordFields, nullptr, "Every field, in file order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// --- quillet.Field ----------------------------------------------------------

void FieldDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_DECREF(reinterpret_cast<FieldObject*>(self)->record);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* FieldSubscript(PyObject* self, PyObject* key) {
  return Guard([&]() -> PyObject* {
    py::object v = FirstValue(FieldOf(self), Key(key));
    if (!v) {
      PyErr_SetObject(PyExc_KeyError, key);
      return nullptr;
    }
    return v.release().ptr();
  });
}

int FieldContains(PyObject* self, PyObject* key) {
  return Guard([&]() -> int { return FirstValue(FieldOf(self), Key(key)) ? 1 : 0; });
}

py::object MnemonicLine(const FieldObject& f) {
  FieldText text(*f.data);
  return MnemonicStr(Written(
      [&](quillet::OutputBuffer& b) { quillet::writeMnemonicField(ViewOf(f), text.text(), b); }));
}

PyObject* FieldStr(PyObject* self) {
  return Guard([&]() -> PyObject* { return MnemonicLine(FieldOf(self)).release().ptr(); });
}

PyObject* FieldRepr(PyObject* self) {
  return Guard([&]() -> PyObject* {
    return py::str("<quillet.Field {}>").format(MnemonicLine(FieldOf(self))).release().ptr();
  });
}

PyObject* FieldGet(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    if (n < 1 || n > 2) throw py::type_error("get() takes a subfield code and an optional default");
    py::object v = FirstValue(FieldOf(self), Key(args[0]));
    if (v) return v.release().ptr();
    PyObject* fallback = n == 2 ? args[1] : Py_None;
    Py_INCREF(fallback);
    return fallback;
  });
}

PyObject* FieldGetSubfields(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    std::vector<std::string_view> codes;
    for (Py_ssize_t i = 0; i < n; ++i) codes.push_back(Key(args[i]));
    if (codes.empty()) return PyList_New(0);
    return SubfieldValues(FieldOf(self), codes).release().ptr();
  });
}

PyObject* FieldIsControl(PyObject* self, PyObject*) {
  return PyBool_FromLong(ViewOf(FieldOf(self)).isControl() ? 1 : 0);
}

PyObject* FieldValue(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = FieldOf(self);
    if (ViewOf(f).isControl()) return FieldData(f).release().ptr();
    py::list values = SubfieldValues(f, {});
    py::object blank =
        f.data->text.toUtf8() ? py::object(py::str(" ")) : py::object(py::bytes(" "));
    return blank.attr("join")(values).release().ptr();
  });
}

PyObject* FieldTag(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = FieldOf(self);
    return FieldText(*f.data).Plain(ViewOf(f).tag()).release().ptr();
  });
}

PyObject* FieldDataGetter(PyObject* self, void*) {
  return Guard([&]() -> PyObject* { return FieldData(FieldOf(self)).release().ptr(); });
}

PyObject* FieldIndicators(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = FieldOf(self);
    FieldText t(*f.data);
    return Pair(t.Plain(quillet::fieldIndicator(ViewOf(f), 0)),
                t.Plain(quillet::fieldIndicator(ViewOf(f), 1)))
        .release()
        .ptr();
  });
}

PyObject* FieldIndicator(PyObject* self, void* which) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = FieldOf(self);
    const std::size_t i = which == nullptr ? 0 : 1;
    return FieldText(*f.data).Plain(quillet::fieldIndicator(ViewOf(f), i)).release().ptr();
  });
}

PyObject* FieldSubfields(PyObject* self, void*) {
  return Guard([&]() -> PyObject* { return Subfields(FieldOf(self)).release().ptr(); });
}

PyObject* FieldPrefix(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = FieldOf(self);
    if (ViewOf(f).isControl()) Py_RETURN_NONE;
    return FieldText(*f.data).Text(quillet::fieldPrefix(ViewOf(f))).release().ptr();
  });
}

char kSecond;  // the closure that tells FieldIndicator to give the second

PyMethodDef field_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FieldGet)), METH_FASTCALL,
     "get(code, default=None)\n--\n\nThe first value of subfield `code`, or `default`."},
    {"get_subfields",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FieldGetSubfields)), METH_FASTCALL,
     "get_subfields(*codes)\n--\n\nThe values of the subfields with any of the codes, in field "
     "order."},
    {"is_control_field", &FieldIsControl, METH_NOARGS, "True for a control field (tag 00X)."},
    {"value", &FieldValue, METH_NOARGS,
     "The text of a control field, or the subfield values joined by blanks."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef field_getset[] = {
    {"tag", &FieldTag, nullptr, "The three-character tag.", nullptr},
    {"data", &FieldDataGetter, nullptr, "A control field's text; None for a data field.", nullptr},
    {"indicators", &FieldIndicators, nullptr,
     "The two indicators (a blank for one the field lacks); blanks for a control field.", nullptr},
    {"indicator1", &FieldIndicator, nullptr, "The first indicator.", nullptr},
    {"indicator2", &FieldIndicator, nullptr, "The second indicator.", &kSecond},
    {"subfields", &FieldSubfields, nullptr,
     "(code, value) pairs in field order; bytes before the first delimiter come first with the "
     "code \"\".",
     nullptr},
    {"prefix", &FieldPrefix, nullptr,
     "A data field's bytes between its indicators and its first delimiter, as text: empty in a "
     "well-formed field, the first of `subfields` (code \"\") otherwise. None for a control field.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// A heap type made from its name, size, flags and slots.
PyTypeObject* MakeType(PyType_Spec* layout) {
  PyObject* type = PyType_FromSpec(layout);
  if (type == nullptr) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

py::object NewRecord(std::shared_ptr<const RecordData> data) {
  RecordObject* r = PyObject_New(RecordObject, record_type);
  if (r == nullptr) throw py::error_already_set();
  new (&r->data) std::shared_ptr<const RecordData>(std::move(data));
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(r));
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

  static PyType_Slot record_slots[] = {
      {Py_tp_doc,
       const_cast<char*>(
           "Record(data, *, charset='auto', raw=False, nfc=False)\n--\n\n"
           "One record: its bytes, leader, fields and problems. A record keeps its bytes "
           "and decodes a field's text when asked for; `data` is the bytes of one "
           "record. Pickles as its bytes.")},
      {Py_tp_new, reinterpret_cast<void*>(&RecordTpNew)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&RecordDealloc)},
      {Py_tp_methods, record_methods},
      {Py_tp_getset, record_getset},
      {Py_tp_iter, reinterpret_cast<void*>(&RecordIter)},
      {Py_tp_str, reinterpret_cast<void*>(&RecordStr)},
      {Py_tp_repr, reinterpret_cast<void*>(&RecordRepr)},
      {Py_mp_subscript, reinterpret_cast<void*>(&RecordSubscript)},
      {Py_mp_length, reinterpret_cast<void*>(&RecordLength)},
      {Py_sq_contains, reinterpret_cast<void*>(&RecordContains)},
      {0, nullptr}};
  static PyType_Spec record_spec = {"quillet._quillet.Record", sizeof(RecordObject), 0,
                                    Py_TPFLAGS_DEFAULT, record_slots};
  static PyType_Slot field_slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "One field of a record, in file order. Control fields (00X) have `data`; "
                      "data fields have `indicators` and `subfields`. Text is decoded when asked "
                      "for, by the record's charset rules.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(&FieldDealloc)},
      {Py_tp_methods, field_methods},
      {Py_tp_getset, field_getset},
      {Py_tp_str, reinterpret_cast<void*>(&FieldStr)},
      {Py_tp_repr, reinterpret_cast<void*>(&FieldRepr)},
      {Py_mp_subscript, reinterpret_cast<void*>(&FieldSubscript)},
      {Py_sq_contains, reinterpret_cast<void*>(&FieldContains)},
      {0, nullptr}};
#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
  constexpr unsigned long kFieldFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
  constexpr unsigned long kFieldFlags = Py_TPFLAGS_DEFAULT;
#endif
  static PyType_Spec field_spec = {"quillet._quillet.Field", sizeof(FieldObject), 0,
                                   static_cast<unsigned int>(kFieldFlags), field_slots};
  record_type = MakeType(&record_spec);
  field_type = MakeType(&field_spec);
#ifndef Py_TPFLAGS_DISALLOW_INSTANTIATION
  field_type->tp_new = nullptr;  // fields come from records only
#endif
  m.add_object("Record", reinterpret_cast<PyObject*>(record_type));
  m.add_object("Field", reinterpret_cast<PyObject*>(field_type));
  // A class method, so that pickle finds it by name.
  record_from_state =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(record_type), "_from_state");
  if (record_from_state == nullptr) throw py::error_already_set();
}

}  // namespace quillet_python
