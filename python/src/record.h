// The Python Record and Field: a record's bytes, parsed once, with text
// decoded field by field when Python asks for it, until it is changed.
//
// Threads: the reader frames records and makes their RecordData without
// the GIL (RecordData touches no Python object); Record, Field and Leader
// objects, and every function of the module that takes or makes one, are
// used under the GIL only.
#ifndef QUILLET_PYTHON_RECORD_H_
#define QUILLET_PYTHON_RECORD_H_

#include <pybind11/pybind11.h>
#include <quillet/marc8.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace quillet_python {

namespace py = pybind11;

// The text options of `charset` ("auto", "marc8", "utf-8", "raw", as the
// library spells them) and the keyword arguments raw (the same as charset
// "raw") and nfc; throws ValueError for an unknown charset.
quillet::TextOptions MakeTextOptions(const std::string& charset, bool raw, bool nfc);

// One record's bytes and their parse. Built without the GIL (the reader
// frames batches of records with it released), then never changed, so the
// Record and every Field handed out for it share it read-only.
struct RecordData {
  RecordData(const char* bytes, std::size_t size, std::uint64_t offset,
             quillet::Span<quillet::Problem> framing, quillet::TextOptions text);
  RecordData(const RecordData&) = delete;
  RecordData& operator=(const RecordData&) = delete;

  std::string bytes;
  std::uint64_t offset;
  std::vector<quillet::Problem> framing;  // kept for pickling
  quillet::RecordView view;               // points into `bytes`
  quillet::TextOptions text;
  quillet::EncodingGuess guess;  // decided once, for every Field of the record

  // Whether the text, read as `text` says, is the bytes themselves: raw, or
  // well-formed UTF-8 not to be composed, or plain ASCII (the same in
  // MARC-8, UTF-8 and NFC). Then a changed record copies bytes instead of
  // decoding them. Found when first asked, under the GIL.
  bool TextIsBytes() const;

 private:
  mutable std::int8_t text_is_bytes_ = -1;  // unknown until asked
};

// A record's text as Python objects, through the library's RecordText: str,
// or bytes when the record is read raw. Start a field before its values:
// MARC-8 designations carry from one value to the next within a field.
class FieldText {
 public:
  explicit FieldText(const RecordData& data) : text_(data.text) {
    text_.start(data.view, data.guess);
  }
  // A value of the record; `raw` must point into the record's bytes.
  py::object Text(std::string_view raw);
  // Bytes that are no text (tags, indicators, codes, the leader).
  py::object Plain(std::string_view raw);
  void StartField() { text_.startField(); }
  // A value passed over, for the decoder's state.
  void Skip(std::string_view raw) { text_.skip(raw); }
  quillet::RecordText& text() { return text_; }

 private:
  quillet::RecordText text_;
};

// A new quillet.Record of `data` (the type is made by BindRecord()).
py::object NewRecord(std::shared_ptr<const RecordData> data);

// A repair or a decoding problem, as Python sees it.
struct PyProblem {
  std::string kind;      // e.g. "length_repaired", "invalid_utf8"
  std::uint64_t offset;  // in the input
  std::string message;   // fixed English text of the kind
  std::string description;
};

PyProblem MakeProblem(const quillet::Problem& p);

void BindRecord(py::module_& m);
void BindField(py::module_& m);
void BindLeader(py::module_& m);
void BindReader(py::module_& m);

}  // namespace quillet_python

#endif  // QUILLET_PYTHON_RECORD_H_
