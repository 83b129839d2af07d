// The Python Record and Field: a record's bytes, parsed once, with text
// decoded field by field when Python asks for it.
#ifndef QUILLET_PYTHON_RECORD_H_
#define QUILLET_PYTHON_RECORD_H_

#include <pybind11/pybind11.h>
#include <quillet/marc8.h>
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

// How a record's text reaches Python.
struct TextOptions {
  enum class Charset : std::uint8_t { kAuto, kMarc8, kUtf8 };
  Charset charset = Charset::kAuto;
  bool raw = false;  // bytes as they are, no decoding
  bool nfc = false;  // compose to NFC after decoding

  // "auto", "marc8" or "utf-8" (also "utf8"); throws ValueError otherwise.
  static TextOptions Make(const std::string& charset, bool raw, bool nfc);
  std::string CharsetName() const;
};

// One record's bytes and their parse. Built without the GIL (the reader
// frames batches of records with it released), then never changed, so the
// Record and every Field handed out for it share it read-only.
struct RecordData {
  RecordData(const char* bytes, std::size_t size, std::uint64_t offset,
             quillet::Span<quillet::Problem> framing, TextOptions text);
  RecordData(const RecordData&) = delete;
  RecordData& operator=(const RecordData&) = delete;

  std::string bytes;
  std::uint64_t offset;
  std::vector<quillet::Problem> framing;  // kept for pickling
  quillet::RecordView view;               // points into `bytes`
  TextOptions text;
  quillet::EncodingGuess guess{quillet::Encoding::kUtf8, false, false};
};

// Turns one field's bytes into Python objects: str decoded by the record's
// encoding, or bytes when raw. MARC-8 designations carry from one subfield
// to the next, so a field is decoded from its start, in order.
class FieldText {
 public:
  FieldText(const RecordData& data, std::vector<quillet::TextProblem>* problems = nullptr)
      : data_(data), problems_(problems) {}
  // Text of the record; `raw` must point into the record's bytes.
  py::object Text(std::string_view raw);
  // Text that is no record content (tags, indicators, codes): as it is, but
  // for bytes that are not UTF-8, which become U+FFFD.
  py::object Plain(std::string_view raw) const;
  // As Text(), as UTF-8 bytes in a buffer valid until the next call.
  std::string_view Utf8(std::string_view raw);
  void StartField() { marc8_.reset(); }

 private:
  const RecordData& data_;
  std::vector<quillet::TextProblem>* problems_;
  quillet::Marc8Decoder marc8_;
  std::string buffer_;
};

// A new quillet.Record of `data` (the type is made by BindRecord()).
py::object NewRecord(std::shared_ptr<const RecordData> data);

// A repair or a decoding problem, as Python sees it.
struct PyProblem {
  std::string kind;     // e.g. "length_repaired", "invalid_utf8"
  std::uint64_t offset;  // in the input
  std::string message;  // fixed English text of the kind
  std::string description;
};

PyProblem MakeProblem(const quillet::Problem& p);

void BindRecord(py::module_& m);
void BindReader(py::module_& m);

}  // namespace quillet_python

#endif  // QUILLET_PYTHON_RECORD_H_
