#ifndef QUILLET_TOOLS_DUMP_PROGRESS_H_
#define QUILLET_TOOLS_DUMP_PROGRESS_H_

#include <chrono>
#include <cstdint>

namespace quillet_dump {

// One line on standard error, rewritten at most ten times a second and
// erased when the Progress goes away, for long runs on large files. Only
// for a terminal: it moves the cursor. One thread at a time.
class Progress {
 public:
  // `total`: the size of the input in bytes.
  explicit Progress(std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // `done` bytes of the input read, `records` records seen.
  void Update(std::uint64_t done, std::uint64_t records);

 private:
  using Clock = std::chrono::steady_clock;
  std::uint64_t total_;
  Clock::time_point start_, last_;
};

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_PROGRESS_H_
