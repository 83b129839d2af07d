#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>

namespace quillet_dump {

namespace {

using quillet::Format;

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
    case 'K':
    case 'k': unit = 1ull << 10; break;
    case 'M':
    case 'm': unit = 1ull << 20; break;
    case 'G':
    case 'g': unit = 1ull << 30; break;
    default: break;
  }
  if (unit != 1) digits.pop_back();
  std::uint64_t n = 0;
  if (!ParseCount(digits, &n) || n == 0 || n > UINT64_MAX / unit) return false;
  *bytes = n * unit;
  return true;
}

ParsedCommandLine Refusal(const std::string& message) {
  ParsedCommandLine refused;
  refused.exit_code = kExitFailure;
  refused.err = "quillet-dump: " + message + '\n';
  return refused;
}

}  // namespace

bool LoadIds(const std::string& path, Options* options, std::string* error) {
  std::ifstream ids(path, std::ios::binary);
  if (!ids) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  options->by_ids = true;
  auto text = std::make_shared<std::string>((std::istreambuf_iterator<char>(ids)),
                                            std::istreambuf_iterator<char>());
  for (std::size_t at = 0; at < text->size();) {
    std::size_t end = text->find('\n', at);
    if (end == std::string::npos) end = text->size();
    std::string_view line(text->data() + at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) options->ids.insert(line);
    at = end + 1;
  }
  options->id_text = text;
  return true;
}

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv) {
  CLI::App app{
      "Prints, counts, checks, indexes and converts MARC record files (ISO 2709,\n"
      "MARCXML, MARC-in-JSON, mnemonic text), damaged ones included. Reads standard\n"
      "input when no FILE is given or FILE is -.",
      "quillet-dump"};
  app.set_version_flag("--version", std::string("quillet-dump ") + QUILLET_VERSION);

  ParsedCommandLine parsed;
  CommandLine& command = parsed.command;
  Options& options = command.options;
  bool count = false, check = false, index = false, stats = false;
  std::string format_name = "mrk", offset_text, limit_text, max_problems_text;
  std::vector<std::string> tags;
  // Output formats by the names of this tool and the ones users bring.
  const std::map<std::string, Format> formats{
      {"mrk", Format::kMnemonic}, {"mnemonic", Format::kMnemonic}, {"line", Format::kLine},
      {"json", Format::kJson},    {"xml", Format::kMarcXml},       {"marcxml", Format::kMarcXml},
      {"marc", Format::kIso2709}, {"iso2709", Format::kIso2709},   {"usmarc", Format::kIso2709}};

  app.add_option("FILE", command.files, "Record files, read in order")->type_name("FILE");
  app.add_option("-f,-o,--format", format_name,
                 "Output format: mrk (default), line, json (JSON Lines), xml (MARCXML) or "
                 "marc (ISO 2709)")
      ->transform(CLI::detail::to_lower)
      ->check([&formats](const std::string& name) {
        return formats.count(name) != 0
                   ? std::string()
                   : "unknown output format \"" + name + "\": use mrk, line, json, xml or marc";
      })
      ->type_name("FORMAT");
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
  std::string input_name = "auto";
  app.add_option("-i,--input-format", input_name,
                 "Input format: auto (default: told from the first bytes), marc (ISO 2709; also "
                 "iso2709, usmarc), xml (MARCXML), json (MARC-in-JSON), mrk (mnemonic text)")
      ->type_name("FORMAT")
      ->check([](const std::string& name) {
        quillet::InputFormat format;
        return quillet::parseInputFormat(name, &format)
                   ? std::string()
                   : "unknown input format \"" + name + "\": use auto, marc, xml, json or mrk";
      });
  std::string to_charset_name;
  app.add_option("--to-charset", to_charset_name,
                 "With -f marc, the character set records are written in: utf-8 (the default "
                 "once decoded) or marc8 (leader/09 blank; what MARC-8 lacks as &#xXXXX;)")
      ->type_name("NAME")
      ->check([](const std::string& name) {
        quillet::Charset charset;
        return quillet::parseCharset(name, &charset) &&
                       (charset == quillet::Charset::kUtf8 || charset == quillet::Charset::kMarc8)
                   ? std::string()
                   : "unknown charset to write \"" + name + "\": use utf-8 or marc8";
      });
  std::string charset_name = "auto";
  app.add_option("--charset", charset_name,
                 "How text is read: auto (leader/09 and the bytes), marc8, utf-8, raw (bytes as "
                 "they are)")
      ->type_name("NAME")
      ->check([](const std::string& name) {
        quillet::Charset charset;
        return quillet::parseCharset(name, &charset) ? std::string() : quillet::charsetError(name);
      });
  app.add_flag("--nfc", options.nfc, "Compose the text to Unicode normalization form C");
  app.add_flag("--check-encoding", options.check_encoding,
               "Also report text that cannot be decoded and leaders that name the wrong encoding");
  app.add_flag("--strict", options.strict,
               "Also report what the classic interface throws (control number included), and "
               "encoding problems");
  app.add_flag("-q,--quiet", options.quiet, "Report no problems; the exit code still tells");
  app.add_option("--offset", offset_text, "Skip the first N records of each file")->type_name("N");
  app.add_option("--limit", limit_text, "Stop after N records of each file")->type_name("N");
  app.add_option("--max-problems", max_problems_text,
                 "Report at most N problems per record, then how many more (default 20; 0 for "
                 "all)")
      ->type_name("N");
  app.add_option("-t,--tag", tags,
                 "Print only fields whose tag matches: 245, 6XX, 6.. (repeatable)")
      ->allow_extra_args(false)
      ->type_name("TAG");
  std::vector<std::string> where;
  std::string ids_file;
  app.add_option("--where", where,
                 "Keep records where: TAG?, TAG=VALUE, TAG~TEXT, TAG$CODE?, TAG$CODE=VALUE or "
                 "TAG$CODE~TEXT holds (repeatable: all must)")
      ->allow_extra_args(false)
      ->type_name("EXPR");
  app.add_option("--ids", ids_file, "Keep records whose 001 is one of the lines of this file")
      ->type_name("FILE");
  std::string split_text, split_size_text;
  app.add_option("--split", split_text, "Write the records N per file: PREFIX-00001.EXT, ...")
      ->type_name("N");
  app.add_option("--split-size", split_size_text,
                 "Write the records in files of at most SIZE bytes (100M, 512K, 2G)")
      ->type_name("SIZE");
  app.add_option("-s,--prefix,--output", command.prefix,
                 "The PREFIX of the files of --split and --split-size")
      ->type_name("PREFIX");
  app.add_flag("--force", command.force, "Overwrite the files --split writes when they exist");
  std::string jobs_text;
  app.add_option("-j,--jobs", jobs_text,
                 "Parse and format records on N threads (default: the number of cores); the "
                 "output is the same")
      ->type_name("N");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // CLI11 words the help, the version and its own refusals.
    std::ostringstream out, err;
    parsed.exit_code = app.exit(e, out, err) == 0 ? kExitClean : kExitFailure;
    parsed.out = out.str();
    parsed.err = err.str();
    // Every message of the tool says whose it is.
    if (!parsed.err.empty()) parsed.err = "quillet-dump: " + parsed.err;
    return parsed;
  }
  if (!offset_text.empty() && !ParseCount(offset_text, &options.offset)) {
    return Refusal("--offset must be a whole number from 0");
  }
  if (!limit_text.empty() && !ParseCount(limit_text, &options.limit)) {
    return Refusal("--limit must be a whole number from 0");
  }
  if (!max_problems_text.empty() && !ParseCount(max_problems_text, &options.max_problems)) {
    return Refusal("--max-problems must be a whole number from 0");
  }
  for (const std::string& tag : tags) {
    if (!quillet::isTagPattern(tag)) {
      return Refusal("--tag " + tag +
                     " can match no tag: a pattern is three characters, such as 245, 6XX or 6..");
    }
  }
  if (!split_text.empty() &&
      (!ParseCount(split_text, &command.split_records) || command.split_records == 0)) {
    return Refusal("--split must be a whole number from 1");
  }
  if (!split_size_text.empty() && !ParseSize(split_size_text, &command.split_bytes)) {
    return Refusal("--split-size must be a size such as 100M, 512K or 1000000");
  }
  std::uint64_t jobs = std::max(1u, std::thread::hardware_concurrency());
  if (!jobs_text.empty() && (!ParseCount(jobs_text, &jobs) || jobs == 0 || jobs > 1024)) {
    return Refusal("--jobs must be a whole number from 1 to 1024");
  }
  command.jobs = static_cast<unsigned>(jobs);
  if (command.split() != !command.prefix.empty()) {
    return Refusal("--split and --split-size go with -s PREFIX, and -s with them");
  }
  options.filter = quillet::TagFilter(tags);
  for (const std::string& expr : where) {
    Condition condition;
    std::string error;
    if (!ParseCondition(expr, &condition, &error)) return Refusal("--where " + expr + ": " + error);
    options.where.push_back(condition);
  }
  if (!ids_file.empty()) {
    std::string error;
    if (!LoadIds(ids_file, &options, &error)) return Refusal(error);
  }
  options.format = formats.at(format_name);
  quillet::parseCharset(charset_name, &options.charset);
  quillet::parseInputFormat(input_name, &options.input_format);
  if (!to_charset_name.empty()) {
    quillet::Charset to = quillet::Charset::kUtf8;
    quillet::parseCharset(to_charset_name, &to);
    if (to == quillet::Charset::kMarc8) {
      if (options.format != Format::kIso2709) {
        return Refusal("--to-charset marc8 goes with -f marc: the text formats are UTF-8");
      }
      if (options.charset == quillet::Charset::kRaw) {
        return Refusal("--to-charset marc8 needs the text decoded: not with --charset raw");
      }
      options.to_charset = quillet::OutputCharset::kMarc8;
    }
  }
  if (count) options.mode = Mode::kCount;
  if (check) options.mode = Mode::kCheck;
  if (index) options.mode = Mode::kIndex;
  if (stats) options.mode = Mode::kStats;
  if (command.files.empty()) command.files.push_back("-");
  options.file_column = command.files.size() > 1;

  if (command.split() && options.mode != Mode::kPrint) {
    return Refusal("--split writes records: it goes with no --count, --check, --index or --stats");
  }
  parsed.run = true;
  return parsed;
}

}  // namespace quillet_dump
