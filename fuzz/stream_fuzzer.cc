// The input as a stream of records read into one reused Record, so that the
// buffer reuse and growth and the emptying between records are exercised.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "support/record_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  quillet::Record rec;
  // A failed read leaves the stream where it stopped; reading on from there
  // is allowed, so a few failures are followed by further reads (more would
  // only spend time on the same paths).
  int failures = 0;
  for (int i = 0; i < 1000 && failures < 3; ++i) {
    try {
      if (!(in >> rec)) break;
      quillet_test::WalkAll(rec);
    } catch (const quillet::MrcException&) {
      ++failures;
      // The record holds nothing after a failed read.
      if (rec.getDatalen() != 0) std::abort();
      quillet_test::WalkAll(rec);
      if (!in) break;
    }
  }
  return 0;
}
