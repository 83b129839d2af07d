#ifndef QUILLET_IO_FD_SOURCE_H_
#define QUILLET_IO_FD_SOURCE_H_

// Files are read through descriptors where the system has them; elsewhere
// the framer opens an std::ifstream and reads it as a stream.
#if defined(__unix__) || defined(__APPLE__)
#define QUILLET_POSIX_FILES 1
#endif

#ifdef QUILLET_POSIX_FILES

#include "io/chunk_source.h"

namespace quillet {

// An open file descriptor read in chunks, as it comes: regular files,
// pipes, FIFOs. Owns the descriptor and closes it; one thread at a time.
class FdSource : public ChunkSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  ~FdSource() override;
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;
  std::size_t Read(char* dst, std::size_t n, std::string& error) override;

 private:
  int fd_;
};

}  // namespace quillet

#endif  // QUILLET_POSIX_FILES

#endif  // QUILLET_IO_FD_SOURCE_H_
