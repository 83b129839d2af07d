#include "io/record_framer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/digits.h"
#include "io/gzip_source.h"
#include "io/memory_source.h"
#include "io/prefixed_source.h"
#include "io/stream_source.h"
#include "quillet/iso2709.h"
#include "views/problem.h"
#include "views/record_view_access.h"

#ifdef QUILLET_POSIX_FILES
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quillet {

using iso2709::kBaseAddressOffset;
using iso2709::kBaseAddressWidth;
using iso2709::kFieldTerminator;
using iso2709::kLeaderLength;
using iso2709::kMaxRecordLength;
using iso2709::kMinRecordLength;
using iso2709::kRecordLengthWidth;
using iso2709::kRecordTerminator;

RecordFramer::RecordFramer(const Options& options) : options_(options) {
  if (options_.max_record_size < kMaxRecordLength + 1) {
    options_.max_record_size = kMaxRecordLength + 1;
  }
  if (options_.chunk_size == 0) options_.chunk_size = 1;
}

void RecordFramer::SetMemory(const char* data, std::size_t size) {
  if (GzipSource::Recognises(data, size)) {  // read it through
    SetChunks(std::unique_ptr<ChunkSource>(new MemorySource(data, size)));
    return;
  }
  window_ = size ? data : "";
  window_size_ = size;
  end_of_input_ = true;
}

#ifdef QUILLET_POSIX_FILES
// Read in chunks rather than mapped: mapping a file and faulting its pages
// in cost more than copying it chunk by chunk (bench/README.md).
void RecordFramer::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
#if defined(POSIX_FADV_SEQUENTIAL)
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
  SetChunks(std::unique_ptr<ChunkSource>(new FdSource(fd)));
}
#else
void RecordFramer::Open(const std::string& path) {
  file_.open(path, std::ios::binary);
  if (!file_) throw std::system_error(ENOENT, std::generic_category(), path);
  SetChunks(std::unique_ptr<ChunkSource>(new StreamSource(file_)));
}
#endif

std::string_view RecordFramer::Head(std::size_t n) {
  Fill(position_ + n, position_);
  const std::uint64_t end = std::min<std::uint64_t>(WindowEnd(), position_ + n);
  return std::string_view(At(position_), static_cast<std::size_t>(end - position_));
}

std::unique_ptr<ChunkSource> RecordFramer::TakeInput() {
  Fill(position_ + 1, position_);  // tells gzip data from the rest
  const char* from = At(position_);
  const std::size_t size = static_cast<std::size_t>(WindowEnd() - position_);
  end_of_input_ = true;
  if (!source_) return std::unique_ptr<ChunkSource>(new MemorySource(from, size));
  return std::unique_ptr<ChunkSource>(
      new PrefixedSource(std::string(from, size), std::move(source_)));
}

void RecordFramer::ReadMore(std::uint64_t keep, std::size_t wanted) {
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
    const bool gzip = GzipSource::Recognises(head.data(), head.size());
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
bool RecordFramer::Plausible(std::uint64_t at, std::uint64_t keep) {
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
bool RecordFramer::Boundary(std::uint64_t at, std::uint64_t keep) {
  if (!Fill(at + 1, keep)) return true;
  return IsFiller(*At(at)) || Plausible(at, keep);
}

// The first record terminator in [from, limit), or kNoPosition. Each byte
// is looked at once, whatever the declared lengths.
std::uint64_t RecordFramer::FindTerminator(std::uint64_t from, std::uint64_t limit,
                                           std::uint64_t keep) {
  std::uint64_t at = from;
  while (at < limit) {
    if (!Fill(at + 1, keep)) return kNoPosition;
    const std::uint64_t stop = std::min(limit, WindowEnd());
    const void* t = std::memchr(At(at), kRecordTerminator, static_cast<std::size_t>(stop - at));
    if (t)
      return window_offset_ + static_cast<std::uint64_t>(static_cast<const char*>(t) - window_);
    at = stop;
  }
  return kNoPosition;
}

// Decides where the record at `start` ends; its framing problems go to `rec`.
// False when strict mode cannot frame it.
bool RecordFramer::Frame(std::uint64_t start, std::uint64_t* end, RecordView& rec) {
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
      RecordViewAccess::AddProblem(rec, MakeProblem(Problem::Kind::kTruncated, *end, value));
    } else {
      *end = at_length;
      if (*At(at_length - 1) != kRecordTerminator) {
        RecordViewAccess::AddProblem(
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
    RecordViewAccess::AddProblem(
        rec, MakeProblem(long_record ? Problem::Kind::kLongRecord : Problem::Kind::kLengthRepaired,
                         start, value));
  };
  auto unterminated = [&] {
    *end = at_length;
    RecordViewAccess::AddProblem(
        rec, MakeProblem(Problem::Kind::kMissingRecordTerminator, at_length - 1));
  };
  // A terminator before the declared end (or with no usable length) that a
  // record or the end follows: the length was too long or unreadable.
  if (t != kNoPosition && (!usable || t + 1 < at_length) && Boundary(t + 1, start)) {
    repaired(t + 1);
  } else if (declared_fits && *At(at_length - 1) == kRecordTerminator) {
    *end = at_length;  // the first terminator was a data byte
  } else if (declared_fits && Boundary(at_length, start)) {
    unterminated();  // the length was right; the terminator is missing
  } else if (t != kNoPosition) {
    repaired(t + 1);  // too short, as lengths counted in characters are
  } else if (declared_fits) {
    unterminated();
  } else {
    Fill(start + options_.max_record_size, start);
    *end = std::min(WindowEnd(), start + options_.max_record_size);
    RecordViewAccess::AddProblem(rec, MakeProblem(Problem::Kind::kTruncated, *end, value));
  }
  return true;
}

bool RecordFramer::Next(RecordView& rec) {
  RecordViewAccess::Reset(rec);
  if (done_) return false;
  std::uint64_t at = position_;
  std::uint64_t junk = kNoPosition;
  for (;;) {
    if (!Fill(at + 1, at)) break;
    if (IsFiller(*At(at))) {
      ++at;
      continue;
    }
    if (options_.strict || Plausible(at, at)) {
      if (!Fill(at + kLeaderLength, at)) break;  // strict: a record cut short before 24 bytes
      if (junk != kNoPosition) {
        RecordViewAccess::AddProblem(rec,
                                     MakeProblem(Problem::Kind::kJunkSkipped, junk, at - junk));
      }
      std::uint64_t end = 0;
      if (!Frame(at, &end, rec)) {
        done_ = true;
        return false;
      }
      position_ = end;
      if (options_.fields) {
        RecordViewAccess::Parse(At(at), static_cast<std::size_t>(end - at), at, rec);
      } else {
        RecordViewAccess::SetUnparsed(At(at), static_cast<std::size_t>(end - at), at, rec);
      }
      return true;
    }
    if (junk == kNoPosition) junk = at;
    ++at;
  }
  // The end of the input: what is left is junk, and any read error is said.
  done_ = true;
  position_ = WindowEnd();
  if (junk == kNoPosition && at < WindowEnd()) junk = at;
  if (junk != kNoPosition) {
    problems_.push_back(MakeProblem(Problem::Kind::kJunkSkipped, junk, WindowEnd() - junk));
  }
  if (!read_error_.empty()) {
    problems_.push_back(MakeProblem(Problem::Kind::kReadError, WindowEnd()));
  }
  RecordViewAccess::Reset(rec);
  return false;
}

}  // namespace quillet
