#include "io/stream_source.h"

#include <istream>

namespace quillet {

std::size_t StreamSource::Read(char* dst, std::size_t n, std::string& error) {
  if (!in_.good()) {
    if (in_.bad()) error = "input stream failed";
    return 0;
  }
  in_.read(dst, static_cast<std::streamsize>(n));
  const std::size_t got = static_cast<std::size_t>(in_.gcount());
  if (got == 0 && in_.bad()) error = "input stream failed";
  return got;
}

}  // namespace quillet
