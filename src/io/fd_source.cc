#include "io/fd_source.h"

#ifdef QUILLET_POSIX_FILES

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillet {

FdSource::~FdSource() { ::close(fd_); }

std::size_t FdSource::Read(char* dst, std::size_t n, std::string& error) {
  for (;;) {
    const ssize_t got = ::read(fd_, dst, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) continue;
    error = std::strerror(errno);
    return 0;
  }
}

}  // namespace quillet

#endif  // QUILLET_POSIX_FILES
