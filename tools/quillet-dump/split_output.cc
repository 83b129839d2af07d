#include "split_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quillet_dump {

SplitOutput::~SplitOutput() {
  if (fd_ >= 0) ::close(fd_);
}

void SplitOutput::Write(const char* data, std::size_t size) {
  if (fd_ >= 0 && records_ > 0 && pieces_.bytes != 0 && bytes_ + size > pieces_.bytes) Close();
  if (fd_ < 0) Open();
  Put(data, size);
  bytes_ += size;
}

void SplitOutput::RecordEnd() {
  if (++records_ >= pieces_.records && pieces_.records != 0) Close();
}

void SplitOutput::Finish() {
  if (fd_ >= 0) Close();
}

std::string SplitOutput::Complete() const {
  if (done_ == 0) return "no piece is complete";
  return "complete: " + Name(1) + (done_ > 1 ? " to " + Name(done_) : std::string());
}

std::string SplitOutput::Name(std::uint64_t n) const {
  char number[32];
  std::snprintf(number, sizeof number, "-%05llu.", static_cast<unsigned long long>(n));
  return pieces_.prefix + number + pieces_.extension;
}

void SplitOutput::Open() {
  const std::string name = Name(done_ + 1);
  fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (pieces_.force ? O_TRUNC : O_EXCL),
               0644);
  if (fd_ < 0) {
    throw WriteError(name + ": " + std::strerror(errno) +
                     (errno == EEXIST ? " (--force overwrites)" : ""));
  }
  bytes_ = records_ = 0;
  Put(pieces_.header.data(), pieces_.header.size());
}

void SplitOutput::Close() {
  Put(pieces_.footer.data(), pieces_.footer.size());
  if (::close(fd_) != 0) {
    fd_ = -1;
    throw WriteError(Name(done_ + 1) + ": " + std::strerror(errno));
  }
  fd_ = -1;
  ++done_;
}

void SplitOutput::Put(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw WriteError(Name(done_ + 1) + ": " + std::strerror(n < 0 ? errno : EIO));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace quillet_dump
