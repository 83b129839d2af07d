// The tables of quillet.table (to_long, to_wide, problems): a source's
// records walked in C++, with the GIL released, into columns (NumPy arrays,
// categorical codes, one Python object per value that must be one), which
// Python makes into a pandas DataFrame once per source or block. No Python
// object is made per record or per field on the way.
#ifndef QUILLET_PYTHON_TABLE_H_
#define QUILLET_PYTHON_TABLE_H_

#include <pybind11/pybind11.h>

namespace quillet_python {

// Adds _long_columns, _wide_columns, _problem_columns and _parse_selector to
// the module; python/quillet/table.py is their one caller.
void BindTable(pybind11::module_& m);

}  // namespace quillet_python

#endif  // QUILLET_PYTHON_TABLE_H_
