#ifndef QUILLET_IO_MEMORY_SOURCE_H_
#define QUILLET_IO_MEMORY_SOURCE_H_

#include "io/chunk_source.h"

namespace quillet {

// A block of memory read as chunks: gzip data given in memory (plain
// records in memory are framed where they lie, with no source). The memory
// is the caller's and must outlive the source; one thread at a time.
class MemorySource : public ChunkSource {
 public:
  MemorySource(const char* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Read(char* dst, std::size_t n, std::string& error) override;

 private:
  const char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace quillet

#endif  // QUILLET_IO_MEMORY_SOURCE_H_
