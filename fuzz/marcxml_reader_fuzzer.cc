// MARCXML read through quillet::Reader, in chunks of a size the first byte
// picks, every record walked. Beyond memory errors and leaks, a finding is
// a record ISO 2709 cannot state or a problem whose detail is not UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quillet/marc8.h"
#include "quillet/view.h"

namespace {

bool ValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = quillet::utf8SequenceLength(text.substr(i));
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void CheckProblems(quillet::Span<quillet::Problem> problems) {
  for (const quillet::Problem& p : problems) {
    if (!ValidUtf8(p.detail)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  quillet::Reader::Options options;
  options.format = quillet::InputFormat::kMarcXml;
  options.chunk_size = data[0] < 0x80 ? std::size_t{1} + data[0] % 16 : std::size_t{1} << 16;
  quillet::Reader reader(reinterpret_cast<const char*>(data) + 1, size - 1, options);
  quillet::RecordView rec;
  while (reader.next(rec)) {
    if (rec.bytes().size() > 99999) std::abort();
    for (const quillet::FieldView& f : rec.fields()) {
      for (const quillet::SubfieldView& s : f.subfields()) static_cast<void>(s.value());
    }
    CheckProblems(rec.problems());
  }
  CheckProblems(reader.problems());
  return 0;
}
