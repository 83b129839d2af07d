#ifndef QUILLET_IO_PREFIXED_SOURCE_H_
#define QUILLET_IO_PREFIXED_SOURCE_H_

#include <memory>
#include <string>
#include <utility>

#include "io/chunk_source.h"

namespace quillet {

// Bytes already read from a source (to tell gzip data by its first bytes),
// handed out before the rest of that source. Owns both; one thread at a
// time.
class PrefixedSource : public ChunkSource {
 public:
  PrefixedSource(std::string prefix, std::unique_ptr<ChunkSource> rest)
      : prefix_(std::move(prefix)), rest_(std::move(rest)) {}
  std::size_t Read(char* dst, std::size_t n, std::string& error) override;

 private:
  std::string prefix_;
  std::size_t at_ = 0;
  std::unique_ptr<ChunkSource> rest_;
};

}  // namespace quillet

#endif  // QUILLET_IO_PREFIXED_SOURCE_H_
