// One record constructed from memory, then walked completely, twice (the
// second time through the parsed state).
#include <cstddef>
#include <cstdint>

#include "support/record_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    quillet::Record rec(reinterpret_cast<const char*>(data), static_cast<unsigned>(size));
    quillet_test::WalkAll(rec);
  } catch (const quillet::MrcException&) {
  }
  return 0;
}
