#ifndef QUILLET_IO_CHUNK_SOURCE_H_
#define QUILLET_IO_CHUNK_SOURCE_H_

#include <cstddef>
#include <string>

namespace quillet {

// Where the framer's bytes come from when they are read in chunks: a file
// descriptor, a stream, memory, or another source seen through a prefix or
// through gzip. The framer owns its source; a source that wraps another owns
// that one. One thread at a time.
class ChunkSource {
 public:
  virtual ~ChunkSource() = default;
  // Reads up to `n` bytes into `dst`; 0 at the end. Sets `error` (and
  // returns 0) when the input cannot be read on.
  virtual std::size_t Read(char* dst, std::size_t n, std::string& error) = 0;
};

}  // namespace quillet

#endif  // QUILLET_IO_CHUNK_SOURCE_H_
