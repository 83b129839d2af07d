// marcxml-bench FILE: MARCXML to ISO 2709 through quillet::Reader, the way
// a converter does it: each record's bytes appended to an output buffer
// (emptied every MiB, so the buffer's size does not count). Prints the
// records, the ISO 2709 bytes and the seconds; time the whole process (and
// its peak memory) from outside against another converter.
#include <quillet/view.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: marcxml-bench FILE\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  quillet::Reader::Options options;
  options.format = quillet::InputFormat::kMarcXml;
  quillet::Reader reader(argv[1], options);
  quillet::RecordView rec;
  std::string out;
  std::uint64_t records = 0, bytes = 0, problems = 0;
  while (reader.next(rec)) {
    ++records;
    problems += rec.problems().size();
    out.append(rec.bytes());
    if (out.size() >= (std::size_t{1} << 20)) {
      bytes += out.size();
      out.clear();
    }
  }
  bytes += out.size();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%llu records, %llu bytes of ISO 2709, %llu problems, %.3f s\n",
              static_cast<unsigned long long>(records), static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(problems + reader.problems().size()), seconds);
  return 0;
}
