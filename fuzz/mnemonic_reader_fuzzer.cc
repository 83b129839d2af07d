// The input read as mnemonic text: whatever it holds, every record comes
// out as well-formed ISO 2709 bytes (the views find no damage in its
// framing or directory), and reading stays inside the input.
#include <quillet/view.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact copy, so that reading past the input is an overflow.
  std::unique_ptr<char[]> exact(new char[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);
  quillet::Reader::Options options;
  options.format = quillet::InputFormat::kMnemonic;
  options.chunk_size = 7;  // lines cut by chunks, often
  quillet::Reader reader(exact.get(), size, options);
  quillet::RecordView rec;
  while (reader.next(rec)) {
    const std::string_view bytes = rec.bytes();
    const quillet::RecordView again = quillet::RecordView::parse(bytes.data(), bytes.size());
    if (again.fields().size() != rec.fields().size()) std::abort();
    for (const quillet::Problem& p : again.problems()) {
      switch (p.kind) {
        case quillet::Problem::Kind::kShortDataField:
        case quillet::Problem::Kind::kNoSubfields:
        case quillet::Problem::Kind::kSubfieldWithoutCode:
        case quillet::Problem::Kind::kTerminatorInField:
        case quillet::Problem::Kind::kMoreProblems:  // more of those
          break;                // the content the text gave, carried over faithfully
        default: std::abort();  // the built bytes are damaged
      }
    }
    for (const quillet::FieldView& f : rec.fields()) {
      for (const quillet::SubfieldView& s : f.subfields()) static_cast<void>(s.value());
    }
  }
  static_cast<void>(reader.problems());
  return 0;
}
