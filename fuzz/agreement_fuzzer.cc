// The record views on every input: wherever the classic interface reads a
// record without an exception and the views find no problem in it, both give
// the same fields; and the reader gives the same records and problems from
// memory as from a stream read a few bytes at a time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "support/agreement.h"
#include "support/view_summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  try {
    quillet::Record rec(bytes, static_cast<unsigned>(size));
    bool agrees = false;
    if (quillet_test::AgreementApplies(rec, &agrees) && !agrees) std::abort();
  } catch (const quillet::MrcException&) {
  }

  quillet::Reader from_memory(bytes, size);
  const std::string expected = quillet_test::Summary(from_memory);
  std::istringstream in(std::string(bytes, size));
  quillet::Reader::Options options;
  options.chunk_size = 1 + size % 13;
  quillet::Reader from_stream(in, options);
  if (quillet_test::Summary(from_stream) != expected) std::abort();
  return 0;
}
