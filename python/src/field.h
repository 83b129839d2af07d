// quillet.Field: one field of a record, a view of the record's bytes until
// it is first changed, then a field that holds its own text.
#ifndef QUILLET_PYTHON_FIELD_H_
#define QUILLET_PYTHON_FIELD_H_

#include <pybind11/pybind11.h>
#include <quillet/marc_record.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "record.h"

namespace quillet_python {

// A field that holds its own text: made by quillet.Field(), or by the first
// change to a field that was a view. Values are UTF-8 text, or for a raw
// field the bytes as read; the tag, indicators and codes are bytes as the
// record holds them (shown to Python as text). Owned by its FieldObject.
struct OwnedField {
  std::string tag;  // three bytes
  bool control = false;
  bool raw = false;  // values are bytes in Python
  std::string data;  // a control field's
  char ind1 = ' ', ind2 = ' ';
  std::string prefix;  // bytes before a read field's first delimiter, as text
  std::vector<std::pair<char, std::string>> subfields;  // code '\0': a delimiter with no code
};

// The Python object. A view (owned == null) holds the record's data and
// the field's index in it: no reference to its Record, so a record that
// keeps its fields makes no cycle. Changing a view makes it owned in place
// (the same Python object), which is how `record["245"]["a"] = "x"` changes
// the record that holds it. Used under the GIL only.
struct FieldObject {
  PyObject_HEAD
  std::shared_ptr<const RecordData> data;  // the view's record; null once owned
  std::uint32_t index;
  OwnedField* owned;
};

// A view of field `index` of `data`.
PyObject* NewViewField(const std::shared_ptr<const RecordData>& data, std::size_t index);
// Whether `o` is a quillet.Field.
bool IsField(PyObject* o);
// `o` as a field; TypeError naming `where` when it is none.
FieldObject& AsField(PyObject* o, const char* where);
// The tag's three bytes.
std::string_view FieldTag(const FieldObject& f);
// The view's field. REQUIRES: f.owned == nullptr.
inline const quillet::FieldView& ViewOf(const FieldObject& f) {
  return f.data->view.fields()[f.index];
}
// Whether `f` is still field `index` of `data`, unchanged.
inline bool IsViewOf(const FieldObject& f, const RecordData* data, std::size_t index) {
  return f.owned == nullptr && f.data.get() == data && f.index == index;
}
// Appends the field to `m`, its text as UTF-8, or as bytes when `raw`.
// The bytes of a view are copied as they are when they are already so.
void AppendField(const FieldObject& f, bool raw, quillet::MarcRecord& m);
// Appends an owned field's text as it is held (inserts it before field
// `at`); nothing is added when the library refuses it.
void AppendOwned(const OwnedField& o, quillet::MarcRecord& m);
void InsertOwned(const OwnedField& o, std::size_t at, quillet::MarcRecord& m);
// Whether the fields of `data` are written as their bytes: raw text, or
// UTF-8 text that is the bytes, in fields of two indicators and one-byte
// codes (or into a record written raw).
bool CopiesAsRead(const RecordData& data, bool raw);
// Appends field `index` of `data`, as AppendField(). `text`, when given,
// is started on `data` and decodes its fields one after another (null: one
// is made for the field).
void AppendViewField(const RecordData& data, std::size_t index, bool raw, quillet::MarcRecord& m,
                     quillet::RecordText* text);
// Whether the two fields hold the same tag, indicators and text.
bool FieldsEqual(const FieldObject& a, const FieldObject& b);
// A new field of the same content (a view stays a view of the same data).
PyObject* CopyField(const FieldObject& f);
// The text of field `f` for control_number: a control field's data.
py::object FieldDataObject(const FieldObject& f);

// A scratch record that validates changes by the library's rules before
// they are made (a refused change changes nothing): cleared for each use
// unless `clear` is false.
quillet::MarcRecord& Checker(bool clear = true);

void BindField(py::module_& m);

}  // namespace quillet_python

#endif  // QUILLET_PYTHON_FIELD_H_
