#ifndef QUILLET_TOOLS_DUMP_STDOUT_OUTPUT_H_
#define QUILLET_TOOLS_DUMP_STDOUT_OUTPUT_H_

#include <cstddef>

#include "dump.h"

namespace quillet_dump {

// Standard output through write(2), unbuffered, so that a full disk or a
// closed pipe (with SIGPIPE ignored) ends the run with a WriteError and a
// message instead of silently. Holds nothing; one thread at a time, as
// writes from two would interleave.
class StdoutOutput : public Output {
 public:
  void Write(const char* data, std::size_t size) override;
};

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_STDOUT_OUTPUT_H_
