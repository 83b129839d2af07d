// The extension module quillet._quillet; the package quillet re-exports it.
#include <pybind11/pybind11.h>

#include "record.h"
#include "table.h"

PYBIND11_MODULE(_quillet, m) {
  m.doc() = "ISO 2709 (MARC) records read by QuilletLib.";
  quillet_python::BindField(m);
  quillet_python::BindLeader(m);
  quillet_python::BindRecord(m);
  quillet_python::BindReader(m);
  quillet_python::BindTable(m);
  m.attr("__version__") = QUILLET_PYTHON_VERSION;
}
