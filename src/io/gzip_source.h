#ifndef QUILLET_IO_GZIP_SOURCE_H_
#define QUILLET_IO_GZIP_SOURCE_H_

#include <zlib.h>

#include <cstddef>
#include <memory>

#include "io/chunk_source.h"

namespace quillet {

// The uncompressed bytes of gzip data, members one after another (as
// `cat a.gz b.gz` makes them). Data that ends inside a member is a read
// error, after everything before it is given. Owns the compressed source
// and zlib's state; not copyable; one thread at a time.
class GzipSource : public ChunkSource {
 public:
  // Whether the `size` bytes at `data` start as gzip data does.
  static bool Recognises(const char* data, std::size_t size) {
    return size >= 2 && data[0] == '\x1F' && data[1] == '\x8B';
  }

  // Throws std::bad_alloc when zlib cannot set up.
  explicit GzipSource(std::unique_ptr<ChunkSource> compressed);
  ~GzipSource() override;
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;
  std::size_t Read(char* dst, std::size_t n, std::string& error) override;

 private:
  static constexpr std::size_t kIn = 1 << 16;

  bool Refill(std::string& error);

  std::unique_ptr<ChunkSource> compressed_;
  std::unique_ptr<unsigned char[]> in_;
  z_stream stream_;
  bool in_member_ = true;  // inside a member that has not ended
  bool done_ = false;
};

}  // namespace quillet

#endif  // QUILLET_IO_GZIP_SOURCE_H_
