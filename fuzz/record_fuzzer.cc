// One record constructed from memory, then walked completely.
#include <cstddef>
#include <cstdint>

#include "walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    quillet::Record rec(reinterpret_cast<const char*>(data), static_cast<unsigned>(size));
    quillet_fuzz::Walk(rec);
  } catch (const quillet::MrcException&) {
  }
  return 0;
}
