#ifndef QUILLET_IO_STREAM_SOURCE_H_
#define QUILLET_IO_STREAM_SOURCE_H_

#include <iosfwd>

#include "io/chunk_source.h"

namespace quillet {

// An std::istream read in chunks. The stream is the caller's and must
// outlive the source; one thread at a time.
class StreamSource : public ChunkSource {
 public:
  explicit StreamSource(std::istream& in) : in_(in) {}
  std::size_t Read(char* dst, std::size_t n, std::string& error) override;

 private:
  std::istream& in_;
};

}  // namespace quillet

#endif  // QUILLET_IO_STREAM_SOURCE_H_
