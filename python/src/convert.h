// What the module's types share at the edge between Python and the
// library: errors turned into Python's, text and bytes made and taken.
// Every function here runs with the GIL held.
#ifndef QUILLET_PYTHON_CONVERT_H_
#define QUILLET_PYTHON_CONVERT_H_

#include <pybind11/pybind11.h>
#include <quillet/formats.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillet_python {

namespace py = pybind11;

// Null (or -1) after a Python error is set: what a failing slot returns.
template <typename T>
T Failed();
template <>
inline PyObject* Failed<PyObject*>() {
  return nullptr;
}
template <>
inline int Failed<int>() {
  return -1;
}
template <>
inline Py_ssize_t Failed<Py_ssize_t>() {
  return -1;
}

// Runs `body`, turning C++ exceptions into the Python error they stand for:
// the library's refusals (std::invalid_argument, std::out_of_range,
// std::length_error) become ValueError, as a refused change is a bad value.
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
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return Failed<decltype(body())>();
}

// UTF-8 as str, bytes that are not UTF-8 as U+FFFD.
py::object Str(std::string_view utf8);
inline py::bytes Bytes(std::string_view b) { return py::bytes(b.data(), b.size()); }

// Bytes that are no text (a tag, an indicator, a subfield code, the leader)
// as Python gives them: bytes for a record read raw, otherwise str, with
// each byte that is not UTF-8 as U+FFFD.
py::object PlainObject(std::string_view bytes, bool raw);
// A value held as text (UTF-8) or, for raw, as bytes.
py::object TextObject(std::string_view value, bool raw);

// A tag, code or pattern given by Python to look for: str only.
std::string_view Key(PyObject* key);

// A tag, indicator or subfield code given to be set: str or bytes, as its
// bytes (str as UTF-8). `what` names it in the TypeError.
std::string ByteText(PyObject* o, const char* what);
// A value given to be set: str for a text record or field, bytes for a raw
// one (TypeError otherwise). Points into `o`, which must outlive it.
std::string_view ValueText(PyObject* o, bool raw, const char* what);

// Writes with `write` into a buffer reused by the thread, and gives what it
// wrote: valid until the next Written().
template <typename Write>
std::string_view Written(Write write) {
  static thread_local quillet::OutputBuffer buffer;
  buffer.clear();
  write(buffer);
  return buffer.view();
}

}  // namespace quillet_python

#endif  // QUILLET_PYTHON_CONVERT_H_
