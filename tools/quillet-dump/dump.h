#ifndef QUILLET_TOOLS_DUMP_DUMP_H_
#define QUILLET_TOOLS_DUMP_DUMP_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <limits>
#include <string>
#include <vector>

#include "formats.h"

namespace quillet_dump {

enum class Mode { kPrint, kCount, kCheck, kIndex };

struct Options {
  Mode mode = Mode::kPrint;
  Format format = Format::kMrk;
  std::uint64_t offset = 0;  // records skipped first
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::string> tags;  // three bytes each; empty: every field
};

struct Stats {
  std::uint64_t records = 0;        // records the library accepted
  std::uint64_t bad_records = 0;    // records with at least one reported problem
  std::uint64_t bytes_skipped = 0;  // filler between records and bytes lost to damage
  Stats& operator+=(const Stats& o);
};

// Called now and then with the bytes consumed and records seen so far.
using ProgressFn = std::function<void(std::uint64_t bytes_done, std::uint64_t records)>;

// Reads record files and writes what the options ask for: records to `out`,
// one line per problem to `err` ("NAME: record N at byte O: MESSAGE").
// Holds no state between inputs beyond its options; one thread at a time.
class Dumper {
 public:
  Dumper(Options options, std::ostream& out, std::ostream& err);

  // A whole file in memory. A bad record length does not end the input:
  // the scan resumes after the next record terminator (0x1D). Line feeds,
  // carriage returns, NULs, blanks and 0x1A between records are skipped.
  Stats DumpMemory(const std::string& name, const char* data, std::size_t size,
                   const ProgressFn& progress = nullptr);

  // When a progress line is on the terminal, reports first erase it.
  void set_erase_line_before_reports(bool erase) { erase_line_ = erase; }

  // A stream read record by record; a bad record length ends it.
  Stats DumpStream(const std::string& name, std::istream& in);

 private:
  struct Position;
  bool Selected(std::uint64_t ordinal) const;
  bool Done(std::uint64_t ordinal) const;
  // Does what the mode asks with one record; true when it had a problem.
  bool Process(quillet::Record& rec, const Position& at);
  void Report(const Position& at, const std::string& message);
  void Flush();

  Options options_;
  std::ostream& out_;
  std::ostream& err_;
  std::string buffer_;  // output waiting to be written
  bool erase_line_ = false;
};

// True for the bytes that may stand between records without being an error.
inline bool IsFiller(char c) {
  return c == '\n' || c == '\r' || c == '\0' || c == ' ' || c == '\x1A';
}

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_DUMP_H_
