#ifndef QUILLET_TOOLS_DUMP_COMMAND_LINE_H_
#define QUILLET_TOOLS_DUMP_COMMAND_LINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "dump.h"

namespace quillet_dump {

constexpr int kExitClean = 0;
constexpr int kExitBadRecords = 1;
constexpr int kExitFailure = 2;

// What a run of quillet-dump is asked to do, checked.
struct CommandLine {
  Options options;                 // for the Dumper; --ids already loaded
  std::vector<std::string> files;  // in order; "-" (standard input) when none is named
  unsigned jobs = 1;
  // --split and --split-size: 0 for no limit; both 0 for no splitting.
  std::uint64_t split_records = 0;
  std::uint64_t split_bytes = 0;
  std::string prefix;  // -o
  bool force = false;

  bool split() const { return split_records != 0 || split_bytes != 0; }
  // Whether the records go through Dumper::DumpParallel.
  bool parallel() const { return jobs > 1 && !split() && Dumper::Parallel(options); }
};

// What parsing gave: a run to do (`run` true), or text to print and the exit
// code to end with: the help and the version on standard output with 0, a
// refusal on standard error with kExitFailure. The texts are whole lines,
// ready to write.
struct ParsedCommandLine {
  bool run = false;
  CommandLine command;
  int exit_code = kExitClean;
  std::string out;
  std::string err;
};

// Reads quillet-dump's arguments (argv[0] included, and not looked at) and
// checks them; reads the --ids file. Never writes anything itself.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv);

// Loads the --ids file into `options` (by_ids, ids, id_text): one 001 per
// line, a line ending in CR LF as one ending in LF, blank lines ignored.
// False, with the message in `error`, when the file cannot be read.
bool LoadIds(const std::string& path, Options* options, std::string* error);

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_COMMAND_LINE_H_
