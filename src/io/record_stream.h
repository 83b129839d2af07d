#ifndef QUILLET_IO_RECORD_STREAM_H_
#define QUILLET_IO_RECORD_STREAM_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "quillet/view.h"

namespace quillet {

// What quillet::Reader reads records through, one kind per input format:
// the ISO 2709 framer, and the readers of the text formats, which build
// each record's ISO 2709 bytes. Records it gives point into its own memory
// (or the caller's) until the next Next(). Owns its input; one thread at a
// time.
class RecordStream {
 public:
  virtual ~RecordStream() = default;

  // The next record into `rec`; false at the end of the input or after an
  // error that ends it (see Problems()).
  virtual bool Next(RecordView& rec) = 0;
  // Problems that belong to no record.
  virtual Span<Problem> Problems() const = 0;
  // The input bytes consumed so far.
  virtual std::uint64_t Position() const = 0;
  // The system's words for a read error, or empty.
  virtual const std::string& ReadError() const = 0;
  // The first `n` bytes of the (uncompressed) input, read ahead without
  // being consumed; valid until Next().
  virtual std::string_view Head(std::size_t n) = 0;
};

}  // namespace quillet

#endif  // QUILLET_IO_RECORD_STREAM_H_
