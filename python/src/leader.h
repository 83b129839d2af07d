// quillet.Leader: a record's leader, read and set by position.
#ifndef QUILLET_PYTHON_LEADER_H_
#define QUILLET_PYTHON_LEADER_H_

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

namespace quillet_python {

namespace py = pybind11;

// A Leader bound to `record` (a quillet.Record): it reads and sets the
// record's leader, and holds a reference to the record (which holds none to
// it). Under the GIL only.
PyObject* NewLeader(PyObject* record);
// The 24 bytes of `given` to set as a leader: a Leader, str or bytes,
// checked by the library's rules (ValueError, TypeError otherwise).
std::string LeaderBytes(PyObject* given);

// What the Record type gives the Leader (record.cc).
std::string RecordLeader(PyObject* record);
bool RecordRaw(PyObject* record);
void SetRecordLeader(PyObject* record, const std::string& leader);

void BindLeader(py::module_& m);

}  // namespace quillet_python

#endif  // QUILLET_PYTHON_LEADER_H_
