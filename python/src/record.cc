#include "record.h"

#include <pybind11/stl.h>

#include <cstring>
#include <utility>

namespace quillet_python {

namespace {

using quillet::FieldView;
using quillet::Problem;
using quillet::SubfieldView;
using quillet::TextProblem;

py::object Str(std::string_view utf8) {
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::bytes Bytes(std::string_view b) { return py::bytes(b.data(), b.size()); }

// A tuple of two new references.
py::object Pair(py::object a, py::object b) {
  PyObject* t = PyTuple_New(2);
  if (t == nullptr) throw py::error_already_set();
  PyTuple_SET_ITEM(t, 0, a.release().ptr());
  PyTuple_SET_ITEM(t, 1, b.release().ptr());
  return py::reinterpret_steal<py::object>(t);
}

const char* KindName(Problem::Kind kind) {
  switch (kind) {
    case Problem::Kind::kJunkSkipped: return "junk_skipped";
    case Problem::Kind::kLengthRepaired: return "length_repaired";
    case Problem::Kind::kLongRecord: return "long_record";
    case Problem::Kind::kMissingRecordTerminator: return "missing_record_terminator";
    case Problem::Kind::kTruncated: return "truncated";
    case Problem::Kind::kBadLength: return "bad_length";
    case Problem::Kind::kBadBaseAddress: return "bad_base_address";
    case Problem::Kind::kDirectorySplit: return "directory_split";
    case Problem::Kind::kBadDirectoryEntry: return "bad_directory_entry";
    case Problem::Kind::kFieldOutOfRecord: return "field_out_of_record";
    case Problem::Kind::kMissingFieldTerminator: return "missing_field_terminator";
    case Problem::Kind::kShortDataField: return "short_data_field";
    case Problem::Kind::kNoSubfields: return "no_subfields";
    case Problem::Kind::kSubfieldWithoutCode: return "subfield_without_code";
    case Problem::Kind::kTerminatorInField: return "terminator_in_field";
    case Problem::Kind::kReadError: return "read_error";
  }
  return "unknown";
}

const char* KindName(TextProblem::Kind kind) {
  switch (kind) {
    case TextProblem::Kind::kUnmapped: return "unmapped";
    case TextProblem::Kind::kUnknownEscape: return "unknown_escape";
    case TextProblem::Kind::kCutShort: return "cut_short";
    case TextProblem::Kind::kInvalidUtf8: return "invalid_utf8";
  }
  return "unknown";
}

// A subfield's code as text: none for a delimiter with no code after it.
std::string_view Code(const SubfieldView& s, const char& storage) {
  return s.code() == '\0' ? std::string_view() : std::string_view(&storage, 1);
}

// The bytes of a data field between its indicators and its first
// delimiter: none in a well-formed field.
std::string_view Prefix(const FieldView& f) {
  const std::string_view rest = f.data().substr(f.indicators().size());
  return rest.substr(0, rest.find('\x1F'));
}

// Indicator i of a data field, a blank when the field is cut short.
std::string_view Indicator(const FieldView& f, std::size_t i) {
  const std::string_view ind = f.indicators();
  return i < ind.size() ? ind.substr(i, 1) : std::string_view(" ");
}

// The leader as the text shows it: position 9 says UTF-8 once decoded.
std::string Leader(const RecordData& d) {
  std::string leader(d.view.leader());
  if (!d.text.raw && leader.size() > 9) leader[9] = 'a';
  return leader;
}

// The line-format escapes of the mnemonic text: bytes below 0x20 and 0x7F as
// {0xHH}, '{' as {lcub}, '$' as {dollar}; with `blanks`, a blank as '\' and
// '\' as {bsol}, as control fields and indicators are written.
void AppendMnemonic(std::string_view text, bool blanks, std::string& out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (blanks && c == ' ') {
      out += '\\';
    } else if (blanks && c == '\\') {
      out += "{bsol}";
    } else if (c == '{') {
      out += "{lcub}";
    } else if (c == '$') {
      out += "{dollar}";
    } else if (c < 0x20 || c == 0x7F) {
      out += "{0x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      out += '}';
    } else {
      out += ch;
    }
  }
}

// One field as a line of mnemonic text, without the line end.
void AppendMnemonicField(const RecordData& d, const FieldView& f, std::string& out) {
  FieldText text(d);
  out += '=';
  AppendMnemonic(f.tag(), false, out);
  out += "  ";
  if (f.isControl()) {
    AppendMnemonic(text.Utf8(f.data()), true, out);
    return;
  }
  AppendMnemonic(f.indicators(), true, out);
  AppendMnemonic(text.Utf8(Prefix(f)), false, out);
  for (const SubfieldView& s : f.subfields()) {
    out += '$';
    const char code = s.code();
    AppendMnemonic(Code(s, code), false, out);
    AppendMnemonic(text.Utf8(s.value()), false, out);
  }
}

// The mnemonic text as str: its values are UTF-8 once decoded, but a
// damaged leader or tag, or a record read raw, may hold other bytes, which
// become U+FFFD as in every other text of the library.
py::object MnemonicStr(const std::string& text) {
  if (quillet::isUtf8(text)) return Str(text);
  std::string utf8;
  quillet::appendUtf8(text, utf8);
  return Str(utf8);
}

std::string MnemonicRecord(const RecordData& d) {
  std::string out = "=LDR  ";
  AppendMnemonic(Leader(d), false, out);
  for (const FieldView& f : d.view.fields()) {
    out += '\n';
    AppendMnemonicField(d, f, out);
  }
  return out;
}

// All problems of the record: the reader's repairs, then (unless raw) what
// decoding its text found, in the order of their offsets.
std::vector<PyProblem> Problems(const RecordData& d) {
  std::vector<PyProblem> out;
  for (const Problem& p : d.view.problems()) {
    out.push_back(MakeProblem(p));
  }
  if (d.text.raw) return out;
  if (d.guess.leader_disagrees) {
    const char* message = d.guess.encoding == quillet::Encoding::kUtf8
                              ? "leader/09 says MARC-8, but the data is UTF-8; read as UTF-8"
                              : "leader/09 says UTF-8, but the data is MARC-8; read as MARC-8";
    out.push_back({"leader_disagrees", d.offset + 9, message, message});
  }
  std::vector<TextProblem> text_problems;
  FieldText text(d, &text_problems);
  for (const FieldView& f : d.view.fields()) {
    text.StartField();
    if (f.isControl()) {
      text.Utf8(f.data());
      continue;
    }
    text.Utf8(Prefix(f));
    for (const SubfieldView& s : f.subfields()) text.Utf8(s.value());
  }
  for (const TextProblem& p : text_problems) {
    out.push_back({KindName(p.kind), p.offset, p.message(), p.describe()});
  }
  return out;
}

py::object FieldData(const Field& f) {
  const FieldView& v = f.view();
  if (!v.isControl()) return py::none();
  return FieldText(*f.data).Text(v.data());
}

py::list Subfields(const Field& f) {
  const FieldView& v = f.view();
  py::list out;
  if (v.isControl()) return out;
  FieldText text(*f.data);
  const std::string_view prefix = Prefix(v);
  if (!prefix.empty()) out.append(Pair(text.Plain(""), text.Text(prefix)));
  for (const SubfieldView& s : v.subfields()) {
    const char code = s.code();
    out.append(Pair(text.Plain(Code(s, code)), text.Text(s.value())));
  }
  return out;
}

// The values of the subfields whose code is one of `codes` (all when
// empty), in field order; at most `limit` of them.
py::list SubfieldValues(const Field& f, const std::vector<std::string>& codes, std::size_t limit) {
  const FieldView& v = f.view();
  py::list out;
  if (v.isControl()) return out;
  FieldText text(*f.data);
  const bool stateful = !f.data->text.raw && f.data->guess.encoding == quillet::Encoding::kMarc8;
  if (stateful) text.Utf8(Prefix(v));
  for (const SubfieldView& s : v.subfields()) {
    bool wanted = codes.empty();
    for (const std::string& c : codes) wanted = wanted || (c.size() == 1 && c[0] == s.code() && s.code() != '\0');
    if (wanted) {
      out.append(text.Text(s.value()));
      if (out.size() == limit) break;
    } else if (stateful) {
      text.Utf8(s.value());  // for the designations it may make
    }
  }
  return out;
}

py::object Get(const Field& f, const std::string& code, py::object fallback) {
  py::list found = SubfieldValues(f, {code}, 1);
  return found.empty() ? std::move(fallback) : py::object(found[0]);
}

py::object FindField(const Record& r, const std::string& pattern) {
  const quillet::Span<FieldView> fields = r.data->view.fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].matches(pattern)) return Wrap(Field{r.data, i});
  }
  return py::none();
}

py::list GetFields(const Record& r, py::args patterns) {
  std::vector<std::string> wanted;
  for (py::handle p : patterns) wanted.push_back(p.cast<std::string>());
  py::list out;
  const quillet::Span<FieldView> fields = r.data->view.fields();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    bool match = wanted.empty();
    for (const std::string& p : wanted) match = match || fields[i].matches(p);
    if (match) out.append(Wrap(Field{r.data, i}));
  }
  return out;
}

// MARC-in-JSON: {"leader": ..., "fields": [{"001": ...}, {"245": {"ind1":
// ..., "ind2": ..., "subfields": [{"a": ...}]}}]}; bytes before a data
// field's first delimiter become a subfield with an empty code.
py::dict AsDict(const Record& r) {
  const RecordData& d = *r.data;
  FieldText text(d);
  py::list fields;
  for (const FieldView& f : d.view.fields()) {
    text.StartField();
    py::dict field;
    if (f.isControl()) {
      field[text.Plain(f.tag())] = text.Text(f.data());
      fields.append(field);
      continue;
    }
    py::dict body;
    body["ind1"] = text.Plain(Indicator(f, 0));
    body["ind2"] = text.Plain(Indicator(f, 1));
    py::list subfields;
    const std::string_view prefix = Prefix(f);
    if (!prefix.empty()) {
      py::dict s;
      s[text.Plain("")] = text.Text(prefix);
      subfields.append(s);
    }
    for (const SubfieldView& sv : f.subfields()) {
      py::dict s;
      const char code = sv.code();
      s[text.Plain(Code(sv, code))] = text.Text(sv.value());
      subfields.append(s);
    }
    body["subfields"] = subfields;
    field[text.Plain(f.tag())] = body;
    fields.append(field);
  }
  py::dict out;
  out["leader"] = text.Plain(Leader(d));
  out["fields"] = fields;
  return out;
}

py::tuple GetState(const Record& r) {
  const RecordData& d = *r.data;
  py::list framing;
  for (const Problem& p : d.framing) {
    framing.append(py::make_tuple(static_cast<int>(p.kind), p.offset, p.entry,
                                  Bytes(std::string_view(p.tag, 3)), p.value));
  }
  return py::make_tuple(Bytes(d.bytes), d.offset, framing, d.text.CharsetName(), d.text.raw,
                        d.text.nfc);
}

Record SetState(const py::tuple& state) {
  if (state.size() != 6) throw py::value_error("not the state of a quillet.Record");
  const std::string bytes = state[0].cast<std::string>();
  std::vector<Problem> framing;
  for (py::handle h : state[2].cast<py::list>()) {
    const py::tuple t = h.cast<py::tuple>();
    Problem p;
    p.kind = static_cast<Problem::Kind>(t[0].cast<int>());
    p.offset = t[1].cast<std::uint64_t>();
    p.entry = t[2].cast<std::int32_t>();
    const std::string tag = t[3].cast<std::string>();
    std::memcpy(p.tag, (tag + "   ").data(), 3);
    p.value = t[4].cast<std::uint64_t>();
    framing.push_back(p);
  }
  const TextOptions text =
      TextOptions::Make(state[3].cast<std::string>(), state[4].cast<bool>(), state[5].cast<bool>());
  return Record{std::make_shared<const RecordData>(
      bytes.data(), bytes.size(), state[1].cast<std::uint64_t>(),
      quillet::Span<Problem>(framing.data(), framing.data() + framing.size()), text)};
}

}  // namespace

PyProblem MakeProblem(const quillet::Problem& p) {
  return {KindName(p.kind), p.offset, p.message(), p.describe()};
}

TextOptions TextOptions::Make(const std::string& charset, bool raw, bool nfc) {
  TextOptions t;
  t.raw = raw;
  t.nfc = nfc;
  if (charset == "auto") {
    t.charset = Charset::kAuto;
  } else if (charset == "marc8" || charset == "marc-8") {
    t.charset = Charset::kMarc8;
  } else if (charset == "utf-8" || charset == "utf8") {
    t.charset = Charset::kUtf8;
  } else {
    throw py::value_error("charset must be \"auto\", \"marc8\" or \"utf-8\", not \"" + charset + "\"");
  }
  return t;
}

std::string TextOptions::CharsetName() const {
  switch (charset) {
    case Charset::kAuto: return "auto";
    case Charset::kMarc8: return "marc8";
    case Charset::kUtf8: return "utf-8";
  }
  return "auto";
}

RecordData::RecordData(const char* b, std::size_t size, std::uint64_t off,
                       quillet::Span<Problem> problems, TextOptions t)
    : bytes(b, size), offset(off), framing(problems.begin(), problems.end()), text(t) {
  view = quillet::RecordView::parse(bytes.data(), bytes.size(), offset,
                                    quillet::Span<Problem>(framing.data(), framing.data() + framing.size()));
  if (text.raw) return;
  switch (text.charset) {
    case TextOptions::Charset::kAuto:
      guess = quillet::guessEncoding(view);
      break;
    case TextOptions::Charset::kMarc8:
      guess = {quillet::Encoding::kMarc8, false, false};
      break;
    case TextOptions::Charset::kUtf8:
      guess = {quillet::Encoding::kUtf8, false, false};
      break;
  }
}

std::string_view FieldText::Utf8(std::string_view raw) {
  if (data_.text.raw || raw.empty()) return raw;
  const std::uint64_t at =
      data_.offset + static_cast<std::uint64_t>(raw.data() - data_.bytes.data());
  buffer_.clear();
  if (data_.guess.encoding == quillet::Encoding::kMarc8) {
    marc8_.decode(raw, buffer_, problems_, at);
  } else if (!data_.text.nfc && (data_.guess.well_formed || quillet::isUtf8(raw))) {
    return raw;
  } else {
    quillet::appendUtf8(raw, buffer_, problems_, at);
  }
  if (data_.text.nfc) quillet::composeNfc(buffer_);
  return buffer_;
}

py::object FieldText::Text(std::string_view raw) {
  if (data_.text.raw) return Bytes(raw);
  const std::string_view utf8 = Utf8(raw);
  PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::object FieldText::Plain(std::string_view raw) const {
  if (data_.text.raw) return Bytes(raw);
  if (raw.size() == 1 && static_cast<unsigned char>(raw[0]) < 0x80) {
    return py::reinterpret_steal<py::object>(PyUnicode_FromOrdinal(raw[0]));  // a cached one
  }
  if (quillet::isUtf8(raw)) return Str(raw);
  std::string text;
  quillet::appendUtf8(raw, text);
  return Str(text);
}

void BindRecord(py::module_& m) {
  py::class_<PyProblem>(m, "Problem", R"(Something the reader repaired or could not decode.

``kind`` names it (``"length_repaired"``, ``"invalid_utf8"``, ...), ``offset``
is the byte offset of the damage in the input, ``message`` the fixed English
text of the kind; ``str()`` gives the message with its particulars.)")
      .def_readonly("kind", &PyProblem::kind)
      .def_readonly("offset", &PyProblem::offset)
      .def_readonly("message", &PyProblem::message)
      .def("__str__", [](const PyProblem& p) { return p.description; })
      .def("__repr__", [](const PyProblem& p) {
        return "<quillet.Problem " + p.kind + " at byte " + std::to_string(p.offset) + ">";
      });

  py::class_<Field>(m, "Field", R"(One field of a record, in file order.

Control fields (00X) have ``data``; data fields have ``indicators`` and
``subfields``. Text is decoded when asked for, by the record's charset rules.)")
      .def_property_readonly("tag", [](const Field& f) { return FieldText(*f.data).Plain(f.view().tag()); },
                             "The three-character tag.")
      .def_property_readonly("data", &FieldData,
                             "A control field's text; None for a data field.")
      .def_property_readonly(
          "indicators",
          [](const Field& f) {
            FieldText t(*f.data);
            return py::make_tuple(t.Plain(Indicator(f.view(), 0)), t.Plain(Indicator(f.view(), 1)));
          },
          "The two indicators (a blank for one the field lacks); blanks for a control field.")
      .def_property_readonly("indicator1",
                             [](const Field& f) { return FieldText(*f.data).Plain(Indicator(f.view(), 0)); })
      .def_property_readonly("indicator2",
                             [](const Field& f) { return FieldText(*f.data).Plain(Indicator(f.view(), 1)); })
      .def_property_readonly("subfields", &Subfields,
                             "(code, value) pairs in field order; bytes before the first "
                             "delimiter come first with the code \"\".")
      .def_property_readonly(
          "prefix",
          [](const Field& f) -> py::object {
            if (f.view().isControl()) return py::none();
            return FieldText(*f.data).Text(Prefix(f.view()));
          },
          "A data field's bytes between its indicators and its first delimiter, as text: "
          "empty in a well-formed field, the first of `subfields` (code \"\") otherwise.")
      .def("is_control_field", [](const Field& f) { return f.view().isControl(); })
      .def(
          "get_subfields",
          [](const Field& f, py::args codes) {
            std::vector<std::string> wanted;
            for (py::handle c : codes) wanted.push_back(c.cast<std::string>());
            if (wanted.empty()) return py::list();
            return SubfieldValues(f, wanted, static_cast<std::size_t>(-1));
          },
          "The values of the subfields with any of the codes, in field order.")
      .def("get", &Get, py::arg("code"), py::arg("default") = py::none(),
           "The first value of subfield `code`, or `default`.")
      .def("__getitem__",
           [](const Field& f, const std::string& code) {
             py::object v = Get(f, code, py::none());
             if (v.is_none()) throw py::key_error(code);
             return v;
           })
      .def("__contains__",
           [](const Field& f, const std::string& code) { return !Get(f, code, py::none()).is_none(); })
      .def(
          "value",
          [](const Field& f) -> py::object {
            if (f.view().isControl()) return FieldData(f);
            py::list values = SubfieldValues(f, {}, static_cast<std::size_t>(-1));
            if (f.data->text.raw) return py::bytes(" ").attr("join")(values);
            return py::str(" ").attr("join")(values);
          },
          "The text of a control field, or the subfield values joined by blanks.")
      .def("__str__",
           [](const Field& f) {
             std::string out;
             AppendMnemonicField(*f.data, f.view(), out);
             return MnemonicStr(out);
           })
      .def("__repr__", [](const Field& f) {
        std::string out;
        AppendMnemonicField(*f.data, f.view(), out);
        return py::str("<quillet.Field {}>").format(MnemonicStr(out));
      });

  py::class_<Record>(m, "Record", R"(One record: its bytes, leader, fields and problems.

A record keeps its bytes and decodes a field's text when asked for. Build one
from the bytes of a single record with ``Record(data)``; pickles as its bytes.)")
      .def(py::init([](py::bytes data, const std::string& charset, bool raw, bool nfc) {
             const std::string bytes = data;
             return Record{std::make_shared<const RecordData>(
                 bytes.data(), bytes.size(), 0, quillet::Span<Problem>(nullptr, nullptr),
                 TextOptions::Make(charset, raw, nfc))};
           }),
           py::arg("data"), py::kw_only(), py::arg("charset") = "auto", py::arg("raw") = false,
           py::arg("nfc") = false)
      .def_property_readonly(
          "leader",
          [](const Record& r) { return FieldText(*r.data).Plain(Leader(*r.data)); },
          "The leader; position 9 reads 'a' once the text is decoded to str.")
      .def_property_readonly(
          "control_number",
          [](const Record& r) -> py::object {
            const FieldView* f = r.data->view.field("001");
            if (f == nullptr) return py::none();
            return FieldText(*r.data).Text(r.data->view.controlNumber());
          },
          "The text of the first 001, or None.")
      .def_property_readonly("offset", [](const Record& r) { return r.data->offset; },
                             "The record's byte offset in its input.")
      .def_property_readonly("problems", [](const Record& r) { return Problems(*r.data); },
                             "What the reader repaired and what the text decoding found.")
      .def_property_readonly("fields", [](const Record& r) { return GetFields(r, py::args()); })
      .def("get_fields", &GetFields,
           "The fields whose tag matches any of the patterns (245, 6XX, 6..), in file "
           "order; every field when none is given.")
      .def("get", [](const Record& r, const std::string& tag,
                     py::object fallback) {
             py::object f = FindField(r, tag);
             return f.is_none() ? fallback : f;
           },
           py::arg("tag"), py::arg("default") = py::none(),
           "The first field matching `tag`, or `default`.")
      .def("__getitem__",
           [](const Record& r, const std::string& tag) {
             py::object f = FindField(r, tag);
             if (f.is_none()) throw py::key_error(tag);
             return f;
           })
      .def("__contains__",
           [](const Record& r, const std::string& tag) { return !FindField(r, tag).is_none(); })
      .def("__len__", [](const Record& r) { return r.data->view.fields().size(); })
      .def("__iter__", [](const Record& r) { return py::iter(GetFields(r, py::args())); })
      .def("as_marc", [](const Record& r) { return Bytes(r.data->bytes); },
           "The record's bytes, as they were read.")
      .def("as_dict", &AsDict, "The record as MARC-in-JSON: leader and fields.")
      .def("__str__", [](const Record& r) { return MnemonicStr(MnemonicRecord(*r.data)); },
           "The record as mnemonic text (=LDR, =245 and so on).")
      .def("__repr__",
           [](const Record& r) {
             std::string id(r.data->view.controlNumber());
             return py::str("<quillet.Record {!r}: {} fields>")
                 .format(FieldText(*r.data).Plain(id), r.data->view.fields().size());
           })
      .def(py::pickle(&GetState, &SetState));
}

}  // namespace quillet_python
