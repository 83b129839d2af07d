#include "leader.h"

#include <quillet/marc_record.h>

#include <cstring>

#include "convert.h"
#include "field.h"

namespace quillet_python {

namespace {

// A leader bound to a record, or standing alone (quillet.Leader("...")),
// then holding its own 24 bytes.
struct LeaderObject {
  PyObject_HEAD
  PyObject* record;  // a strong reference, or null
  char value[24];
};

PyTypeObject* leader_type = nullptr;

LeaderObject& Of(PyObject* self) { return *reinterpret_cast<LeaderObject*>(self); }

std::string Value(PyObject* self) {
  const LeaderObject& l = Of(self);
  return l.record != nullptr ? RecordLeader(l.record) : std::string(l.value, 24);
}

bool Raw(PyObject* self) {
  const LeaderObject& l = Of(self);
  return l.record != nullptr && RecordRaw(l.record);
}

void Set(PyObject* self, const std::string& leader) {
  quillet::MarcRecord& check = Checker();
  check.setLeader(leader);
  LeaderObject& l = Of(self);
  if (l.record != nullptr) {
    SetRecordLeader(l.record, leader);
  } else {
    std::memcpy(l.value, leader.data(), 24);
  }
}

// The leader as the record's text: str, or bytes for a record read raw.
py::object ValueObject(PyObject* self) { return PlainObject(Value(self), Raw(self)); }

PyObject* LeaderNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"leader", nullptr};
  PyObject* given = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Leader", const_cast<char**>(keywords),
                                   &given)) {
    return nullptr;
  }
  return Guard([&]() -> PyObject* {
    const std::string bytes = LeaderBytes(given);
    LeaderObject* l = PyObject_New(LeaderObject, leader_type);
    if (l == nullptr) throw py::error_already_set();
    l->record = nullptr;
    std::memcpy(l->value, bytes.data(), 24);
    return reinterpret_cast<PyObject*>(l);
  });
}

void LeaderDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(Of(self).record);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* LeaderStr(PyObject* self) {
  return Guard([&]() -> PyObject* { return Str(Value(self)).release().ptr(); });
}

PyObject* LeaderRepr(PyObject* self) {
  return Guard([&]() -> PyObject* {
    return py::str("Leader({!r})").format(Str(Value(self))).release().ptr();
  });
}

Py_ssize_t LeaderLength(PyObject*) { return 24; }

PyObject* LeaderSubscript(PyObject* self, PyObject* key) {
  return Guard([&]() -> PyObject* { return PyObject_GetItem(ValueObject(self).ptr(), key); });
}

// leader[5] = "c", leader[0:5] = "00000": the same number of characters.
int LeaderAssSubscript(PyObject* self, PyObject* key, PyObject* value) {
  return Guard([&]() -> int {
    if (value == nullptr) throw py::type_error("a leader keeps its 24 positions: set, not delete");
    std::string leader = Value(self);
    Py_ssize_t start = 0, stop = 0, step = 1;
    if (PySlice_Check(key)) {
      if (PySlice_Unpack(key, &start, &stop, &step) < 0) throw py::error_already_set();
      PySlice_AdjustIndices(24, &start, &stop, step);
      if (step != 1) throw py::value_error("leader slices are set with a step of 1");
      if (stop < start) stop = start;
    } else {
      start = PyNumber_AsSsize_t(key, PyExc_IndexError);
      if (start == -1 && PyErr_Occurred()) throw py::error_already_set();
      if (start < 0) start += 24;
      if (start < 0 || start >= 24) throw py::index_error("leader position out of range (0-23)");
      stop = start + 1;
    }
    const std::string given = ByteText(value, "a leader position");
    if (static_cast<Py_ssize_t>(given.size()) != stop - start) {
      throw py::value_error("leader positions " + std::to_string(start) + "-" +
                            std::to_string(stop - 1) + " are " + std::to_string(stop - start) +
                            " character(s); \"" + given + "\" is " + std::to_string(given.size()));
    }
    leader.replace(static_cast<std::size_t>(start), given.size(), given);
    Set(self, leader);
    return 0;
  });
}

PyObject* LeaderRichCompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  return Guard([&]() -> PyObject* {
    py::object mine = ValueObject(self);
    py::object theirs;
    if (Py_TYPE(other) == leader_type) {
      theirs = ValueObject(other);
    } else if (PyUnicode_Check(other) || PyBytes_Check(other)) {
      theirs = py::reinterpret_borrow<py::object>(other);
      if (PyUnicode_Check(other) && PyBytes_Check(mine.ptr())) mine = Str(Value(self));
    } else {
      Py_RETURN_NOTIMPLEMENTED;
    }
    return PyObject_RichCompare(mine.ptr(), theirs.ptr(), op);
  });
}

PyObject* LeaderIter(PyObject* self) {
  return Guard([&]() -> PyObject* { return PyObject_GetIter(ValueObject(self).ptr()); });
}

PyObject* LeaderReduce(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    return py::make_tuple(
               py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(leader_type)),
               py::make_tuple(Str(Value(self))))
        .release()
        .ptr();
  });
}

// The named positions: offset and width.
struct Position {
  int offset;
  int width;
};
Position kPositions[] = {{0, 5},  {5, 1},  {6, 1},  {7, 1},  {8, 1},  {9, 1},  {10, 1}, {11, 1},
                         {12, 5}, {17, 1}, {18, 1}, {19, 1}, {20, 1}, {21, 1}, {22, 1}};

PyObject* GetPosition(PyObject* self, void* closure) {
  return Guard([&]() -> PyObject* {
    const Position& p = *static_cast<Position*>(closure);
    return PlainObject(Value(self).substr(static_cast<std::size_t>(p.offset),
                                          static_cast<std::size_t>(p.width)),
                       Raw(self))
        .release()
        .ptr();
  });
}

int SetPosition(PyObject* self, PyObject* value, void* closure) {
  const Position& p = *static_cast<Position*>(closure);
  PyObject* slice =
      PySlice_New(py::int_(p.offset).ptr(), py::int_(p.offset + p.width).ptr(), nullptr);
  if (slice == nullptr) return -1;
  const int result = LeaderAssSubscript(self, slice, value);
  Py_DECREF(slice);
  return result;
}

#define QUILLET_POSITION(name, i, doc) \
  { name, &GetPosition, &SetPosition, const_cast<char*>(doc), &kPositions[i] }

PyGetSetDef leader_getset[] = {
    QUILLET_POSITION("record_length", 0, "Positions 0-4, computed when the record is written."),
    QUILLET_POSITION("record_status", 1, "Position 5."),
    QUILLET_POSITION("type_of_record", 2, "Position 6."),
    QUILLET_POSITION("bibliographic_level", 3, "Position 7."),
    QUILLET_POSITION("type_of_control", 4, "Position 8."),
    QUILLET_POSITION("character_coding_scheme", 5,
                     "Position 9: 'a' for UTF-8; the record's text decides it when written."),
    QUILLET_POSITION("indicator_count", 6, "Position 10."),
    QUILLET_POSITION("subfield_code_count", 7, "Position 11."),
    QUILLET_POSITION("base_address", 8, "Positions 12-16, computed when the record is written."),
    QUILLET_POSITION("encoding_level", 9, "Position 17."),
    QUILLET_POSITION("cataloging_form", 10, "Position 18."),
    QUILLET_POSITION("multipart_ressource", 11, "Position 19."),
    QUILLET_POSITION("length_of_field_length", 12, "Position 20."),
    QUILLET_POSITION("starting_character_position_length", 13, "Position 21."),
    QUILLET_POSITION("implementation_defined_length", 14, "Position 22."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#undef QUILLET_POSITION

PyMethodDef leader_methods[] = {
    {"__reduce__", &LeaderReduce, METH_NOARGS, "Leaders pickle as their text."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PyObject* NewLeader(PyObject* record) {
  LeaderObject* l = PyObject_New(LeaderObject, leader_type);
  if (l == nullptr) return nullptr;
  Py_INCREF(record);
  l->record = record;
  return reinterpret_cast<PyObject*>(l);
}

std::string LeaderBytes(PyObject* given) {
  std::string bytes = Py_TYPE(given) == leader_type ? Value(given) : ByteText(given, "a leader");
  Checker().setLeader(bytes);
  return bytes;
}

void BindLeader(py::module_& m) {
  static PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>(
           "Leader(leader)\n--\n\n"
           "A record's leader: 24 characters, read and set by position (leader[5] = 'c'), by "
           "slice or by name (leader.record_status). str() gives its text; it compares equal to "
           "a str of the same characters. The leader of a record reads and changes the record.")},
      {Py_tp_new, reinterpret_cast<void*>(&LeaderNew)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&LeaderDealloc)},
      {Py_tp_str, reinterpret_cast<void*>(&LeaderStr)},
      {Py_tp_repr, reinterpret_cast<void*>(&LeaderRepr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&LeaderRichCompare)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
      {Py_tp_iter, reinterpret_cast<void*>(&LeaderIter)},
      {Py_tp_getset, leader_getset},
      {Py_tp_methods, leader_methods},
      {Py_mp_subscript, reinterpret_cast<void*>(&LeaderSubscript)},
      {Py_mp_ass_subscript, reinterpret_cast<void*>(&LeaderAssSubscript)},
      {Py_mp_length, reinterpret_cast<void*>(&LeaderLength)},
      {0, nullptr}};
  static PyType_Spec layout = {"quillet._quillet.Leader", sizeof(LeaderObject), 0,
                               Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&layout);
  if (type == nullptr) throw py::error_already_set();
  leader_type = reinterpret_cast<PyTypeObject*>(type);
  m.add_object("Leader", type);
}

}  // namespace quillet_python
