#ifndef QUILLET_TOOLS_DUMP_DUMP_H_
#define QUILLET_TOOLS_DUMP_DUMP_H_

#include <quillet/formats.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace quillet_dump {

enum class Mode { kPrint, kCount, kCheck, kIndex, kStats };

// One --where condition: a field whose tag matches `tag` (a pattern), with,
// when `code` is set, a subfield of that code, that exists (kHas), whose text
// equals `value` (kEquals) or contains it (kContains). A control field's
// text is its content; a data field's, each of its subfields' values.
struct Condition {
  enum class Op { kHas, kEquals, kContains };
  std::string tag;
  char code = '\0';
  bool has_code = false;
  Op op = Op::kHas;
  std::string value;
};

// Reads TAG?, TAG=VALUE, TAG~TEXT, TAG$CODE?, TAG$CODE=VALUE or TAG$CODE~TEXT;
// false, with the reason in `error`, for anything else.
bool ParseCondition(const std::string& expr, Condition* condition, std::string* error);

struct Options {
  Mode mode = Mode::kPrint;
  quillet::Format format = quillet::Format::kMnemonic;
  std::uint64_t offset = 0;  // records skipped first
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  quillet::TagFilter filter;
  std::vector<Condition> where;  // all must hold
  // --ids: the 001s to keep, as views of `id_text`, so that a record's 001
  // is looked up without copying it.
  std::shared_ptr<const std::string> id_text;
  std::unordered_set<std::string_view> ids;
  bool by_ids = false;
  quillet::Charset charset = quillet::Charset::kAuto;
  quillet::InputFormat input_format = quillet::InputFormat::kAuto;    // how files are read
  quillet::OutputCharset to_charset = quillet::OutputCharset::kText;  // of -f marc
  std::uint64_t max_problems = 20;  // reported per record, then a count; 0 for all
  bool nfc = false;                 // compose the text to NFC
  bool check_encoding = false;      // report what cannot be decoded, and lying leaders
  bool strict = false;              // also the classic interface's full verdict (and encoding)
  bool quiet = false;               // no problem reports; the exit code stays
  bool file_column = false;         // --index: the file name first (several files)
};

struct Stats {
  std::uint64_t records = 0;         // records framed and selected
  std::uint64_t bad_records = 0;     // of them, those with a reported problem
  std::uint64_t bytes_skipped = 0;   // junk between and after records
  std::uint64_t stray_problems = 0;  // problems after the last record (junk, strict mode)
  bool read_error = false;
  // The input was read to its end and held bytes, but no record: it is
  // not of the format read (not summed).
  bool no_record = false;
  Stats& operator+=(const Stats& o);
};

// Where records go. Write errors end the run: Write() throws WriteError.
class Output {
 public:
  virtual ~Output() = default;
  virtual void Write(const char* data, std::size_t size) = 0;
  // Whether each printed record is to be written whole, then followed by
  // RecordEnd(): for outputs that split the records between files.
  virtual bool WantsRecordEnds() const { return false; }
  virtual void RecordEnd() {}
};

// Collects what is written, for a worker whose output is written later.
class StringOutput : public Output {
 public:
  void Write(const char* data, std::size_t size) override { text.append(data, size); }
  std::string text;
};

class WriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The numbers of --stats: per tag, and per tag and subfield code, how many
// records hold it and how often it occurs; records, bytes and problems by
// kind. One thread at a time.
class TagStats {
 public:
  void Add(const quillet::RecordView& rec);
  // Tab-separated lines: "records", "bytes" and "problem MESSAGE" totals,
  // then for each tag in tag order its "field" line and its "subfield"
  // lines by code: KIND, KEY, RECORDS, OCCURRENCES.
  std::string Table() const;

 private:
  struct Count {
    std::uint64_t records = 0;
    std::uint64_t occurrences = 0;
    std::uint64_t last = 0;  // the last record counted, so each counts once
  };
  void Tally(Count& c);
  std::uint64_t records_ = 0;
  std::uint64_t bytes_ = 0;
  std::map<std::string, std::uint64_t> problems_;
  std::map<std::string, Count> fields_;     // by tag
  std::map<std::string, Count> subfields_;  // by tag and code
};

// Called now and then with the input bytes framed and records seen so far.
using ProgressFn = std::function<void(std::uint64_t bytes_done, std::uint64_t records)>;

// Reads records through a quillet::Reader and writes what the options ask
// for: records to `out`, one line per problem to `err`
// ("NAME: record N at byte O: MESSAGE", O the offset of the damage).
// Holds no state between inputs beyond its options; one thread at a time.
class Dumper {
 public:
  Dumper(Options options, Output& out, std::ostream& err);

  // Every record of `reader`, which reads the input called `name`.
  Stats Dump(const std::string& name, quillet::Reader& reader,
             const ProgressFn& progress = nullptr);

  // The same, with the records parsed and formatted by `jobs` threads in
  // batches and written in input order: the output is the same as Dump()'s.
  // `reader` only frames (Reader::Options::fields false). For printing,
  // checking and indexing without --where, --ids or --split (Parallel()
  // says when it applies).
  Stats DumpParallel(const std::string& name, quillet::Reader& reader, unsigned jobs,
                     const ProgressFn& progress = nullptr);
  static bool Parallel(const Options& options) {
    return (options.mode == Mode::kPrint || options.mode == Mode::kCheck ||
            options.mode == Mode::kIndex) &&
           options.where.empty() && !options.by_ids;
  }

  // Writes what is buffered.
  void Flush();
  // What --stats counted so far.
  const TagStats& stats() const { return tag_stats_; }
  // When a progress line is on the terminal, reports first erase it.
  void set_erase_line_before_reports(bool erase) { erase_line_ = erase; }

 private:
  // DumpParallel's batch of records, with the Dumper that parses and
  // formats them on a worker (in dump.cc).
  class Batch;

  // At the end of the input, after `framed` records: what came after the
  // last record is reported, or the input marked as holding none.
  void EndOfInput(const std::string& name, std::uint64_t framed, quillet::Reader& reader,
                  Stats& stats);
  // Reports what came after the last record, when the whole input was read.
  void ReportTrailing(const std::string& name, quillet::Reader& reader, Stats& stats);
  // Whether `rec` is selected by --where and --ids.
  bool Selects(const quillet::RecordView& rec);
  // Does what the mode asks with one record; true when it had a problem.
  bool Process(const std::string& name, std::uint64_t ordinal, const quillet::RecordView& rec);
  void Report(const std::string& name, std::uint64_t ordinal, std::uint64_t offset,
              const std::string& message);
  // A problem of the record being processed: reported up to --max-problems.
  void ReportProblem(const std::string& name, std::uint64_t ordinal, std::uint64_t offset,
                     const std::string& message);
  void AppendIndex(const std::string& name, std::uint64_t ordinal, const quillet::RecordView& rec);

  Options options_;
  Output& out_;
  std::ostream& err_;
  quillet::OutputBuffer buffer_;  // output waiting to be written
  quillet::RecordText text_;
  TagStats tag_stats_;
  std::uint64_t reported_ = 0;  // problems of the record being processed, reported or not
  bool erase_line_ = false;
};

// The classic interface's verdict on one record's bytes: its first
// exception, from reading the record, its directory, subfields or control
// number; empty when it reads them all.
std::string ClassicVerdict(const quillet::RecordView& rec);

}  // namespace quillet_dump

#endif  // QUILLET_TOOLS_DUMP_DUMP_H_
