#include "convert.h"

#include <quillet/text.h>

namespace quillet_python {

py::object Str(std::string_view utf8) {
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::object PlainObject(std::string_view bytes, bool raw) {
  if (raw) return Bytes(bytes);
  if (bytes.size() == 1 && static_cast<unsigned char>(bytes[0]) < 0x80) {
    return py::reinterpret_steal<py::object>(PyUnicode_FromOrdinal(bytes[0]));  // a cached one
  }
  if (quillet::isUtf8(bytes)) return Str(bytes);
  std::string valid;
  quillet::appendUtf8(bytes, valid);
  return Str(valid);
}

py::object TextObject(std::string_view value, bool raw) {
  if (raw) return Bytes(value);
  return Str(value);
}

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

std::string ByteText(PyObject* o, const char* what) {
  if (PyBytes_Check(o)) {
    return std::string(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  }
  if (PyUnicode_Check(o)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &size);
    if (text == nullptr) throw py::error_already_set();
    return std::string(text, static_cast<std::size_t>(size));
  }
  throw py::type_error(std::string(what) + " is a str, not " + Py_TYPE(o)->tp_name);
}

std::string_view ValueText(PyObject* o, bool raw, const char* what) {
  if (raw) {
    if (!PyBytes_Check(o)) {
      throw py::type_error(std::string(what) + " of a record read raw is bytes, not " +
                           Py_TYPE(o)->tp_name);
    }
    return std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  }
  if (!PyUnicode_Check(o)) {
    throw py::type_error(std::string(what) + " is a str, not " + Py_TYPE(o)->tp_name);
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &size);
  if (text == nullptr) throw py::error_already_set();
  return std::string_view(text, static_cast<std::size_t>(size));
}

}  // namespace quillet_python
