// quillet-dump: prints, counts, checks and indexes ISO 2709 record files.
// Argument parsing, file access and progress live here; the reading and
// formatting are in dump.cc and formats.cc.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "dump.h"

namespace {

using quillet_dump::Dumper;
using quillet_dump::Format;
using quillet_dump::Mode;
using quillet_dump::Options;
using quillet_dump::Stats;

constexpr int kExitClean = 0;
constexpr int kExitBadRecords = 1;
constexpr int kExitUsage = 2;
constexpr std::uint64_t kProgressMinBytes = 64ull << 20;

// A read-only view of a whole file: mapped when it can be, read otherwise
// (pipes, /dev/stdin, file systems without mmap).
class FileBytes {
 public:
  // Returns false with errno set when the file cannot be opened or read.
  bool Open(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY);
    if (fd_ < 0) return false;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return false;
    }
    regular_ = S_ISREG(st.st_mode);
    if (regular_ && st.st_size > 0) {
      void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd_, 0);
      if (map != MAP_FAILED) {
        ::madvise(map, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
        map_ = static_cast<const char*>(map);
        size_ = static_cast<size_t>(st.st_size);
        return true;
      }
    }
    char chunk[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      if (n == 0) break;
      copy_.append(chunk, static_cast<size_t>(n));
    }
    return true;
  }
  ~FileBytes() {
    if (map_) ::munmap(const_cast<char*>(map_), size_);
    if (fd_ >= 0) ::close(fd_);
  }
  const char* data() const { return map_ ? map_ : copy_.data(); }
  size_t size() const { return map_ ? size_ : copy_.size(); }
  bool regular() const { return regular_; }

 private:
  int fd_ = -1;
  bool regular_ = false;
  const char* map_ = nullptr;
  size_t size_ = 0;
  std::string copy_;
};

// One line on stderr, rewritten at most ten times a second and erased at
// the end, for long runs on large files.
class Progress {
 public:
  Progress(std::uint64_t total) : total_(total), start_(Clock::now()), last_(start_) {}
  ~Progress() { std::fputs("\r\033[K", stderr); }
  void Update(std::uint64_t done, std::uint64_t records) {
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

 private:
  using Clock = std::chrono::steady_clock;
  std::uint64_t total_;
  Clock::time_point start_, last_;
};

bool ModePrintsPerRecord(Mode mode) { return mode == Mode::kPrint || mode == Mode::kIndex; }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Prints, counts, checks and indexes ISO 2709 (MARC) record files.\n"
      "Reads standard input when no FILE is given or FILE is -.",
      "quillet-dump"};
  app.set_version_flag("--version", std::string("quillet-dump ") + QUILLET_VERSION);

  std::vector<std::string> files;
  Options options;
  bool count = false, check = false, index = false;
  const std::map<std::string, Format> formats{
      {"mrk", Format::kMrk}, {"line", Format::kLine}, {"json", Format::kJson}};

  app.add_option("FILE", files, "Record files, read in order");
  std::string format_name = "mrk";
  app.add_option("-f,--format", format_name, "Output format: mrk (default), line or json")
      ->check(CLI::IsMember({"mrk", "line", "json"}));
  auto* count_flag = app.add_flag("--count", count, "Print the number of records per file");
  auto* check_flag =
      app.add_flag("--check", check, "Parse every record completely; report only problems");
  auto* index_flag = app.add_flag(
      "--index", index, "One line per record: ordinal, byte offset, length, control number, MD5");
  count_flag->excludes(check_flag, index_flag);
  check_flag->excludes(index_flag);
  app.add_option("--offset", options.offset, "Skip the first N records")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--limit", options.limit, "Stop after N records")->check(CLI::NonNegativeNumber);
  app.add_option("-t,--tag", options.tags, "Print only fields with this tag (repeatable)")
      ->allow_extra_args(false)
      ->check([](const std::string& tag) {
        return tag.size() == 3 ? std::string() : "a tag is three characters: " + tag;
      });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitClean : kExitUsage;
  }
  options.format = formats.at(format_name);
  if (count) options.mode = Mode::kCount;
  if (check) options.mode = Mode::kCheck;
  if (index) options.mode = Mode::kIndex;
  if (files.empty()) files.push_back("-");

  std::ios::sync_with_stdio(false);
  Dumper dumper(options, std::cout, std::cerr);
  Stats total;
  bool unopened = false;
  const bool stderr_tty = ::isatty(STDERR_FILENO) == 1;
  const bool stdout_tty = ::isatty(STDOUT_FILENO) == 1;

  for (const std::string& file : files) {
    Stats stats;
    if (file == "-") {
      stats = dumper.DumpStream("<stdin>", std::cin);
    } else {
      FileBytes bytes;
      if (!bytes.Open(file)) {
        std::cerr << "quillet-dump: cannot open " << file << ": " << std::strerror(errno) << '\n';
        unopened = true;
        continue;
      }
      const bool show_progress = stderr_tty && bytes.regular() &&
                                 bytes.size() >= kProgressMinBytes &&
                                 (!stdout_tty || !ModePrintsPerRecord(options.mode));
      if (show_progress) {
        Progress progress(bytes.size());
        dumper.set_erase_line_before_reports(true);
        stats = dumper.DumpMemory(file, bytes.data(), bytes.size(),
                                  [&progress](std::uint64_t done, std::uint64_t records) {
                                    progress.Update(done, records);
                                  });
        dumper.set_erase_line_before_reports(false);
      } else {
        stats = dumper.DumpMemory(file, bytes.data(), bytes.size());
      }
    }
    if (options.mode == Mode::kCount) {
      std::cout << stats.records << ' ' << file << '\n';
    }
    total += stats;
  }

  if (options.mode == Mode::kCount && files.size() > 1) {
    std::cout << total.records << " total\n";
  }
  std::cout.flush();
  if (options.mode == Mode::kCheck) {
    std::cerr << "quillet-dump: " << total.records << " records read, " << total.bad_records
              << " with errors, " << total.bytes_skipped << " bytes skipped\n";
  }
  if (unopened) return kExitUsage;
  return total.bad_records > 0 ? kExitBadRecords : kExitClean;
}
