// quillet-dump: prints, counts, checks and indexes ISO 2709 record files.
// The arguments are read in command_line.cc, the records read and formatted
// in dump.cc through the library's text and formats layers; here is the run: the outputs, the files
// one after another, the summary and the exit code.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "command_line.h"
#include "dump.h"
#include "progress.h"
#include "split_output.h"
#include "stdout_output.h"

namespace {

using quillet::Format;
using quillet::kMarcXmlFooter;
using quillet::kMarcXmlHeader;
using quillet_dump::CommandLine;
using quillet_dump::Dumper;
using quillet_dump::kExitBadRecords;
using quillet_dump::kExitClean;
using quillet_dump::kExitFailure;
using quillet_dump::Mode;
using quillet_dump::Options;
using quillet_dump::Output;
using quillet_dump::ParseCommandLine;
using quillet_dump::ParsedCommandLine;
using quillet_dump::Progress;
using quillet_dump::ProgressFn;
using quillet_dump::SplitOutput;
using quillet_dump::Stats;
using quillet_dump::StdoutOutput;
using quillet_dump::WriteError;

constexpr std::uint64_t kProgressMinBytes = 64ull << 20;

// "1 record", "2 records".
std::string Counted(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

const char* Extension(Format format) {
  switch (format) {
    case Format::kMnemonic: return "mrk";
    case Format::kLine: return "txt";
    case Format::kJson: return "jsonl";
    case Format::kMarcXml: return "xml";
    case Format::kIso2709: return "mrc";
  }
  return "";
}

// Dumps one input ("-" for standard input) into `stats`, with a progress
// line when `progress_wanted` and the input is a big file. False, with the
// reason on stderr, when it cannot be opened, looks like another format than
// the one asked for, or holds no record.
bool DumpFile(const CommandLine& command, const std::string& file, bool progress_wanted,
              Dumper& dumper, Stats* stats) {
  const Options& options = command.options;
  const bool parallel = command.parallel();
  const std::string path = file == "-" ? "/dev/stdin" : file;
  std::unique_ptr<quillet::Reader> reader;
  quillet::Reader::Options reader_options;
  reader_options.format = options.input_format;
  // Workers parse in parallel runs; a plain count needs only framing.
  reader_options.fields =
      !parallel && !(options.mode == Mode::kCount && options.where.empty() && !options.by_ids);
  try {
    reader.reset(new quillet::Reader(path, reader_options));
  } catch (const std::system_error& e) {
    std::cerr << "quillet-dump: cannot open " << (file == "-" ? "standard input" : file) << ": "
              << std::strerror(e.code().value()) << '\n';
    return false;
  }
  if (reader->format() == quillet::InputFormat::kIso2709) {
    const std::string reason = quillet::nonIso2709Reason(reader->head(512));
    if (!reason.empty()) {
      std::cerr << "quillet-dump: " << file << ": " << reason << '\n';
      return false;
    }
  }
  const std::string head(reader->head(32));  // for the words if it holds no record
  struct stat st;
  const bool big = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                   static_cast<std::uint64_t>(st.st_size) >= kProgressMinBytes;
  if (big && progress_wanted) {
    Progress progress(static_cast<std::uint64_t>(st.st_size));
    dumper.set_erase_line_before_reports(true);
    const ProgressFn update = [&progress](std::uint64_t done, std::uint64_t n) {
      progress.Update(done, n);
    };
    *stats = parallel ? dumper.DumpParallel(file, *reader, command.jobs, update)
                      : dumper.Dump(file, *reader, update);
    dumper.set_erase_line_before_reports(false);
  } else {
    *stats =
        parallel ? dumper.DumpParallel(file, *reader, command.jobs) : dumper.Dump(file, *reader);
  }
  if (stats->no_record) {
    std::cerr << "quillet-dump: " << file << ": "
              << quillet::noRecordMessage(reader->format(), head) << '\n';
    return false;
  }
  return true;
}

// The last line of --check.
std::string CheckSummary(const Stats& total) {
  std::string summary = "quillet-dump: " + Counted(total.records, "record", "records") + " read";
  if (total.bad_records > 0) {
    summary += ", " + std::to_string(total.bad_records) + " with problems";
  }
  if (total.bytes_skipped > 0) {
    summary += ", " + Counted(total.bytes_skipped, "byte", "bytes") + " skipped";
  }
  return summary + '\n';
}

void WriteText(Output& out, const std::string& text) { out.Write(text.data(), text.size()); }

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe is a write error like any other (exit 2, as documented),
  // not a signal that ends the run unannounced.
  std::signal(SIGPIPE, SIG_IGN);
  const ParsedCommandLine parsed = ParseCommandLine(argc, argv);
  if (!parsed.run) {
    std::cout << parsed.out;
    std::cerr << parsed.err;
    return parsed.exit_code;
  }
  const CommandLine& command = parsed.command;
  const Options& options = command.options;
  const bool split = command.split();
  const bool xml = options.format == Format::kMarcXml;
  StdoutOutput stdout_output;
  SplitOutput split_output({command.prefix, Extension(options.format), xml ? kMarcXmlHeader : "",
                            xml ? kMarcXmlFooter : "", command.split_records, command.split_bytes,
                            command.force});
  Output& out = split ? static_cast<Output&>(split_output) : static_cast<Output&>(stdout_output);
  Dumper dumper(options, out, std::cerr);
  // The progress line would mix with records printed on the terminal.
  const bool prints = options.mode == Mode::kPrint || options.mode == Mode::kIndex;
  const bool progress_wanted =
      ::isatty(STDERR_FILENO) == 1 && !options.quiet && (::isatty(STDOUT_FILENO) != 1 || !prints);
  const bool collection = !split && options.mode == Mode::kPrint && xml;
  Stats total;
  bool failed = false;  // an input that could not be read, or is not ISO 2709
  try {
    if (collection) WriteText(out, kMarcXmlHeader);
    for (const std::string& file : command.files) {
      Stats stats;
      if (!DumpFile(command, file, progress_wanted, dumper, &stats)) {
        failed = true;
        continue;
      }
      if (options.mode == Mode::kCount) {
        WriteText(out, std::to_string(stats.records) + ' ' + file + '\n');
      }
      total += stats;
    }
    if (options.mode == Mode::kCount && command.files.size() > 1) {
      WriteText(out, std::to_string(total.records) + " total\n");
    }
    if (collection) WriteText(out, kMarcXmlFooter);
    if (split) split_output.Finish();
    if (options.mode == Mode::kStats) WriteText(out, dumper.stats().Table());
  } catch (const WriteError& e) {
    std::cerr << "quillet-dump: cannot write output: " << e.what() << '\n';
    if (split) std::cerr << "quillet-dump: " << split_output.Complete() << '\n';
    return kExitFailure;
  }

  if (options.mode == Mode::kCheck && !options.quiet) std::cerr << CheckSummary(total);
  if (failed || total.read_error) return kExitFailure;
  const bool reported = total.bad_records > 0 || total.stray_problems > 0;
  return reported && options.mode != Mode::kCount ? kExitBadRecords : kExitClean;
}
