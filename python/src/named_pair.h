// quillet.Subfield and quillet.Indicators: named pairs, made and freed as
// cheaply as plain tuples.
//
// Both are static subclasses of tuple with the layout of a tuple of two,
// and keep what scripts rely on from a named tuple: the names as read-only
// attributes, indexing and unpacking, equality and hashing as tuples,
// `_fields`, `_asdict()`, `_replace()`, `_make()`, construction by position
// or keyword, repr, copying and pickling, subclassing. A named tuple made
// in Python costs several times a tuple to free (the generic subclass
// deallocation) and to make; these take a tuple from the interpreter's
// free list and give it back there. Instances are immutable and hold
// their two items; the types live as long as the interpreter. Used under
// the GIL only.
#ifndef QUILLET_PYTHON_NAMED_PAIR_H_
#define QUILLET_PYTHON_NAMED_PAIR_H_

#include <Python.h>

namespace quillet_python {

// The two types, ready once ReadyNamedPairs() has run.
extern PyTypeObject subfield_pair_type;
extern PyTypeObject indicators_pair_type;

// Readies both types; false with a Python error set when it fails.
bool ReadyNamedPairs();

// A pair of `type` (one of the two above) holding `a` and `b`, whose
// references it steals (both are released when it fails: null with the
// error set). Items that are str or bytes leave the pair untracked by the
// cycle collector, as the collector itself leaves such tuples.
PyObject* NewNamedPair(PyTypeObject* type, PyObject* a, PyObject* b);

}  // namespace quillet_python

#endif  // QUILLET_PYTHON_NAMED_PAIR_H_
