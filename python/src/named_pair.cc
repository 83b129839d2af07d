#include "named_pair.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace quillet_python {

namespace {

// What tells the two types apart: their names and their items' names.
struct PairKind {
  const char* name;       // as repr shows it
  const char* parse;      // the argument format, with the name for errors
  char* fields[3];        // the items' names, null-terminated for the parser
  PyObject* field_names;  // the same as a tuple, once ready
};

PairKind subfield_kind = {"Subfield",
                          "OO:Subfield",
                          {const_cast<char*>("code"), const_cast<char*>("value"), nullptr},
                          nullptr};
PairKind indicators_kind = {"Indicators",
                            "OO:Indicators",
                            {const_cast<char*>("first"), const_cast<char*>("second"), nullptr},
                            nullptr};

PairKind& KindOf(PyTypeObject* type) {
  return PyType_IsSubtype(type, &subfield_pair_type) ? subfield_kind : indicators_kind;
}

bool IsExact(PyTypeObject* type) {
  return type == &subfield_pair_type || type == &indicators_pair_type;
}

// A pair of `type`, of new references to `a` and `b`. A subclass of ours is
// allocated as its own type says (it may hold more than a tuple).
PyObject* Make(PyTypeObject* type, PyObject* a, PyObject* b) {
  Py_INCREF(a);
  Py_INCREF(b);
  if (IsExact(type)) return NewNamedPair(type, a, b);
  PyObject* pair = type->tp_alloc(type, 2);
  if (pair == nullptr) {
    Py_DECREF(a);
    Py_DECREF(b);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 0, a);
  PyTuple_SET_ITEM(pair, 1, b);
  return pair;
}

PyObject* PairNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PairKind& kind = KindOf(type);
  PyObject* a = nullptr;
  PyObject* b = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, kind.parse, kind.fields, &a, &b)) return nullptr;
  return Make(type, a, b);
}

// An exact pair goes back to the tuple free list it came from: it is a
// tuple of two but for its type. A subclass's instance is freed as its
// type allocated it.
void PairDealloc(PyObject* self) {
  if (IsExact(Py_TYPE(self))) Py_SET_TYPE(self, &PyTuple_Type);
  PyTuple_Type.tp_dealloc(self);
}

// The pairs' iterator. Unpacking (`for code, value in field`) takes an
// iterator from any subclass of tuple (the interpreter's fast path is for
// exact tuples only); tuple's own is allocated and freed each time through
// the cycle collector's allocator, which cost more than the pair itself.
// This one is kept on a free list of its own.
struct PairIterator {
  PyObject_HEAD
  PyObject* pair;  // null once exhausted
  Py_ssize_t next;
};

PyTypeObject pair_iterator_type;
constexpr int kSpareIterators = 8;
PyObject* spare_iterators[kSpareIterators];  // under the GIL only
int spare_count = 0;

PyObject* PairIter(PyObject* self) {
  PyObject* it = nullptr;
  if (spare_count > 0) {
    it = PyObject_Init(spare_iterators[--spare_count], &pair_iterator_type);
  } else {
    it = reinterpret_cast<PyObject*>(PyObject_GC_New(PairIterator, &pair_iterator_type));
    if (it == nullptr) return nullptr;
  }
  PairIterator& i = *reinterpret_cast<PairIterator*>(it);
  Py_INCREF(self);
  i.pair = self;
  i.next = 0;
  PyObject_GC_Track(it);
  return it;
}

PyObject* PairIteratorNext(PyObject* self) {
  PairIterator& i = *reinterpret_cast<PairIterator*>(self);
  if (i.pair == nullptr) return nullptr;
  if (i.next < 2) {
    PyObject* item = PyTuple_GET_ITEM(i.pair, i.next++);
    Py_INCREF(item);
    return item;
  }
  Py_CLEAR(i.pair);
  return nullptr;
}

void PairIteratorDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_CLEAR(reinterpret_cast<PairIterator*>(self)->pair);
  if (spare_count < kSpareIterators) {
    spare_iterators[spare_count++] = self;
  } else {
    PyObject_GC_Del(self);
  }
}

int PairIteratorTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<PairIterator*>(self)->pair);
  return 0;
}

PyObject* PairIteratorLengthHint(PyObject* self, PyObject*) {
  const PairIterator& i = *reinterpret_cast<PairIterator*>(self);
  return PyLong_FromSsize_t(i.pair == nullptr ? 0 : 2 - i.next);
}

PyMethodDef pair_iterator_methods[] = {
    {"__length_hint__", &PairIteratorLengthHint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyObject* PairRepr(PyObject* self) {
  const char* name = Py_TYPE(self)->tp_name;
  if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
  const PairKind& kind = KindOf(Py_TYPE(self));
  return PyUnicode_FromFormat("%s(%s=%R, %s=%R)", name, kind.fields[0], PyTuple_GET_ITEM(self, 0),
                              kind.fields[1], PyTuple_GET_ITEM(self, 1));
}

PyObject* PairAsDict(PyObject* self, PyObject*) {
  const PairKind& kind = KindOf(Py_TYPE(self));
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < 2; ++i) {
    if (PyDict_SetItem(d, PyTuple_GET_ITEM(kind.field_names, i), PyTuple_GET_ITEM(self, i)) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  }
  return d;
}

PyObject* PairReplace(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "_replace() takes keyword arguments only");
    return nullptr;
  }
  const PairKind& kind = KindOf(Py_TYPE(self));
  PyObject* items[2] = {PyTuple_GET_ITEM(self, 0), PyTuple_GET_ITEM(self, 1)};
  if (kwargs != nullptr) {
    PyObject* unexpected = PyList_New(0);
    if (unexpected == nullptr) return nullptr;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(kwargs, &at, &key, &value)) {
      bool known = false;
      for (int i = 0; i < 2; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, kind.fields[i]) == 0) {
          items[i] = value;
          known = true;
        }
      }
      if (!known && PyList_Append(unexpected, key) < 0) {
        Py_DECREF(unexpected);
        return nullptr;
      }
    }
    if (PyList_GET_SIZE(unexpected) != 0) {
      PyErr_Format(PyExc_ValueError, "Got unexpected field names: %R", unexpected);
      Py_DECREF(unexpected);
      return nullptr;
    }
    Py_DECREF(unexpected);
  }
  return Make(Py_TYPE(self), items[0], items[1]);
}

PyObject* PairMake(PyObject* type, PyObject* iterable) {
  PyObject* items = PySequence_Tuple(iterable);
  if (items == nullptr) return nullptr;
  if (PyTuple_GET_SIZE(items) != 2) {
    PyErr_Format(PyExc_TypeError, "Expected 2 arguments, got %zd", PyTuple_GET_SIZE(items));
    Py_DECREF(items);
    return nullptr;
  }
  PyObject* pair = Make(reinterpret_cast<PyTypeObject*>(type), PyTuple_GET_ITEM(items, 0),
                        PyTuple_GET_ITEM(items, 1));
  Py_DECREF(items);
  return pair;
}

PyObject* PairNewArgs(PyObject* self, PyObject*) {
  return PyTuple_Pack(2, PyTuple_GET_ITEM(self, 0), PyTuple_GET_ITEM(self, 1));
}

// Pickled as a call of its type, so that every protocol finds the type by
// its name in the package (a static type has no heap type's default).
PyObject* PairReduce(PyObject* self, PyObject*) {
  return Py_BuildValue("O(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                       PyTuple_GET_ITEM(self, 0), PyTuple_GET_ITEM(self, 1));
}

PyMethodDef pair_methods[] = {
    {"_asdict", &PairAsDict, METH_NOARGS, "A dict of the items by name."},
    {"_replace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&PairReplace)),
     METH_VARARGS | METH_KEYWORDS, "A new pair with the items named replaced."},
    {"_make", &PairMake, METH_O | METH_CLASS, "A new pair of the two items of an iterable."},
    {"__getnewargs__", &PairNewArgs, METH_NOARGS, nullptr},
    {"__reduce__", &PairReduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

constexpr Py_ssize_t kFirst = offsetof(PyTupleObject, ob_item);
constexpr Py_ssize_t kSecond = offsetof(PyTupleObject, ob_item) + sizeof(PyObject*);

PyMemberDef subfield_members[] = {
    {const_cast<char*>("code"), T_OBJECT, kFirst, READONLY,
     const_cast<char*>("The code (\"\" for bytes before the first delimiter).")},
    {const_cast<char*>("value"), T_OBJECT, kSecond, READONLY, const_cast<char*>("The value.")},
    {nullptr, 0, 0, 0, nullptr}};

PyMemberDef indicators_members[] = {{const_cast<char*>("first"), T_OBJECT, kFirst, READONLY,
                                     const_cast<char*>("The first indicator.")},
                                    {const_cast<char*>("second"), T_OBJECT, kSecond, READONLY,
                                     const_cast<char*>("The second indicator.")},
                                    {nullptr, 0, 0, 0, nullptr}};

bool Ready(PyTypeObject& type, const char* name, const char* doc, PyMemberDef* members,
           PairKind& kind) {
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);  // never freed
  type.tp_name = name;
  type.tp_basicsize = PyTuple_Type.tp_basicsize;
  type.tp_itemsize = PyTuple_Type.tp_itemsize;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = doc;
  type.tp_base = &PyTuple_Type;
  type.tp_new = &PairNew;
  type.tp_dealloc = &PairDealloc;
  type.tp_traverse = PyTuple_Type.tp_traverse;
  type.tp_repr = &PairRepr;
  type.tp_iter = &PairIter;
  type.tp_methods = pair_methods;
  type.tp_members = members;
  if (PyType_Ready(&type) < 0) return false;
  kind.field_names = Py_BuildValue("(ss)", kind.fields[0], kind.fields[1]);
  if (kind.field_names == nullptr) return false;
  PyObject* defaults = PyDict_New();
  if (defaults == nullptr) return false;
  const bool set = PyDict_SetItemString(type.tp_dict, "_fields", kind.field_names) == 0 &&
                   PyDict_SetItemString(type.tp_dict, "__match_args__", kind.field_names) == 0 &&
                   PyDict_SetItemString(type.tp_dict, "_field_defaults", defaults) == 0;
  Py_DECREF(defaults);
  PyType_Modified(&type);
  return set;
}

}  // namespace

// Zeroed as statics are, and filled in by Ready().
PyTypeObject subfield_pair_type;
PyTypeObject indicators_pair_type;

bool ReadyNamedPairs() {
  PyTypeObject& it = pair_iterator_type;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&it), 1);
  it.tp_name = "quillet._quillet.pair_iterator";
  it.tp_basicsize = sizeof(PairIterator);
  it.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  it.tp_dealloc = &PairIteratorDealloc;
  it.tp_traverse = &PairIteratorTraverse;
  it.tp_iter = &PyObject_SelfIter;
  it.tp_iternext = &PairIteratorNext;
  it.tp_methods = pair_iterator_methods;
  if (PyType_Ready(&it) < 0) return false;
  return Ready(subfield_pair_type, "quillet.Subfield",
               "Subfield(code, value)\n--\n\nOne subfield of a data field: its code (\"\" for "
               "bytes before the first delimiter) and its value. A tuple of two with names.",
               subfield_members, subfield_kind) &&
         Ready(indicators_pair_type, "quillet.Indicators",
               "Indicators(first, second)\n--\n\nThe two indicators of a data field. A tuple of "
               "two with names.",
               indicators_members, indicators_kind);
}

PyObject* NewNamedPair(PyTypeObject* type, PyObject* a, PyObject* b) {
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) {
    Py_DECREF(a);
    Py_DECREF(b);
    return nullptr;
  }
  Py_SET_TYPE(pair, type);  // a static type: instances hold no reference to it
  PyTuple_SET_ITEM(pair, 0, a);
  PyTuple_SET_ITEM(pair, 1, b);
  auto atomic = [](PyObject* o) { return PyUnicode_CheckExact(o) || PyBytes_CheckExact(o); };
  if (atomic(a) && atomic(b)) PyObject_GC_UnTrack(pair);
  return pair;
}

}  // namespace quillet_python
