// quillet-dump: prints, counts, checks and indexes ISO 2709 record files.
// Argument parsing and exit codes live here; the outputs and the progress
// line in their own files, the reading and formatting in dump.cc and
// formats.cc.
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <algorithm>
#include <vector>

#include "dump.h"
#include "progress.h"
#include "split_output.h"
#include "stdout_output.h"

namespace {

using quillet_dump::Dumper;
using quillet_dump::Format;
using quillet_dump::Mode;
using quillet_dump::Options;
using quillet_dump::Progress;
using quillet_dump::SplitOutput;
using quillet_dump::Stats;
using quillet_dump::StdoutOutput;

constexpr int kExitClean = 0;
constexpr int kExitBadRecords = 1;
constexpr int kExitFailure = 2;
constexpr std::uint64_t kProgressMinBytes = 64ull << 20;

// "1 record", "2 records".
std::string Counted(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

// A whole number from 0 to 2^64 - 1, digits only.
bool ParseCount(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// A size such as 100M, 512K, 2G or 1000000 (bytes); false for anything else.
bool ParseSize(const std::string& text, std::uint64_t* bytes) {
  if (text.empty()) return false;
  std::uint64_t unit = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'K': case 'k': unit = 1ull << 10; break;
    case 'M': case 'm': unit = 1ull << 20; break;
    case 'G': case 'g': unit = 1ull << 30; break;
    default: break;
  }
  if (unit != 1) digits.pop_back();
  std::uint64_t n = 0;
  if (!ParseCount(digits, &n) || n == 0 || n > UINT64_MAX / unit) return false;
  *bytes = n * unit;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Prints, counts, checks and indexes ISO 2709 (MARC) record files, damaged ones\n"
      "included. Reads standard input when no FILE is given or FILE is -.",
      "quillet-dump"};
  app.set_version_flag("--version", std::string("quillet-dump ") + QUILLET_VERSION);

  std::vector<std::string> files;
  Options options;
  bool count = false, check = false, index = false, stats = false;
  std::string format_name = "mrk", offset_text, limit_text;
  std::vector<std::string> tags;
  const std::map<std::string, Format> formats{
      {"mrk", Format::kMrk}, {"line", Format::kLine}, {"json", Format::kJson},
      {"xml", Format::kXml}, {"marc", Format::kMarc}};

  app.add_option("FILE", files, "Record files, read in order");
  app.add_option("-f,--format", format_name,
                 "Output format: mrk (default), line, json (JSON Lines), xml (MARCXML) or "
                 "marc (ISO 2709)")
      ->check(CLI::IsMember({"mrk", "line", "json", "xml", "marc"}));
  auto* count_flag = app.add_flag("--count", count, "Print the number of records per file");
  auto* check_flag = app.add_flag("--check", check, "Report structural problems only");
  auto* index_flag = app.add_flag(
      "--index", index, "One line per record: [file,] ordinal, byte offset, length, 001, MD5");
  auto* stats_flag = app.add_flag(
      "--stats", stats,
      "Tab-separated counts: records, bytes, problems by kind, and per tag and per tag and "
      "subfield code the records holding it and its occurrences");
  count_flag->excludes(check_flag, index_flag, stats_flag);
  check_flag->excludes(index_flag, stats_flag);
  index_flag->excludes(stats_flag);
  std::string charset_name = "auto";
  app.add_option("--charset", charset_name,
                 "How text is read: auto (leader/09 and the bytes), marc8, utf8, raw (bytes as they are)")
      ->check(CLI::IsMember({"auto", "marc8", "utf8", "raw"}));
  app.add_flag("--nfc", options.nfc, "Compose the text to Unicode normalization form C");
  app.add_flag("--check-encoding", options.check_encoding,
               "Also report text that cannot be decoded and leaders that name the wrong encoding");
  app.add_flag("--strict", options.strict,
               "Also report what the classic interface throws (control number included), and "
               "encoding problems");
  app.add_flag("-q,--quiet", options.quiet, "Report no problems; the exit code still tells");
  app.add_option("--offset", offset_text, "Skip the first N records of each file");
  app.add_option("--limit", limit_text, "Stop after N records of each file");
  app.add_option("-t,--tag", tags, "Print only fields whose tag matches: 245, 6XX, 6.. (repeatable)")
      ->allow_extra_args(false);
  std::vector<std::string> where;
  std::string ids_file;
  app.add_option("--where", where,
                 "Keep records where: TAG?, TAG=VALUE, TAG~TEXT, TAG$CODE?, TAG$CODE=VALUE or "
                 "TAG$CODE~TEXT holds (repeatable: all must)")
      ->allow_extra_args(false);
  app.add_option("--ids", ids_file, "Keep records whose 001 is one of the lines of this file");
  std::string split_text, split_size_text, prefix;
  bool force = false;
  app.add_option("--split", split_text, "Write the records N per file: PREFIX-00001.EXT, ...");
  app.add_option("--split-size", split_size_text,
                 "Write the records in files of at most SIZE bytes (100M, 512K, 2G)");
  app.add_option("-o,--output", prefix, "The PREFIX of the files of --split and --split-size");
  app.add_flag("--force", force, "Overwrite the files --split writes when they exist");
  std::string jobs_text;
  app.add_option("-j,--jobs", jobs_text,
                 "Parse and format records on N threads (default: the number of cores); the "
                 "output is the same");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitClean : kExitFailure;
  }
  if (!offset_text.empty() && !ParseCount(offset_text, &options.offset)) {
    std::cerr << "quillet-dump: --offset must be a whole number from 0\n";
    return kExitFailure;
  }
  if (!limit_text.empty() && !ParseCount(limit_text, &options.limit)) {
    std::cerr << "quillet-dump: --limit must be a whole number from 0\n";
    return kExitFailure;
  }
  for (const std::string& tag : tags) {
    if (!quillet::isTagPattern(tag)) {
      std::cerr << "quillet-dump: --tag " << tag
                << " can match no tag: a pattern is three characters, such as 245, 6XX or 6..\n";
      return kExitFailure;
    }
  }
  std::uint64_t split_records = 0, split_bytes = 0;
  if (!split_text.empty() && (!ParseCount(split_text, &split_records) || split_records == 0)) {
    std::cerr << "quillet-dump: --split must be a whole number from 1\n";
    return kExitFailure;
  }
  if (!split_size_text.empty() && !ParseSize(split_size_text, &split_bytes)) {
    std::cerr << "quillet-dump: --split-size must be a size such as 100M, 512K or 1000000\n";
    return kExitFailure;
  }
  const bool split = split_records != 0 || split_bytes != 0;
  std::uint64_t jobs = std::max(1u, std::thread::hardware_concurrency());
  if (!jobs_text.empty() && (!ParseCount(jobs_text, &jobs) || jobs == 0 || jobs > 1024)) {
    std::cerr << "quillet-dump: --jobs must be a whole number from 1 to 1024\n";
    return kExitFailure;
  }
  if (split != !prefix.empty()) {
    std::cerr << "quillet-dump: --split and --split-size go with -o PREFIX, and -o with them\n";
    return kExitFailure;
  }
  options.filter.patterns = tags;
  for (const std::string& expr : where) {
    quillet_dump::Condition condition;
    std::string error;
    if (!quillet_dump::ParseCondition(expr, &condition, &error)) {
      std::cerr << "quillet-dump: --where " << expr << ": " << error << '\n';
      return kExitFailure;
    }
    options.where.push_back(condition);
  }
  if (!ids_file.empty()) {
    std::ifstream ids(ids_file, std::ios::binary);
    if (!ids) {
      std::cerr << "quillet-dump: cannot open " << ids_file << ": " << std::strerror(errno) << '\n';
      return kExitFailure;
    }
    options.by_ids = true;
    auto text = std::make_shared<std::string>((std::istreambuf_iterator<char>(ids)),
                                              std::istreambuf_iterator<char>());
    for (std::size_t at = 0; at < text->size();) {
      std::size_t end = text->find('\n', at);
      if (end == std::string::npos) end = text->size();
      std::string_view line(text->data() + at, end - at);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!line.empty()) options.ids.insert(line);
      at = end + 1;
    }
    options.id_text = text;
  }
  options.format = formats.at(format_name);
  const std::map<std::string, quillet_dump::Charset> charsets{
      {"auto", quillet_dump::Charset::kAuto},
      {"marc8", quillet_dump::Charset::kMarc8},
      {"utf8", quillet_dump::Charset::kUtf8},
      {"raw", quillet_dump::Charset::kRaw}};
  options.charset = charsets.at(charset_name);
  if (count) options.mode = Mode::kCount;
  if (check) options.mode = Mode::kCheck;
  if (index) options.mode = Mode::kIndex;
  if (stats) options.mode = Mode::kStats;
  if (files.empty()) files.push_back("-");
  options.file_column = files.size() > 1;

  if (split && options.mode != Mode::kPrint) {
    std::cerr << "quillet-dump: --split writes records: it goes with no --count, --check, --index or --stats\n";
    return kExitFailure;
  }
  StdoutOutput stdout_output;
  const std::map<Format, const char*> extensions{{Format::kMrk, "mrk"}, {Format::kLine, "txt"},
                                                 {Format::kJson, "jsonl"}, {Format::kXml, "xml"},
                                                 {Format::kMarc, "mrc"}};
  const bool xml_pieces = options.format == Format::kXml;
  SplitOutput split_output({prefix, extensions.at(options.format),
                            xml_pieces ? quillet_dump::kXmlHeader : "",
                            xml_pieces ? quillet_dump::kXmlFooter : "", split_records, split_bytes,
                            force});
  quillet_dump::Output& out = split ? static_cast<quillet_dump::Output&>(split_output)
                                    : static_cast<quillet_dump::Output&>(stdout_output);
  Dumper dumper(options, out, std::cerr);
  Stats total;
  bool failed = false;  // an input that could not be read, or is not ISO 2709
  const bool stderr_tty = ::isatty(STDERR_FILENO) == 1;
  const bool stdout_tty = ::isatty(STDOUT_FILENO) == 1;

  const bool xml = !split && options.mode == Mode::kPrint && options.format == Format::kXml;
  const bool parallel = jobs > 1 && !split && Dumper::Parallel(options);
  try {
    if (xml) out.Write(quillet_dump::kXmlHeader, std::strlen(quillet_dump::kXmlHeader));
    for (const std::string& file : files) {
      const std::string path = file == "-" ? "/dev/stdin" : file;
      std::unique_ptr<quillet::Reader> reader;
      quillet::Reader::Options reader_options;
      // Workers parse in parallel runs; a plain count needs only framing.
      reader_options.fields =
          !parallel && !(options.mode == Mode::kCount && options.where.empty() && !options.by_ids);
      try {
        reader.reset(new quillet::Reader(path, reader_options));
      } catch (const std::system_error& e) {
        std::cerr << "quillet-dump: cannot open " << (file == "-" ? "standard input" : file)
                  << ": " << std::strerror(e.code().value()) << '\n';
        failed = true;
        continue;
      }
      const std::string reason = quillet::nonIso2709Reason(reader->head(64));
      if (!reason.empty()) {
        std::cerr << "quillet-dump: " << file << ": " << reason << '\n';
        failed = true;
        continue;
      }
      struct stat st;
      const bool big = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                       static_cast<std::uint64_t>(st.st_size) >= kProgressMinBytes;
      const bool prints = options.mode == Mode::kPrint || options.mode == Mode::kIndex;
      Stats stats;
      if (big && stderr_tty && !options.quiet && (!stdout_tty || !prints)) {
        Progress progress(static_cast<std::uint64_t>(st.st_size));
        dumper.set_erase_line_before_reports(true);
        const quillet_dump::ProgressFn update = [&progress](std::uint64_t done, std::uint64_t n) {
          progress.Update(done, n);
        };
        stats = parallel ? dumper.DumpParallel(file, *reader, static_cast<unsigned>(jobs), update)
                         : dumper.Dump(file, *reader, update);
        dumper.set_erase_line_before_reports(false);
      } else if (parallel) {
        stats = dumper.DumpParallel(file, *reader, static_cast<unsigned>(jobs));
      } else {
        stats = dumper.Dump(file, *reader);
      }
      if (options.mode == Mode::kCount) {
        const std::string line = std::to_string(stats.records) + ' ' + file + '\n';
        out.Write(line.data(), line.size());
      }
      total += stats;
    }
    if (options.mode == Mode::kCount && files.size() > 1) {
      const std::string line = std::to_string(total.records) + " total\n";
      out.Write(line.data(), line.size());
    }
    if (xml) out.Write(quillet_dump::kXmlFooter, std::strlen(quillet_dump::kXmlFooter));
    if (split) split_output.Finish();
    if (options.mode == Mode::kStats) {
      const std::string table = dumper.stats().Table();
      out.Write(table.data(), table.size());
    }
  } catch (const quillet_dump::WriteError& e) {
    std::cerr << "quillet-dump: cannot write output: " << e.what() << '\n';
    if (split) std::cerr << "quillet-dump: " << split_output.Complete() << '\n';
    return kExitFailure;
  }

  if (options.mode == Mode::kCheck && !options.quiet) {
    std::string summary = "quillet-dump: " + Counted(total.records, "record", "records") + " read";
    if (total.bad_records > 0) summary += ", " + std::to_string(total.bad_records) + " with problems";
    if (total.bytes_skipped > 0) {
      summary += ", " + Counted(total.bytes_skipped, "byte", "bytes") + " skipped";
    }
    std::cerr << summary << '\n';
  }
  if (failed || total.read_error) return kExitFailure;
  const bool reported = total.bad_records > 0 || total.stray_problems > 0;
  return reported && options.mode != Mode::kCount ? kExitBadRecords : kExitClean;
}
