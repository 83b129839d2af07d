#ifndef QUILLET_TOOLS_DUMP_SPLIT_OUTPUT_H_
#define QUILLET_TOOLS_DUMP_SPLIT_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "dump.h"

namespace quillet_dump {

// Pieces PREFIX-00001.EXT, PREFIX-00002.EXT, ..., each a valid file of the
// format (each opens with `header` and ends with `footer`, for MARCXML its
// collection), each holding at most `records` records or `bytes` bytes
// (0: no limit), unless one record alone is bigger. An existing file is
// never overwritten unless `force`. Owns the descriptor of the open piece
// and closes it when destroyed, footer or not; one thread at a time.
class SplitOutput : public Output {
 public:
  struct Pieces {
    std::string prefix, extension;
    std::string header, footer;
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;
    bool force = false;
  };

  explicit SplitOutput(Pieces pieces) : pieces_(std::move(pieces)) {}
  ~SplitOutput() override;
  SplitOutput(const SplitOutput&) = delete;
  SplitOutput& operator=(const SplitOutput&) = delete;

  bool WantsRecordEnds() const override { return true; }
  // One whole record at a time: it opens a piece, or the next one when this
  // one has no room left for it.
  void Write(const char* data, std::size_t size) override;
  void RecordEnd() override;
  // Ends the last piece.
  void Finish();
  // The pieces written whole so far, for a run that fails half-way.
  std::string Complete() const;

 private:
  std::string Name(std::uint64_t n) const;
  void Open();
  void Close();
  void Put(const char* data, std::size_t size);

  Pieces pieces_;
  int fd_ = -1;
  std::uint64_t done_ = 0;     // pieces written whole
  std::uint64_t records_ = 0;  // in the open piece
  std::uint64_t bytes_ = 0;    // in the open piece
};

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_SPLIT_OUTPUT_H_
