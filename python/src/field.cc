#include "field.h"

#include <quillet/text.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "convert.h"
#include "named_pair.h"

namespace quillet_python {

namespace {

using quillet::FieldView;
using quillet::SubfieldView;

PyTypeObject* field_type = nullptr;
PyObject* field_from_state = nullptr;  // the unpickling function

FieldObject& Of(PyObject* self) { return *reinterpret_cast<FieldObject*>(self); }

// Whether the record's text, read as its options say, is its bytes, in
// text mode (raw fields are bytes anyway).
bool TextIsBytes(const RecordData& d) { return d.text.toUtf8() && d.TextIsBytes(); }

// The view's content, decoded as the record's text rules say, into `o`.
void FillOwned(const RecordData& d, const FieldView& v, OwnedField& o) {
  if (TextIsBytes(d)) {
    // Well-formed UTF-8 not to be composed: the text is the bytes (the
    // guess says no piece needs a check), so no decoder is started.
    o.raw = false;
    o.tag.assign(v.tag());
    o.control = v.isControl();
    if (o.control) {
      o.data.assign(v.data());
      return;
    }
    o.ind1 = v.indicator1();
    o.ind2 = v.indicator2();
    o.prefix.assign(quillet::fieldPrefix(v));
    for (const SubfieldView& s : v.subfields()) {
      const std::string_view code = quillet::subfieldCode(s);
      o.subfields.emplace_back(code.empty() ? '\0' : code[0], std::string(s.value()));
    }
    return;
  }
  quillet::RecordText text(d.text);
  text.start(d.view, d.guess);
  o.raw = !d.text.toUtf8();
  o.tag.assign(v.tag());
  o.control = v.isControl();
  if (o.control) {
    o.data.assign(text.text(v.data()));
    return;
  }
  o.ind1 = v.indicator1();
  o.ind2 = v.indicator2();
  o.prefix.assign(text.text(quillet::fieldPrefix(v)));
  for (const SubfieldView& s : v.subfields()) {
    const std::string_view code = quillet::subfieldCode(s);
    o.subfields.emplace_back(code.empty() ? '\0' : code[0], std::string(text.text(s.value())));
  }
}

// The field made owned in place, for a change: the first change of a view
// decodes its text once.
OwnedField& Own(FieldObject& f) {
  if (f.owned != nullptr) return *f.owned;
  std::unique_ptr<OwnedField> o(new OwnedField);
  FillOwned(*f.data, ViewOf(f), *o);
  f.owned = o.release();
  f.data.reset();
  return *f.owned;
}

bool Raw(const FieldObject& f) { return f.owned ? f.owned->raw : !f.data->text.toUtf8(); }
bool Control(const FieldObject& f) { return f.owned ? f.owned->control : ViewOf(f).isControl(); }

std::string_view CodeBytes(const char& code) {
  return code == '\0' ? std::string_view() : std::string_view(&code, 1);
}

// A subfield code given to look for or set: one byte.
char CodeOf(PyObject* o) {
  const std::string code = ByteText(o, "a subfield code");
  if (code.size() != 1) {
    throw py::value_error("a subfield code is one ASCII character, not \"" + code + "\"");
  }
  return code[0];
}

void RequireData(const FieldObject& f, const char* call) {
  if (Control(f)) {
    throw py::value_error(std::string(call) + " is for data fields; field " +
                          std::string(FieldTag(f)) + " is a control field");
  }
}

// Hands `take` the text of each subfield whose code is one of `codes`
// (every code when empty), in field order, until it returns false.
template <typename Take>
void VisitValues(const FieldObject& f, std::string_view codes, bool all, Take take) {
  if (f.owned != nullptr) {
    if (f.owned->control) return;
    for (const auto& s : f.owned->subfields) {
      if ((all || (s.first != '\0' && codes.find(s.first) != std::string_view::npos)) &&
          !take(TextObject(s.second, f.owned->raw))) {
        return;
      }
    }
    return;
  }
  const FieldView& v = ViewOf(f);
  if (v.isControl()) return;
  FieldText text(*f.data);
  text.Skip(quillet::fieldPrefix(v));
  for (const SubfieldView& s : v.subfields()) {
    const bool has_code = !quillet::subfieldCode(s).empty();
    if (all || (has_code && codes.find(s.code()) != std::string_view::npos)) {
      if (!take(text.Text(s.value()))) return;
    } else {
      text.Skip(s.value());
    }
  }
}

py::object FirstValue(const FieldObject& f, char code) {
  py::object found;
  VisitValues(f, std::string_view(&code, 1), false, [&found](py::object value) {
    found = std::move(value);
    return false;
  });
  return found;
}

py::list Values(const FieldObject& f, std::string_view codes, bool all) {
  py::list out;
  VisitValues(f, codes, all, [&out](py::object value) {
    out.append(std::move(value));
    return true;
  });
  return out;
}

// The one-character code of a lookup key: a key of another length matches
// no subfield (so `"ab" in field` is False, as it always was).
bool LookupCode(PyObject* key, char* code) {
  const std::string_view k = Key(key);
  if (k.size() != 1) return false;
  *code = k[0];
  return true;
}

py::list Subfields(const FieldObject& f) {
  py::list out;
  auto add = [&out](py::object code, py::object value) {
    PyObject* pair = NewNamedPair(&subfield_pair_type, code.release().ptr(), value.release().ptr());
    if (pair == nullptr) throw py::error_already_set();
    out.append(py::reinterpret_steal<py::object>(pair));
  };
  if (f.owned != nullptr) {
    const OwnedField& o = *f.owned;
    if (o.control) return out;
    if (!o.prefix.empty()) add(PlainObject("", o.raw), TextObject(o.prefix, o.raw));
    for (const auto& s : o.subfields) {
      add(PlainObject(CodeBytes(s.first), o.raw), TextObject(s.second, o.raw));
    }
    return out;
  }
  const FieldView& v = ViewOf(f);
  if (v.isControl()) return out;
  FieldText text(*f.data);
  const std::string_view prefix = quillet::fieldPrefix(v);
  if (!prefix.empty()) add(text.Plain(""), text.Text(prefix));
  for (const SubfieldView& s : v.subfields()) {
    add(text.Plain(quillet::subfieldCode(s)), text.Text(s.value()));
  }
  return out;
}

// Subfields given by Python: (code, value) pairs (Subfield or any pair), or
// the flat list [code, value, code, value, ...] of older scripts. A code ""
// first stands for the prefix, as `subfields` shows it. Checked whole, by
// the library's rules, before anything changes.
struct GivenSubfields {
  std::string prefix;
  std::vector<std::pair<char, std::string>> subfields;
};

// `given` as a fast sequence (a list or tuple as it is): a new reference.
py::object FastSequence(PyObject* given, const char* message) {
  if (PyUnicode_Check(given) || PyBytes_Check(given) || !PySequence_Check(given)) {
    throw py::type_error(message);
  }
  PyObject* fast = PySequence_Fast(given, message);
  if (fast == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(fast);
}

// Whether subfields given as `given` hold bytes: their first value is.
bool BytesGiven(PyObject* given) {
  if (!PyList_Check(given) && !PyTuple_Check(given)) return false;
  py::object fast = FastSequence(given, "subfields are a list of Subfield(code, value)");
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
  if (n == 0) return false;
  PyObject* first = PySequence_Fast_GET_ITEM(fast.ptr(), 0);
  if (PyTuple_Check(first) && PyTuple_GET_SIZE(first) == 2) {
    return PyBytes_Check(PyTuple_GET_ITEM(first, 1));
  }
  return n > 1 && PyBytes_Check(PySequence_Fast_GET_ITEM(fast.ptr(), 1));
}

GivenSubfields TakeSubfields(PyObject* given, bool raw) {
  GivenSubfields out;
  py::object fast = FastSequence(given, "subfields are a list of Subfield(code, value)");
  PyObject** items = PySequence_Fast_ITEMS(fast.ptr());
  const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.ptr()));
  const bool flat = n > 0 && (PyUnicode_Check(items[0]) || PyBytes_Check(items[0]));
  if (flat && n % 2 != 0) {
    throw py::value_error("a flat list of subfields has a value for each code");
  }
  // Checked in a field of the scratch record, made by the caller.
  quillet::MarcRecord& check = Checker(false);
  if (check.fieldCount() == 0) check.addDataField("245", ' ', ' ');
  out.subfields.reserve(flat ? n / 2 : n);
  for (std::size_t i = 0; i < n; i += flat ? 2 : 1) {
    PyObject* code_obj = nullptr;
    PyObject* value_obj = nullptr;
    if (flat) {
      code_obj = items[i];
      value_obj = items[i + 1];
    } else {
      PyObject* item = items[i];
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        throw py::type_error("a subfield is a Subfield(code, value), not " +
                             std::string(Py_TYPE(item)->tp_name));
      }
      code_obj = PyTuple_GET_ITEM(item, 0);
      value_obj = PyTuple_GET_ITEM(item, 1);
    }
    const std::string code = ByteText(code_obj, "a subfield code");
    const std::string_view value = ValueText(value_obj, raw, "a subfield value");
    if (code.empty() && i == 0) {
      check.setPrefix(0, value);
      out.prefix.assign(value);
      continue;
    }
    if (code.size() != 1) {
      throw py::value_error("a subfield code is one ASCII character, not \"" + code + "\"");
    }
    check.addSubfield(0, code[0], value);
    out.subfields.emplace_back(code[0], std::string(value));
  }
  return out;
}

// Two indicators given by Python: a pair (Indicators, tuple, list) or a
// str of two characters.
std::pair<char, char> TakeIndicators(PyObject* given, bool check = true) {
  std::string first, second;
  if (PyUnicode_Check(given) || PyBytes_Check(given)) {
    const std::string both = ByteText(given, "indicators");
    if (both.size() != 2) throw py::value_error("indicators are two characters");
    first = both.substr(0, 1);
    second = both.substr(1, 1);
  } else {
    py::object fast = FastSequence(given, "indicators are a pair: Indicators(first, second)");
    if (PySequence_Fast_GET_SIZE(fast.ptr()) != 2) {
      throw py::type_error("indicators are a pair: Indicators(first, second)");
    }
    first = ByteText(PySequence_Fast_GET_ITEM(fast.ptr(), 0), "an indicator");
    second = ByteText(PySequence_Fast_GET_ITEM(fast.ptr(), 1), "an indicator");
  }
  for (const std::string* i : {&first, &second}) {
    if (i->size() != 1)
      throw py::value_error("an indicator is one ASCII character, not \"" + *i + "\"");
  }
  if (check) Checker().addDataField("245", first[0], second[0]);
  return {first[0], second[0]};
}

// The tag given by Python, checked for a field of the kind `control` says
// (or, when `any_kind`, for either kind; `control` is then set).
std::string TakeTag(PyObject* given, bool* control, bool any_kind) {
  const std::string tag = ByteText(given, "a tag");
  if (any_kind) {
    *control = tag.size() == 3 && tag[0] == '0' && tag[1] == '0';
    if (!*control) return tag;  // checked by the caller, with the rest of the field
  }
  quillet::MarcRecord& check = Checker();
  if (*control) {
    check.addControlField(tag, "");
  } else {
    check.addDataField(tag, ' ', ' ');
  }
  return tag;
}

py::object MnemonicLine(const FieldObject& f) {
  if (f.owned == nullptr) {
    FieldText text(*f.data);
    const std::string_view line = Written(
        [&](quillet::OutputBuffer& b) { quillet::writeMnemonicField(ViewOf(f), text.text(), b); });
    return Str(line);
  }
  // An owned field is written as a record of one field would be.
  quillet::MarcRecord& m = Checker();
  AppendField(f, f.owned->raw, m);
  const std::string bytes = m.toIso2709();
  const quillet::RecordView view = quillet::RecordView::parse(bytes.data(), bytes.size());
  quillet::RecordText text(
      quillet::TextOptions{f.owned->raw ? quillet::Charset::kRaw : quillet::Charset::kUtf8, false});
  text.start(view);
  const std::string_view line = Written(
      [&](quillet::OutputBuffer& b) { quillet::writeMnemonicField(view.fields()[0], text, b); });
  return Str(line);
}

// --- slots ------------------------------------------------------------------

PyObject* FieldNew(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"tag", "indicators", "subfields", "data", nullptr};
  PyObject* tag = nullptr;
  PyObject* indicators = Py_None;
  PyObject* subfields = Py_None;
  PyObject* data = Py_None;
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && given >= 1 && given <= 4) {
    // Positional only, as most scripts call it: taken without the keyword
    // parser, which costs a fifth of making the field.
    PyObject** slots[] = {&tag, &indicators, &subfields, &data};
    for (Py_ssize_t i = 0; i < given; ++i) *slots[i] = PyTuple_GET_ITEM(args, i);
  } else if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:Field", const_cast<char**>(keywords),
                                          &tag, &indicators, &subfields, &data)) {
    return nullptr;
  }
  return Guard([&]() -> PyObject* {
    std::unique_ptr<OwnedField> o(new OwnedField);
    o->tag = TakeTag(tag, &o->control, true);
    if (o->control) {
      if (subfields != Py_None || indicators != Py_None) {
        throw py::value_error("field " + o->tag +
                              " is a control field: it has data, not indicators or subfields");
      }
      if (data != Py_None) {
        o->raw = PyBytes_Check(data);
        o->data.assign(ValueText(data, o->raw, "control field data"));
        Checker().addControlField(o->tag, o->data);
      }
    } else {
      if (data != Py_None) {
        throw py::value_error("field " + o->tag +
                              " is a data field: it has indicators and subfields, not data");
      }
      if (indicators != Py_None) std::tie(o->ind1, o->ind2) = TakeIndicators(indicators, false);
      Checker().addDataField(o->tag, o->ind1, o->ind2);
      if (subfields != Py_None) {
        // Raw when the first value is bytes; every value must then be.
        o->raw = BytesGiven(subfields);
        GivenSubfields given = TakeSubfields(subfields, o->raw);
        o->prefix = std::move(given.prefix);
        o->subfields = std::move(given.subfields);
      }
    }
    FieldObject* f = PyObject_New(FieldObject, field_type);
    if (f == nullptr) throw py::error_already_set();
    new (&f->data) std::shared_ptr<const RecordData>();
    f->index = 0;
    f->owned = o.release();
    return reinterpret_cast<PyObject*>(f);
  });
}

void FieldDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  FieldObject& f = Of(self);
  f.data.~shared_ptr();
  delete f.owned;
  PyObject_Free(self);
  Py_DECREF(type);
}

PyObject* FieldSubscript(PyObject* self, PyObject* key) {
  return Guard([&]() -> PyObject* {
    char code = 0;
    py::object v;
    if (LookupCode(key, &code)) v = FirstValue(Of(self), code);
    if (!v) {
      PyErr_SetObject(PyExc_KeyError, key);
      return nullptr;
    }
    return v.release().ptr();
  });
}

// field[code] = value: the one subfield coded `code`; KeyError when there
// is none or more than one, as which to change would be a guess.
int FieldAssSubscript(PyObject* self, PyObject* key, PyObject* value) {
  return Guard([&]() -> int {
    FieldObject& f = Of(self);
    if (value == nullptr) throw py::type_error("use delete_subfield(code) to remove a subfield");
    RequireData(f, "field[code] = value");
    const char code = CodeOf(key);
    const std::string_view text = ValueText(value, Raw(f), "a subfield value");
    std::size_t found = 0, at = 0;
    if (f.owned != nullptr) {
      for (std::size_t i = 0; i < f.owned->subfields.size(); ++i) {
        if (f.owned->subfields[i].first == code) found++, at = i;
      }
    } else {
      std::size_t i = 0;
      for (const SubfieldView& s : ViewOf(f).subfields()) {
        if (!quillet::subfieldCode(s).empty() && s.code() == code) found++, at = i;
        ++i;
      }
    }
    if (found == 0) {
      PyErr_SetObject(PyExc_KeyError, key);
      return -1;
    }
    if (found > 1) {
      PyErr_Format(PyExc_KeyError, "field %s has more than one $%c: set `subfields` instead",
                   std::string(FieldTag(f)).c_str(), code);
      return -1;
    }
    quillet::MarcRecord& check = Checker();
    check.addDataField("245", ' ', ' ');
    check.addSubfield(0, code, text);
    std::string copy(text);
    Own(f).subfields[at].second = std::move(copy);
    return 0;
  });
}

int FieldContains(PyObject* self, PyObject* key) {
  return Guard([&]() -> int {
    char code = 0;
    return LookupCode(key, &code) && FirstValue(Of(self), code) ? 1 : 0;
  });
}

PyObject* FieldStr(PyObject* self) {
  return Guard([&]() -> PyObject* { return MnemonicLine(Of(self)).release().ptr(); });
}

PyObject* FieldRepr(PyObject* self) {
  return Guard([&]() -> PyObject* {
    return py::str("<quillet.Field {}>").format(MnemonicLine(Of(self))).release().ptr();
  });
}

PyObject* FieldIter(PyObject* self) {
  return Guard([&]() -> PyObject* { return PyObject_GetIter(Subfields(Of(self)).ptr()); });
}

PyObject* FieldRichCompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || !IsField(a) || !IsField(b)) Py_RETURN_NOTIMPLEMENTED;
  return Guard([&]() -> PyObject* {
    const bool equal = FieldsEqual(Of(a), Of(b));
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
  });
}

// --- methods ----------------------------------------------------------------

PyObject* FieldGet(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    if (n < 1 || n > 2) throw py::type_error("get() takes a subfield code and an optional default");
    char code = 0;
    py::object v;
    if (LookupCode(args[0], &code)) v = FirstValue(Of(self), code);
    if (v) return v.release().ptr();
    PyObject* fallback = n == 2 ? args[1] : Py_None;
    Py_INCREF(fallback);
    return fallback;
  });
}

PyObject* FieldGetSubfields(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  return Guard([&]() -> PyObject* {
    std::string codes;
    for (Py_ssize_t i = 0; i < n; ++i) {
      char code = 0;
      if (LookupCode(args[i], &code)) codes += code;
    }
    if (codes.empty()) return PyList_New(0);
    return Values(Of(self), codes, false).release().ptr();
  });
}

PyObject* FieldIsControl(PyObject* self, PyObject*) {
  return PyBool_FromLong(Control(Of(self)) ? 1 : 0);
}

// A control field's text, or the values joined by blanks: the text a
// cataloguer reads.
PyObject* FieldValue(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = Of(self);
    if (Control(f)) return FieldDataObject(f).release().ptr();
    py::list values = Values(f, "", true);
    py::object blank = Raw(f) ? py::object(py::bytes(" ")) : py::object(py::str(" "));
    return blank.attr("join")(values).release().ptr();
  });
}

PyObject* FieldAddSubfield(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"code", "value", "pos", nullptr};
  PyObject *code_obj = nullptr, *value = nullptr, *pos = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:add_subfield", const_cast<char**>(keywords),
                                   &code_obj, &value, &pos)) {
    return nullptr;
  }
  return Guard([&]() -> PyObject* {
    FieldObject& f = Of(self);
    RequireData(f, "add_subfield()");
    const char code = CodeOf(code_obj);
    const std::string_view text = ValueText(value, Raw(f), "a subfield value");
    Py_ssize_t at = -1;
    if (pos != Py_None) {
      at = PyLong_AsSsize_t(pos);
      if (at == -1 && PyErr_Occurred()) throw py::error_already_set();
    }
    quillet::MarcRecord& check = Checker();
    check.addDataField("245", ' ', ' ');
    check.addSubfield(0, code, text);
    std::string copy(text);
    OwnedField& o = Own(f);
    const Py_ssize_t size = static_cast<Py_ssize_t>(o.subfields.size());
    // As list.insert(): None or past the end appends, a negative position
    // counts from the end.
    if (pos == Py_None || at > size) at = size;
    if (at < 0) at = std::max<Py_ssize_t>(0, at + size);
    o.subfields.insert(o.subfields.begin() + at, {code, std::move(copy)});
    Py_RETURN_NONE;
  });
}

PyObject* FieldDeleteSubfield(PyObject* self, PyObject* code_obj) {
  return Guard([&]() -> PyObject* {
    FieldObject& f = Of(self);
    RequireData(f, "delete_subfield()");
    const char code = CodeOf(code_obj);
    if (!FirstValue(f, code)) Py_RETURN_NONE;
    OwnedField& o = Own(f);
    for (auto it = o.subfields.begin(); it != o.subfields.end(); ++it) {
      if (it->first == code) {
        py::object value = TextObject(it->second, o.raw);
        o.subfields.erase(it);
        return value.release().ptr();
      }
    }
    Py_RETURN_NONE;
  });
}

PyObject* FieldSubfieldsAsDict(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    py::dict out;
    for (py::handle pair : Subfields(Of(self))) {
      py::object code = pair[py::int_(0)];
      if (py::len(code) == 0) continue;  // the prefix, or a delimiter with no code
      if (!out.contains(code)) out[code] = py::list();
      py::list(out[code]).append(pair[py::int_(1)]);
    }
    return out.release().ptr();
  });
}

// The occurrence number of $6 (linkage): "880-01/$1" gives "01".
PyObject* FieldLinkage(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = Of(self);
    py::object six = FirstValue(f, '6');
    if (!six) Py_RETURN_NONE;
    const bool raw = Raw(f);
    std::string text = raw ? six.cast<std::string>() : std::string(py::str(six));
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) Py_RETURN_NONE;
    std::size_t end = text.find('/', dash + 1);
    if (end == std::string::npos) end = text.size();
    return TextObject(std::string_view(text).substr(dash + 1, end - dash - 1), raw).release().ptr();
  });
}

PyObject* FieldCopy(PyObject* self, PyObject*) { return CopyField(Of(self)); }

PyObject* FieldDeepCopy(PyObject* self, PyObject*) { return CopyField(Of(self)); }

// Fields pickle as their content: (tag, raw, data, ind1, ind2, prefix,
// [(code, value), ...]) in bytes.
PyObject* FieldReduce(PyObject* self, PyObject*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = Of(self);
    OwnedField content;
    const OwnedField* o = f.owned;
    if (o == nullptr) {
      FillOwned(*f.data, ViewOf(f), content);
      o = &content;
    }
    py::list subfields;
    for (const auto& s : o->subfields) {
      subfields.append(py::make_tuple(Bytes(CodeBytes(s.first)), Bytes(s.second)));
    }
    py::tuple state =
        py::make_tuple(Bytes(o->tag), o->raw, Bytes(o->data), Bytes(std::string_view(&o->ind1, 1)),
                       Bytes(std::string_view(&o->ind2, 1)), Bytes(o->prefix), subfields);
    return py::make_tuple(py::reinterpret_borrow<py::object>(field_from_state),
                          py::make_tuple(state))
        .release()
        .ptr();
  });
}

PyObject* FieldFromState(PyObject*, PyObject* state) {
  return Guard([&]() -> PyObject* {
    py::tuple t = py::reinterpret_borrow<py::tuple>(state);
    if (!PyTuple_Check(state) || t.size() != 7) {
      throw py::type_error("not the state of a quillet.Field");
    }
    std::unique_ptr<OwnedField> o(new OwnedField);
    o->tag = t[0].cast<std::string>();
    o->control = o->tag.size() == 3 && o->tag[0] == '0' && o->tag[1] == '0';
    o->raw = t[1].cast<bool>();
    o->data = t[2].cast<std::string>();
    o->ind1 = t[3].cast<std::string>().c_str()[0];
    o->ind2 = t[4].cast<std::string>().c_str()[0];
    o->prefix = t[5].cast<std::string>();
    for (py::handle h : t[6].cast<py::list>()) {
      const std::string code = h[py::int_(0)].cast<std::string>();
      o->subfields.emplace_back(code.empty() ? '\0' : code[0], h[py::int_(1)].cast<std::string>());
    }
    FieldObject* f = PyObject_New(FieldObject, field_type);
    if (f == nullptr) throw py::error_already_set();
    new (&f->data) std::shared_ptr<const RecordData>();
    f->index = 0;
    f->owned = o.release();
    return reinterpret_cast<PyObject*>(f);
  });
}

// --- attributes -------------------------------------------------------------

PyObject* GetTag(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = Of(self);
    return PlainObject(FieldTag(f), Raw(f)).release().ptr();
  });
}

int SetTag(PyObject* self, PyObject* value, void*) {
  return Guard([&]() -> int {
    if (value == nullptr) throw py::type_error("a field's tag cannot be deleted");
    FieldObject& f = Of(self);
    bool control = Control(f);
    std::string tag = TakeTag(value, &control, false);
    Own(f).tag = std::move(tag);
    return 0;
  });
}

PyObject* GetData(PyObject* self, void*) {
  return Guard([&]() -> PyObject* { return FieldDataObject(Of(self)).release().ptr(); });
}

int SetData(PyObject* self, PyObject* value, void*) {
  return Guard([&]() -> int {
    FieldObject& f = Of(self);
    if (value == nullptr) throw py::type_error("a control field's data cannot be deleted");
    if (!Control(f)) {
      throw py::value_error("field " + std::string(FieldTag(f)) +
                            " is a data field: it has subfields, not data");
    }
    const std::string_view text = ValueText(value, Raw(f), "control field data");
    Checker().addControlField("001", text);
    std::string copy(text);
    Own(f).data = std::move(copy);
    return 0;
  });
}

char Indicator(const FieldObject& f, int which) {
  if (f.owned != nullptr)
    return f.owned->control ? ' ' : which == 0 ? f.owned->ind1 : f.owned->ind2;
  return which == 0 ? ViewOf(f).indicator1() : ViewOf(f).indicator2();
}

py::object IndicatorObject(const FieldObject& f, int which) {
  if (f.owned == nullptr) {
    // As read: a blank for one the field lacks.
    return PlainObject(quillet::fieldIndicator(ViewOf(f), static_cast<std::size_t>(which)), Raw(f));
  }
  const char c = Indicator(f, which);
  return PlainObject(std::string_view(&c, 1), Raw(f));
}

PyObject* GetIndicators(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = Of(self);
    PyObject* pair = NewNamedPair(&indicators_pair_type, IndicatorObject(f, 0).release().ptr(),
                                  IndicatorObject(f, 1).release().ptr());
    if (pair == nullptr) throw py::error_already_set();
    return pair;
  });
}

int SetIndicators(PyObject* self, PyObject* value, void*) {
  return Guard([&]() -> int {
    FieldObject& f = Of(self);
    if (value == nullptr) throw py::type_error("indicators cannot be deleted");
    RequireData(f, "indicators");
    const std::pair<char, char> both = TakeIndicators(value);
    OwnedField& o = Own(f);
    o.ind1 = both.first;
    o.ind2 = both.second;
    return 0;
  });
}

char kSecond;  // the closure that tells the indicator accessors the second

PyObject* GetIndicator(PyObject* self, void* which) {
  return Guard([&]() -> PyObject* {
    return IndicatorObject(Of(self), which == nullptr ? 0 : 1).release().ptr();
  });
}

int SetIndicator(PyObject* self, PyObject* value, void* which) {
  return Guard([&]() -> int {
    FieldObject& f = Of(self);
    if (value == nullptr) throw py::type_error("an indicator cannot be deleted");
    RequireData(f, "indicator1 and indicator2");
    const std::string given = ByteText(value, "an indicator");
    if (given.size() != 1) throw py::value_error("an indicator is one ASCII character");
    Checker().addDataField("245", given[0], given[0]);
    OwnedField& o = Own(f);
    (which == nullptr ? o.ind1 : o.ind2) = given[0];
    return 0;
  });
}

PyObject* GetSubfields(PyObject* self, void*) {
  return Guard([&]() -> PyObject* { return Subfields(Of(self)).release().ptr(); });
}

int SetSubfields(PyObject* self, PyObject* value, void*) {
  return Guard([&]() -> int {
    FieldObject& f = Of(self);
    if (value == nullptr) throw py::type_error("subfields cannot be deleted; set []");
    RequireData(f, "subfields");
    Checker();
    GivenSubfields given = TakeSubfields(value, Raw(f));
    OwnedField& o = Own(f);
    o.prefix = std::move(given.prefix);
    o.subfields = std::move(given.subfields);
    return 0;
  });
}

PyObject* GetPrefix(PyObject* self, void*) {
  return Guard([&]() -> PyObject* {
    const FieldObject& f = Of(self);
    if (Control(f)) Py_RETURN_NONE;
    if (f.owned != nullptr) return TextObject(f.owned->prefix, f.owned->raw).release().ptr();
    return FieldText(*f.data).Text(quillet::fieldPrefix(ViewOf(f))).release().ptr();
  });
}

PyMethodDef field_methods[] = {
    {"_from_state", &FieldFromState, METH_O | METH_CLASS, "Unpickles a field."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FieldGet)), METH_FASTCALL,
     "get(code, default=None)\n--\n\nThe first value of subfield `code`, or `default`."},
    {"get_subfields",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FieldGetSubfields)), METH_FASTCALL,
     "get_subfields(*codes)\n--\n\nThe values of the subfields with any of the codes, in field "
     "order."},
    {"is_control_field", &FieldIsControl, METH_NOARGS, "True for a control field (tag 00X)."},
    {"value", &FieldValue, METH_NOARGS,
     "The text of a control field, or the subfield values joined by blanks."},
    {"format_field", &FieldValue, METH_NOARGS,
     "The text a cataloguer reads: a control field's data, or the subfield values joined by "
     "blanks."},
    {"add_subfield", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&FieldAddSubfield)),
     METH_VARARGS | METH_KEYWORDS,
     "add_subfield(code, value, pos=None)\n--\n\nAdds a subfield before position `pos`, as "
     "list.insert() places it (at the end when None)."},
    {"delete_subfield", &FieldDeleteSubfield, METH_O,
     "delete_subfield(code)\n--\n\nRemoves the first subfield coded `code` and returns its value; "
     "None when there is none."},
    {"subfields_as_dict", &FieldSubfieldsAsDict, METH_NOARGS,
     "The values of each code, in field order: {'a': [...], 'b': [...]}."},
    {"linkage_occurrence_num", &FieldLinkage, METH_NOARGS,
     "The occurrence number of the linkage subfield $6 ('880-01/$1' gives '01'), or None."},
    {"__copy__", &FieldCopy, METH_NOARGS, "A field of the same content."},
    {"__deepcopy__", &FieldDeepCopy, METH_O, "A field of the same content."},
    {"__reduce__", &FieldReduce, METH_NOARGS, "Fields pickle as their content."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef field_getset[] = {
    {"tag", &GetTag, &SetTag,
     "The three-character tag; settable to a tag of the same kind (control or data).", nullptr},
    {"data", &GetData, &SetData, "A control field's text (settable); None for a data field.",
     nullptr},
    {"indicators", &GetIndicators, &SetIndicators,
     "Indicators(first, second): a blank for one the field lacks, blanks for a control field. "
     "Settable to a pair.",
     nullptr},
    {"indicator1", &GetIndicator, &SetIndicator, "The first indicator (settable).", nullptr},
    {"indicator2", &GetIndicator, &SetIndicator, "The second indicator (settable).", &kSecond},
    {"subfields", &GetSubfields, &SetSubfields,
     "A list of Subfield(code, value) in field order (a copy; settable to a list); bytes before "
     "the first delimiter come first with the code \"\".",
     nullptr},
    {"prefix", &GetPrefix, nullptr,
     "A data field's bytes between its indicators and its first delimiter, as text: empty in a "
     "well-formed field, the first of `subfields` (code \"\") otherwise. None for a control field.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyObject* NewViewField(const std::shared_ptr<const RecordData>& data, std::size_t index) {
  FieldObject* f = PyObject_New(FieldObject, field_type);
  if (f == nullptr) return nullptr;
  new (&f->data) std::shared_ptr<const RecordData>(data);
  f->index = static_cast<std::uint32_t>(index);
  f->owned = nullptr;
  return reinterpret_cast<PyObject*>(f);
}

bool IsField(PyObject* o) { return Py_TYPE(o) == field_type; }

FieldObject& AsField(PyObject* o, const char* where) {
  if (!IsField(o)) {
    throw py::type_error(std::string(where) + " takes quillet.Field objects, not " +
                         Py_TYPE(o)->tp_name);
  }
  return Of(o);
}

std::string_view FieldTag(const FieldObject& f) {
  return f.owned != nullptr ? std::string_view(f.owned->tag) : ViewOf(f).tag();
}

py::object FieldDataObject(const FieldObject& f) {
  if (f.owned != nullptr) {
    if (!f.owned->control) return py::none();
    return TextObject(f.owned->data, f.owned->raw);
  }
  const FieldView& v = ViewOf(f);
  if (!v.isControl()) return py::none();
  return FieldText(*f.data).Text(v.data());
}

bool CopiesAsRead(const RecordData& d, bool raw) {
  // A digit other than 2 in leader/10 or /11 says fields of another shape,
  // which MarcRecord takes apart differently.
  const std::string_view leader = d.view.leader();
  for (std::size_t pos : {std::size_t{10}, std::size_t{11}}) {
    if (leader.size() > pos && leader[pos] >= '0' && leader[pos] <= '9' && leader[pos] != '2') {
      return false;
    }
  }
  return !d.text.toUtf8() || TextIsBytes(d) || raw;
}

namespace {

// Appends field `v` with its values as `text` decodes them; nothing is
// added when the library refuses a value.
void AppendDecoded(const FieldView& v, quillet::RecordText& text, quillet::MarcRecord& m) {
  text.startField();
  if (v.isControl()) {
    m.addControlField(v.tag(), text.text(v.data()));
    return;
  }
  const std::size_t at = m.addDataField(v.tag(), v.indicator1(), v.indicator2());
  try {
    const std::string_view prefix = text.text(quillet::fieldPrefix(v));
    if (!prefix.empty()) m.setPrefix(at, prefix);
    for (const SubfieldView& s : v.subfields()) {
      const std::string_view code = quillet::subfieldCode(s);
      m.addSubfield(at, code.empty() ? '\0' : code[0], text.text(s.value()));
    }
  } catch (...) {
    m.removeField(at);
    throw;
  }
}

}  // namespace

void AppendViewField(const RecordData& d, std::size_t index, bool raw, quillet::MarcRecord& m,
                     quillet::RecordText* text) {
  const FieldView& v = d.view.fields()[index];
  if (CopiesAsRead(d, raw)) {
    m.addField(v);
    return;
  }
  std::unique_ptr<quillet::RecordText> own;
  if (text == nullptr) {
    own.reset(new quillet::RecordText(d.text));
    own->start(d.view, d.guess);
    text = own.get();
  }
  try {
    AppendDecoded(v, *text, m);
  } catch (const std::invalid_argument&) {
    // Decoded text holding a separator byte (a damaged field, or subfields
    // in a control field) would not read back as it stands: the bytes as
    // read are kept instead, as MarcRecord keeps them.
    m.addField(v);
  }
}

void AppendField(const FieldObject& f, bool raw, quillet::MarcRecord& m) {
  if (f.owned == nullptr) {
    AppendViewField(*f.data, f.index, raw, m, nullptr);
  } else {
    AppendOwned(*f.owned, m);
  }
}

void AppendOwned(const OwnedField& o, quillet::MarcRecord& m) { InsertOwned(o, m.fieldCount(), m); }

void InsertOwned(const OwnedField& o, std::size_t at, quillet::MarcRecord& m) {
  if (o.control) {
    m.insertControlField(at, o.tag, o.data);
    return;
  }
  m.insertDataField(at, o.tag, o.ind1, o.ind2);
  try {
    if (!o.prefix.empty()) m.setPrefix(at, o.prefix);
    for (const auto& s : o.subfields) m.addSubfield(at, s.first, s.second);
  } catch (...) {
    m.removeField(at);
    throw;
  }
}

bool FieldsEqual(const FieldObject& a, const FieldObject& b) {
  if (&a == &b) return true;
  if (a.owned == nullptr && b.owned == nullptr && a.data == b.data && a.index == b.index) {
    return true;
  }
  OwnedField ca, cb;
  const OwnedField* x = a.owned;
  const OwnedField* y = b.owned;
  if (x == nullptr) {
    FillOwned(*a.data, ViewOf(a), ca);
    x = &ca;
  }
  if (y == nullptr) {
    FillOwned(*b.data, ViewOf(b), cb);
    y = &cb;
  }
  return x->tag == y->tag && x->control == y->control && x->raw == y->raw && x->data == y->data &&
         (x->control || (x->ind1 == y->ind1 && x->ind2 == y->ind2)) && x->prefix == y->prefix &&
         x->subfields == y->subfields;
}

PyObject* CopyField(const FieldObject& f) {
  if (f.owned == nullptr) return NewViewField(f.data, f.index);
  FieldObject* c = PyObject_New(FieldObject, field_type);
  if (c == nullptr) return nullptr;
  new (&c->data) std::shared_ptr<const RecordData>();
  c->index = 0;
  c->owned = new OwnedField(*f.owned);
  return reinterpret_cast<PyObject*>(c);
}

quillet::MarcRecord& Checker(bool clear) {
  static quillet::MarcRecord* check = new quillet::MarcRecord;  // used under the GIL only
  if (clear) check->clear();
  return *check;
}

void BindField(py::module_& m) {
  if (!ReadyNamedPairs()) throw py::error_already_set();
  m.add_object("Subfield", reinterpret_cast<PyObject*>(&subfield_pair_type));
  m.add_object("Indicators", reinterpret_cast<PyObject*>(&indicators_pair_type));

  static PyType_Slot slots[] = {
      {Py_tp_doc,
       const_cast<char*>(
           "Field(tag, indicators=(' ', ' '), subfields=[], data=None)\n--\n\n"
           "One field. Control fields (00X) have `data`; data fields have `indicators` and "
           "`subfields` (Subfield(code, value) pairs). A field of a record read from bytes is a "
           "view of them until it is first changed; the record holds the same object, so a "
           "change to it is a change to the record. Values are str, or bytes for a record read "
           "raw.")},
      {Py_tp_new, reinterpret_cast<void*>(&FieldNew)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&FieldDealloc)},
      {Py_tp_methods, field_methods},
      {Py_tp_getset, field_getset},
      {Py_tp_str, reinterpret_cast<void*>(&FieldStr)},
      {Py_tp_repr, reinterpret_cast<void*>(&FieldRepr)},
      {Py_tp_iter, reinterpret_cast<void*>(&FieldIter)},
      {Py_tp_richcompare, reinterpret_cast<void*>(&FieldRichCompare)},
      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
      {Py_mp_subscript, reinterpret_cast<void*>(&FieldSubscript)},
      {Py_mp_ass_subscript, reinterpret_cast<void*>(&FieldAssSubscript)},
      {Py_sq_contains, reinterpret_cast<void*>(&FieldContains)},
      {0, nullptr}};
  static PyType_Spec layout = {"quillet._quillet.Field", sizeof(FieldObject), 0, Py_TPFLAGS_DEFAULT,
                               slots};
  PyObject* type = PyType_FromSpec(&layout);
  if (type == nullptr) throw py::error_already_set();
  field_type = reinterpret_cast<PyTypeObject*>(type);
  m.add_object("Field", type);
  field_from_state = PyObject_GetAttrString(type, "_from_state");
  if (field_from_state == nullptr) throw py::error_already_set();
}

}  // namespace quillet_python
