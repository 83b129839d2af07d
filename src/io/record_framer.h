#ifndef QUILLET_IO_RECORD_FRAMER_H_
#define QUILLET_IO_RECORD_FRAMER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/chunk_source.h"
#include "io/fd_source.h"
#include "io/record_stream.h"
#include "quillet/view.h"

#ifndef QUILLET_POSIX_FILES
#include <fstream>
#endif

namespace quillet {

// Turns an input into records: decides where each record starts and ends,
// tolerating damage, and hands each to the record parser (or only sets its
// bytes, Reader::Options::fields = false). The work behind quillet::Reader.
//
// The input is a window of bytes [window_offset_, window_offset_ +
// window_size_) that Fill() extends on demand; memory is one window from
// the start. Positions are offsets in the whole input, so the framing does
// not depend on how the bytes arrive: a path, a stream and a pipe with the
// same bytes give the same records and problems.
//
// Owns its source and buffer; memory given to SetMemory() stays the
// caller's. Records it frames point into the window until the next Next().
// One thread at a time.
class RecordFramer : public RecordStream {
 public:
  using Options = Reader::Options;

  explicit RecordFramer(const Options& options);

  // The input; one of these, once, before the first Next().
  void SetMemory(const char* data, std::size_t size);
  void SetChunks(std::unique_ptr<ChunkSource> source) { source_ = std::move(source); }
  // Throws std::system_error when the file cannot be opened.
  void Open(const std::string& path);

  bool Next(RecordView& rec) override;
  Span<Problem> Problems() const override {
    return Span<Problem>(problems_.data(), problems_.data() + problems_.size());
  }
  std::uint64_t Position() const override { return position_; }
  const std::string& ReadError() const override { return read_error_; }
  std::string_view Head(std::size_t n) override;

  // The input from the current position on, gzip data already read
  // through, for a reader of another format; the framer reads nothing
  // more. Memory given to SetMemory() stays the caller's.
  std::unique_ptr<ChunkSource> TakeInput();

 private:
  // No position: the terminator was not found.
  static constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};

  // Bytes that stand between records in real files and mean nothing.
  static bool IsFiller(char c) {
    return c == '\n' || c == '\r' || c == '\0' || c == ' ' || c == '\x1A';
  }

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

}  // namespace quillet

#endif  // QUILLET_IO_RECORD_FRAMER_H_
