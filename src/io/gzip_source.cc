#include "io/gzip_source.h"

#include <algorithm>
#include <new>
#include <string>

namespace quillet {

GzipSource::GzipSource(std::unique_ptr<ChunkSource> compressed)
    : compressed_(std::move(compressed)), in_(new unsigned char[kIn]) {
  stream_.zalloc = Z_NULL;
  stream_.zfree = Z_NULL;
  stream_.opaque = Z_NULL;
  stream_.next_in = in_.get();
  stream_.avail_in = 0;
  if (inflateInit2(&stream_, 15 + 16) != Z_OK) throw std::bad_alloc();  // gzip wrapper
}

GzipSource::~GzipSource() { inflateEnd(&stream_); }

std::size_t GzipSource::Read(char* dst, std::size_t n, std::string& error) {
  if (done_) return 0;
  const uInt room = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
  stream_.next_out = reinterpret_cast<unsigned char*>(dst);
  stream_.avail_out = room;
  while (stream_.avail_out == room) {  // until something comes out
    if (stream_.avail_in == 0 && !Refill(error)) {
      if (error.empty() && in_member_) error = "gzip data ends inside a member";
      done_ = true;
      break;
    }
    const int status = inflate(&stream_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) {
      in_member_ = false;
      if (stream_.avail_in == 0 && !Refill(error)) {  // the end of the last member
        done_ = true;
        break;
      }
      inflateReset(&stream_);  // another member follows
      in_member_ = true;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      error = std::string("gzip data is damaged") + (stream_.msg ? ": " : "") +
              (stream_.msg ? stream_.msg : "");
      done_ = true;
      break;
    }
  }
  return room - stream_.avail_out;
}

bool GzipSource::Refill(std::string& error) {
  const std::size_t got = compressed_->Read(reinterpret_cast<char*>(in_.get()), kIn, error);
  stream_.next_in = in_.get();
  stream_.avail_in = static_cast<uInt>(got);
  return got != 0;
}

}  // namespace quillet
