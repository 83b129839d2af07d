#include "progress.h"

#include <cstdio>

namespace quillet_dump {

Progress::Progress(std::uint64_t total) : total_(total), start_(Clock::now()), last_(start_) {}

Progress::~Progress() { std::fputs("\r\033[K", stderr); }

void Progress::Update(std::uint64_t done, std::uint64_t records) {
  if ((records & 255) != 0) return;  // look at the clock only now and then
  const Clock::time_point now = Clock::now();
  if (now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::fprintf(stderr, "\r\033[K%llu / %llu MiB, %llu records, %.0f records/s",
               static_cast<unsigned long long>(done >> 20),
               static_cast<unsigned long long>(total_ >> 20),
               static_cast<unsigned long long>(records), seconds > 0 ? records / seconds : 0.0);
  std::fflush(stderr);
}

}  // namespace quillet_dump
