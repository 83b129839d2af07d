// quillet-json-bench RUNS FILE...: MARC-in-JSON converted to ISO 2709 by
// quillet::Reader. Each run reads every FILE in turn (one big file, or many
// small ones for a per-file cost) and writes each record's bytes to
// standard output through a 1 MB buffer, as a converter would; prints the
// median of RUNS runs, and each run's time on standard error.
#include <quillet/view.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
  double seconds = 0;
  unsigned long long records = 0;
  unsigned long long problems = 0;
  unsigned long long bytes = 0;
};

Run Convert(const std::vector<std::string>& paths) {
  constexpr std::size_t kFlush = 1 << 20;
  std::string out;
  out.reserve(2 * kFlush);
  Run run;
  const Clock::time_point start = Clock::now();
  quillet::Reader::Options options;
  options.format = quillet::InputFormat::kJson;
  quillet::RecordView rec;
  for (const std::string& path : paths) {
    quillet::Reader reader(path, options);
    while (reader.next(rec)) {
      ++run.records;
      run.problems += rec.problems().size();
      out.append(rec.bytes().data(), rec.bytes().size());
      if (out.size() >= kFlush) {
        run.bytes += std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
      }
    }
    run.problems += reader.problems().size();
  }
  run.bytes += std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: quillet-json-bench RUNS FILE...\n");
    return 2;
  }
  const int runs = std::max(1, std::atoi(argv[1]));
  const std::vector<std::string> paths(argv + 2, argv + argc);
  std::vector<double> times;
  Run last;
  for (int i = 0; i < runs; ++i) {
    last = Convert(paths);
    times.push_back(last.seconds);
    std::fprintf(stderr, "run %d: %.4f s\n", i + 1, last.seconds);
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::fprintf(stderr,
               "%zu files, %llu records, %llu problems, %llu bytes of ISO 2709; median of %d: %.4f "
               "s, %.0f records/s\n",
               paths.size(), last.records, last.problems, last.bytes, runs, median,
               last.records / median);
  return 0;
}
