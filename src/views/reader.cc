#include <algorithm>
#include <cerrno>
#include <cstring>
#include <istream>
#include <system_error>
#include <utility>

#include <zlib.h>

#include "common/digits.h"
#include "quillet/iso2709.h"
#include "quillet/view.h"
#include "views/record_parser.h"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <unistd.h>
#define QUILLET_POSIX_FILES 1
#else
#include <fstream>
#endif

namespace quillet {

using namespace iso2709;

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};

// Bytes that stand between records in real files and mean nothing.
inline bool IsFiller(char c) {
  return c == '\n' || c == '\r' || c == '\0' || c == ' ' || c == '\x1A';
}

}  // namespace

// Where the bytes come from when they are read in chunks.
class ChunkSource {
 public:
  virtual ~ChunkSource() = default;
  // Reads up to `n` bytes into `dst`; 0 at the end. Sets `error` (and
  // returns 0) when the input cannot be read on.
  virtual std::size_t Read(char* dst, std::size_t n, std::string& error) = 0;
};

class StreamSource : public ChunkSource {
 public:
  explicit StreamSource(std::istream& in) : in_(in) {}
  std::size_t Read(char* dst, std::size_t n, std::string& error) override {
    if (!in_.good()) {
      if (in_.bad()) error = "input stream failed";
      return 0;
    }
    in_.read(dst, static_cast<std::streamsize>(n));
    const std::size_t got = static_cast<std::size_t>(in_.gcount());
    if (got == 0 && in_.bad()) error = "input stream failed";
    return got;
  }

 private:
  std::istream& in_;
};

#ifdef QUILLET_POSIX_FILES
class FdSource : public ChunkSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  ~FdSource() override { ::close(fd_); }
  std::size_t Read(char* dst, std::size_t n, std::string& error) override {
    for (;;) {
      const ssize_t got = ::read(fd_, dst, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno == EINTR) continue;
      error = std::strerror(errno);
      return 0;
    }
  }

 private:
  int fd_;
};
#endif

// A block of memory read as chunks: gzip data given in memory.
class MemorySource : public ChunkSource {
 public:
  MemorySource(const char* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t Read(char* dst, std::size_t n, std::string&) override {
    const std::size_t take = std::min(n, size_ - at_);
    if (take) std::memcpy(dst, data_ + at_, take);
    at_ += take;
    return take;
  }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Bytes already read from a source, handed out before the source's own.
class PrefixedSource : public ChunkSource {
 public:
  PrefixedSource(std::string prefix, std::unique_ptr<ChunkSource> rest)
      : prefix_(std::move(prefix)), rest_(std::move(rest)) {}
  std::size_t Read(char* dst, std::size_t n, std::string& error) override {
    if (at_ < prefix_.size()) {
      const std::size_t take = std::min(n, prefix_.size() - at_);
      std::memcpy(dst, prefix_.data() + at_, take);
      at_ += take;
      return take;
    }
    return rest_ ? rest_->Read(dst, n, error) : 0;
  }

 private:
  std::string prefix_;
  std::size_t at_ = 0;
  std::unique_ptr<ChunkSource> rest_;
};

// The uncompressed bytes of gzip data, members one after another (as
// `cat a.gz b.gz` makes them). Data that ends inside a member is a read
// error, after everything before it is given.
class GzipSource : public ChunkSource {
 public:
  explicit GzipSource(std::unique_ptr<ChunkSource> compressed)
      : compressed_(std::move(compressed)), in_(new unsigned char[kIn]) {
    stream_.zalloc = Z_NULL;
    stream_.zfree = Z_NULL;
    stream_.opaque = Z_NULL;
    stream_.next_in = in_.get();
    stream_.avail_in = 0;
    if (inflateInit2(&stream_, 15 + 16) != Z_OK) throw std::bad_alloc();  // gzip wrapper
  }
  ~GzipSource() override { inflateEnd(&stream_); }

  std::size_t Read(char* dst, std::size_t n, std::string& error) override {
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

 private:
  static constexpr std::size_t kIn = 1 << 16;

  bool Refill(std::string& error) {
    const std::size_t got =
        compressed_->Read(reinterpret_cast<char*>(in_.get()), kIn, error);
    stream_.next_in = in_.get();
    stream_.avail_in = static_cast<uInt>(got);
    return got != 0;
  }

  std::unique_ptr<ChunkSource> compressed_;
  std::unique_ptr<unsigned char[]> in_;
  z_stream stream_;
  bool in_member_ = true;  // inside a member that has not ended
  bool done_ = false;
};

// The input is a window of bytes [window_offset_, window_offset_ +
// window_size_) that Fill() extends on demand; memory is one window from
// the start. Positions are offsets in the whole input, so the
// framing does not depend on how the bytes arrive: a path, a stream and a
// pipe with the same bytes give the same records and problems.
class Reader::Impl {
 public:
  explicit Impl(const Options& options) : options_(options) {
    if (options_.max_record_size < kMaxRecordLength + 1) {
      options_.max_record_size = kMaxRecordLength + 1;
    }
    if (options_.chunk_size == 0) options_.chunk_size = 1;
  }

  void SetMemory(const char* data, std::size_t size) {
    if (size >= 2 && data[0] == '\x1F' && data[1] == '\x8B') {  // gzip: read it through
      SetChunks(std::unique_ptr<ChunkSource>(new MemorySource(data, size)));
      return;
    }
    window_ = size ? data : "";
    window_size_ = size;
    end_of_input_ = true;
  }

  void SetChunks(std::unique_ptr<ChunkSource> source) { source_ = std::move(source); }

#ifdef QUILLET_POSIX_FILES
  // Read in chunks rather than mapped: mapping a file and faulting its pages
  // in cost more than copying it chunk by chunk (bench/README.md).
  void Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
#if defined(POSIX_FADV_SEQUENTIAL)
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    SetChunks(std::unique_ptr<ChunkSource>(new FdSource(fd)));
  }
#else
  void Open(const std::string& path) {
    file_.open(path, std::ios::binary);
    if (!file_) throw std::system_error(ENOENT, std::generic_category(), path);
    SetChunks(std::unique_ptr<ChunkSource>(new StreamSource(file_)));
  }
#endif

  bool Next(RecordView& rec);
  Span<Problem> Problems() const {
    return Span<Problem>(problems_.data(), problems_.data() + problems_.size());
  }
  std::uint64_t Position() const { return position_; }
  const std::string& ReadError() const { return read_error_; }
  std::string_view Head(std::size_t n) {
    Fill(position_ + n, position_);
    const std::uint64_t end = std::min<std::uint64_t>(WindowEnd(), position_ + n);
    return std::string_view(At(position_), static_cast<std::size_t>(end - position_));
  }

 private:
  const char* At(std::uint64_t at) const { return window_ + (at - window_offset_); }
  std::uint64_t WindowEnd() const { return window_offset_ + window_size_; }

  // Makes the bytes before `end` available, reading on as needed; bytes
  // before `keep` may be dropped. False when the input ends first.
  bool Fill(std::uint64_t end, std::uint64_t keep) {
    while (WindowEnd() < end) {
      if (end_of_input_) return false;
      ReadMore(keep, static_cast<std::size_t>(end - keep));
    }
    return true;
  }

  void ReadMore(std::uint64_t keep, std::size_t wanted);
  bool Plausible(std::uint64_t at, std::uint64_t keep);
  bool Boundary(std::uint64_t at, std::uint64_t keep);
  std::uint64_t FindTerminator(std::uint64_t from, std::uint64_t limit, std::uint64_t keep);
  bool Frame(std::uint64_t start, std::uint64_t* end, RecordView& rec);

  Options options_;
  // The window onto the input.
  const char* window_ = "";
  std::size_t window_size_ = 0;
  std::uint64_t window_offset_ = 0;
  bool end_of_input_ = false;
  // Chunked input: the source and the buffer that holds the window.
  std::unique_ptr<ChunkSource> source_;
  bool sniffed_ = false;  // whether the source was looked at for gzip data
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::string read_error_;
#ifndef QUILLET_POSIX_FILES
  std::ifstream file_;
#endif

  std::uint64_t position_ = 0;  // where the next record is looked for
  bool done_ = false;
  std::vector<Problem> problems_;  // belonging to no record
};

void Reader::Impl::ReadMore(std::uint64_t keep, std::size_t wanted) {
  if (!source_) {
    end_of_input_ = true;
    return;
  }
  if (!sniffed_) {
    // Gzip data is recognised by its first two bytes, and read through.
    sniffed_ = true;
    std::string head;
    char byte;
    while (head.size() < 2 && source_->Read(&byte, 1, read_error_) == 1) head += byte;
    const bool gzip = head.size() == 2 && head[0] == '\x1F' && head[1] == '\x8B';
    source_.reset(new PrefixedSource(std::move(head), std::move(source_)));
    if (gzip) source_.reset(new GzipSource(std::move(source_)));
  }
  // Drop what is no longer needed before growing the buffer, so memory
  // stays bounded by the longest record plus a chunk.
  const std::size_t drop = static_cast<std::size_t>(keep - window_offset_);
  const std::size_t chunk = options_.chunk_size;
  if (drop != 0 && capacity_ - window_size_ < chunk) {
    std::memmove(buffer_.get(), buffer_.get() + drop, window_size_ - drop);
    window_offset_ += drop;
    window_size_ -= drop;
  }
  const std::size_t needed = std::max(window_size_ + chunk, wanted);
  if (capacity_ < needed) {
    // Room for a chunk beside a partly read record from the start, so a
    // warm reader never grows its buffer for ordinary records.
    const std::size_t capacity = std::max({needed, 2 * capacity_, 2 * chunk});
    std::unique_ptr<char[]> bigger(new char[capacity]);
    if (window_size_) std::memcpy(bigger.get(), window_, window_size_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
  }
  window_ = buffer_.get();
  const std::size_t got = source_->Read(buffer_.get() + window_size_,
                                        std::min(chunk, capacity_ - window_size_), read_error_);
  if (got == 0) end_of_input_ = true;
  window_size_ += got;
}

// A record could start at `at`: its length and base address are digits, or
// one of them is and the terminator it points to is where it says.
bool Reader::Impl::Plausible(std::uint64_t at, std::uint64_t keep) {
  if (!Fill(at + kLeaderLength, keep)) return false;
  std::size_t length = 0, base = 0;
  const bool has_length = ReadDigits(At(at), kRecordLengthWidth, &length);
  const bool has_base = ReadDigits(At(at) + kBaseAddressOffset, kBaseAddressWidth, &base);
  if (has_length && has_base) return true;
  if (has_length && length >= kMinRecordLength && Fill(at + length, keep) &&
      *At(at + length - 1) == kRecordTerminator) {
    return true;
  }
  return has_base && base > kLeaderLength && Fill(at + base, keep) &&
         *At(at + base - 1) == kFieldTerminator;
}

// The end of a record is believable at `at`: the input ends there, or
// filler or a plausible record follows.
bool Reader::Impl::Boundary(std::uint64_t at, std::uint64_t keep) {
  if (!Fill(at + 1, keep)) return true;
  return IsFiller(*At(at)) || Plausible(at, keep);
}

// The first record terminator in [from, limit), or kNone. Each byte is
// looked at once, whatever the declared lengths.
std::uint64_t Reader::Impl::FindTerminator(std::uint64_t from, std::uint64_t limit,
                                           std::uint64_t keep) {
  std::uint64_t at = from;
  while (at < limit) {
    if (!Fill(at + 1, keep)) return kNone;
    const std::uint64_t stop = std::min(limit, WindowEnd());
    const void* t = std::memchr(At(at), kRecordTerminator, static_cast<std::size_t>(stop - at));
    if (t) return window_offset_ + static_cast<std::uint64_t>(static_cast<const char*>(t) - window_);
    at = stop;
  }
  return kNone;
}

// Decides where the record at `start` ends; its framing problems go to `rec`.
// False when strict mode cannot frame it.
bool Reader::Impl::Frame(std::uint64_t start, std::uint64_t* end, RecordView& rec) {
  std::size_t declared = 0;
  const bool digits = ReadDigits(At(start), kRecordLengthWidth, &declared);
  const bool usable = digits && declared >= kMinRecordLength;
  const std::uint64_t value = digits ? declared : kNotANumber;
  const std::uint64_t at_length = start + declared;

  if (options_.strict) {
    if (!usable) {
      problems_.push_back(MakeProblem(Problem::Kind::kBadLength, start, value));
      return false;
    }
    if (!Fill(at_length, start)) {
      *end = WindowEnd();
      RecordParser::AddProblem(rec, MakeProblem(Problem::Kind::kTruncated, *end, value));
    } else {
      *end = at_length;
      if (*At(at_length - 1) != kRecordTerminator) {
        RecordParser::AddProblem(
            rec, MakeProblem(Problem::Kind::kMissingRecordTerminator, at_length - 1));
      }
    }
    return true;
  }

  // The first terminator decides, so a wrong length never makes the reader
  // look at the same bytes twice.
  const bool declared_fits = usable && Fill(at_length, start);
  const std::uint64_t t =
      FindTerminator(start + kLeaderLength, start + options_.max_record_size, start);
  if (declared_fits && t == at_length - 1) {
    *end = at_length;
    return true;
  }
  auto repaired = [&](std::uint64_t to) {
    *end = to;
    const bool long_record = to - start > kMaxRecordLength;
    RecordParser::AddProblem(
        rec, MakeProblem(long_record ? Problem::Kind::kLongRecord : Problem::Kind::kLengthRepaired,
                         start, value));
  };
  auto unterminated = [&] {
    *end = at_length;
    RecordParser::AddProblem(rec,
                             MakeProblem(Problem::Kind::kMissingRecordTerminator, at_length - 1));
  };
  // A terminator before the declared end (or with no usable length) that a
  // record or the end follows: the length was too long or unreadable.
  if (t != kNone && (!usable || t + 1 < at_length) && Boundary(t + 1, start)) {
    repaired(t + 1);
  } else if (declared_fits && *At(at_length - 1) == kRecordTerminator) {
    *end = at_length;  // the first terminator was a data byte
  } else if (declared_fits && Boundary(at_length, start)) {
    unterminated();  // the length was right; the terminator is missing
  } else if (t != kNone) {
    repaired(t + 1);  // too short, as lengths counted in characters are
  } else if (declared_fits) {
    unterminated();
  } else {
    Fill(start + options_.max_record_size, start);
    *end = std::min(WindowEnd(), start + options_.max_record_size);
    RecordParser::AddProblem(rec, MakeProblem(Problem::Kind::kTruncated, *end, value));
  }
  return true;
}

bool Reader::Impl::Next(RecordView& rec) {
  RecordParser::Reset(rec);
  if (done_) return false;
  std::uint64_t at = position_;
  std::uint64_t junk = kNone;
  for (;;) {
    if (!Fill(at + 1, at)) break;
    if (IsFiller(*At(at))) {
      ++at;
      continue;
    }
    if (options_.strict || Plausible(at, at)) {
      if (!Fill(at + kLeaderLength, at)) break;  // strict: a record cut short before 24 bytes
      if (junk != kNone) {
        RecordParser::AddProblem(rec, MakeProblem(Problem::Kind::kJunkSkipped, junk, at - junk));
      }
      std::uint64_t end = 0;
      if (!Frame(at, &end, rec)) {
        done_ = true;
        return false;
      }
      position_ = end;
      if (options_.fields) {
        RecordParser::Parse(At(at), static_cast<std::size_t>(end - at), at, rec);
      } else {
        RecordParser::Frame(At(at), static_cast<std::size_t>(end - at), at, rec);
      }
      return true;
    }
    if (junk == kNone) junk = at;
    ++at;
  }
  // The end of the input: what is left is junk, and any read error is said.
  done_ = true;
  position_ = WindowEnd();
  if (junk == kNone && at < WindowEnd()) junk = at;
  if (junk != kNone) {
    problems_.push_back(MakeProblem(Problem::Kind::kJunkSkipped, junk, WindowEnd() - junk));
  }
  if (!read_error_.empty()) {
    problems_.push_back(MakeProblem(Problem::Kind::kReadError, WindowEnd()));
  }
  RecordParser::Reset(rec);
  return false;
}

Reader::Reader(const std::string& path) : Reader(path, Options()) {}
Reader::Reader(const std::string& path, const Options& options) : impl_(new Impl(options)) {
  impl_->Open(path);
}
Reader::Reader(std::istream& in) : Reader(in, Options()) {}
Reader::Reader(std::istream& in, const Options& options) : impl_(new Impl(options)) {
  impl_->SetChunks(std::unique_ptr<ChunkSource>(new StreamSource(in)));
}
Reader::Reader(const char* data, std::size_t size) : Reader(data, size, Options()) {}
Reader::Reader(const char* data, std::size_t size, const Options& options)
    : impl_(new Impl(options)) {
  impl_->SetMemory(data, data ? size : 0);
}
Reader::~Reader() = default;
Reader::Reader(Reader&& other) noexcept = default;
Reader& Reader::operator=(Reader&& other) noexcept = default;

bool Reader::next(RecordView& rec) { return impl_->Next(rec); }
Span<Problem> Reader::problems() const { return impl_->Problems(); }
std::uint64_t Reader::position() const { return impl_->Position(); }
const std::string& Reader::readError() const { return impl_->ReadError(); }
std::string_view Reader::head(std::size_t n) { return impl_->Head(n); }

}  // namespace quillet
