#include "stdout_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillet_dump {

void StdoutOutput::Write(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) continue;
    // A write of nothing would loop for ever.
    if (n <= 0) throw WriteError(std::strerror(n < 0 ? errno : EIO));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace quillet_dump
