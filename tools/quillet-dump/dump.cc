#include "dump.h"

#include <quillet/quillet.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <sstream>
#include <utility>

#include "ordered_pool.h"

namespace quillet_dump {

namespace {

using quillet::Problem;
using quillet::RecordView;

constexpr std::size_t kFlushThreshold = 1 << 16;

// The bytes of junk the reader skipped before `rec`.
std::uint64_t SkippedBefore(const RecordView& rec) {
  std::uint64_t n = 0;
  for (const Problem& p : rec.problems()) {
    if (p.kind == Problem::Kind::kJunkSkipped) n += p.value;
  }
  return n;
}

void AppendHex(const unsigned char* bytes, std::size_t n, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
}

}  // namespace

Stats& Stats::operator+=(const Stats& o) {
  records += o.records;
  bad_records += o.bad_records;
  bytes_skipped += o.bytes_skipped;
  stray_problems += o.stray_problems;
  read_error = read_error || o.read_error;
  return *this;
}

std::string ClassicVerdict(const RecordView& view) {
  const std::string_view bytes = view.bytes();
  try {
    quillet::Record rec(bytes.data(), static_cast<unsigned>(bytes.size()));
    for (auto it = rec.getFMapBegin(), end = rec.getFMapEnd(); it != end; ++it) {
      if (!it->second->isControl()) static_cast<quillet::DataField*>(it->second)->getSFListBegin();
    }
    try {
      rec.getId();
    } catch (const quillet::MrcException& e) {
      return std::string(e.what()) + " (control number in 001)";
    }
  } catch (const quillet::MrcException& e) {
    return e.what();
  }
  return std::string();
}

void TagStats::Tally(Count& c) {
  ++c.occurrences;
  if (c.last != records_) {
    c.last = records_;
    ++c.records;
  }
}

void TagStats::Add(const RecordView& rec) {
  ++records_;
  bytes_ += rec.bytes().size();
  for (const Problem& p : rec.problems()) {
    problems_[p.message()] += p.kind == Problem::Kind::kMoreProblems ? p.value : 1;
  }
  std::string key;
  for (const quillet::FieldView& f : rec.fields()) {
    key.assign(f.tag());
    Tally(fields_[key]);
    for (const quillet::SubfieldView& s : f.subfields()) {
      key.resize(3);
      key += '$';
      if (s.code() != '\0') key += s.code();
      Tally(subfields_[key]);
    }
  }
}

std::string TagStats::Table() const {
  std::string out =
      "records\t\t" + std::to_string(records_) + "\t\nbytes\t\t" + std::to_string(bytes_) + "\t\n";
  for (const auto& p : problems_)
    out += "problem\t" + p.first + "\t" + std::to_string(p.second) + "\t\n";
  auto row = [&out](const char* kind, const std::string& key, const Count& c) {
    out += kind;
    out += '\t';
    quillet::appendLineText(key, out);
    out += '\t' + std::to_string(c.records) + '\t' + std::to_string(c.occurrences) + '\n';
  };
  auto sub = subfields_.begin();
  for (const auto& f : fields_) {
    row("field", f.first, f.second);
    for (; sub != subfields_.end() && sub->first.compare(0, 3, f.first) == 0; ++sub) {
      row("subfield", sub->first, sub->second);
    }
  }
  return out;
}

Dumper::Dumper(Options options, Output& out, std::ostream& err)
    : options_(std::move(options)),
      out_(out),
      err_(err),
      text_(quillet::TextOptions{options_.charset, options_.nfc}) {}

void Dumper::Flush() {
  if (buffer_.size() == 0) return;
  out_.Write(buffer_.view().data(), buffer_.size());
  buffer_.clear();
}

void Dumper::Report(const std::string& name, std::uint64_t ordinal, std::uint64_t offset,
                    const std::string& message) {
  if (options_.quiet) return;
  Flush();  // keep the report next to the records printed before it
  if (erase_line_) err_ << "\r\033[K";
  err_ << name << ": ";
  if (ordinal != 0) err_ << "record " << ordinal << ' ';
  err_ << "at byte " << offset << ": " << message << '\n';
}

void Dumper::ReportProblem(const std::string& name, std::uint64_t ordinal, std::uint64_t offset,
                           const std::string& message) {
  if (options_.max_problems == 0 || ++reported_ <= options_.max_problems) {
    Report(name, ordinal, offset, message);
  }
}

void Dumper::AppendIndex(const std::string& name, std::uint64_t ordinal, const RecordView& rec) {
  std::string line;
  if (options_.file_column) {
    quillet::appendLineText(name, line);
    line += '\t';
  }
  line += std::to_string(ordinal);
  line += '\t';
  line += std::to_string(rec.offset());
  line += '\t';
  line += std::to_string(rec.bytes().size());
  line += '\t';
  if (rec.field("001") == nullptr) {
    line += '-';
  } else {
    // Tabs and line ends inside come out as {0x09}, so columns stay put; an
    // empty 001 is written as {empty}, and one that is a dash as {0x2D}, so
    // neither reads as the missing one's dash.
    const std::string_view id = rec.controlNumber();
    if (id.empty()) {
      line += "{empty}";
    } else if (id == "-") {
      line += "{0x2D}";
    } else {
      quillet::appendLineText(id, line);
    }
  }
  line += '\t';
  unsigned char digest[16];
  rec.md5(digest);
  AppendHex(digest, 16, line);
  line += '\n';
  buffer_.append(line);
}

bool Dumper::Process(const std::string& name, std::uint64_t ordinal, const RecordView& rec) {
  if (options_.mode == Mode::kCount) return false;
  reported_ = 0;
  bool bad = false;
  for (const Problem& p : rec.problems()) {
    bad = true;
    // The library counts what it does not list; so does --max-problems.
    if (p.kind == Problem::Kind::kMoreProblems && options_.max_problems != 0) {
      reported_ += p.value;
      continue;
    }
    ReportProblem(name, ordinal, p.offset, p.describe());
  }
  if (options_.strict) {
    const std::string verdict = ClassicVerdict(rec);
    if (!verdict.empty()) {
      ReportProblem(name, ordinal, rec.offset(), "classic interface: " + verdict);
      bad = true;
    }
  }
  const bool encoding = options_.check_encoding || options_.strict;
  const bool formats = options_.mode == Mode::kPrint;
  if (formats || encoding) text_.start(rec);
  switch (options_.mode) {
    case Mode::kCount: break;
    case Mode::kCheck:
      if (encoding) text_.decodeAll();
      break;
    case Mode::kIndex:
      AppendIndex(name, ordinal, rec);
      if (encoding) text_.decodeAll();
      break;
    case Mode::kPrint: {
      std::size_t replaced = 0;
      try {
        replaced = quillet::writeRecord(options_.format, rec, text_, buffer_, options_.filter,
                                        options_.to_charset);
      } catch (const std::length_error& e) {
        ReportProblem(name, ordinal, rec.offset(), std::string("not written: ") + e.what());
        bad = true;
      }
      if (replaced != 0 && options_.format == quillet::Format::kMarcXml) {
        ReportProblem(name, ordinal, rec.offset(),
                      std::to_string(replaced) + (replaced == 1 ? " character" : " characters") +
                          " that XML does not allow replaced with U+FFFD");
        bad = true;
      }
      if (replaced != 0 && options_.format == quillet::Format::kIso2709 &&
          options_.to_charset == quillet::OutputCharset::kText) {
        ReportProblem(name, ordinal, rec.offset(),
                      std::to_string(replaced) + (replaced == 1 ? " byte" : " bytes") +
                          " of the leader, indicators or subfield codes that are no UTF-8"
                          " replaced (a blank, a code ?)");
        bad = true;
      }
      break;
    }
    case Mode::kStats: tag_stats_.Add(rec); break;
  }
  if (options_.mode == Mode::kPrint && out_.WantsRecordEnds()) {
    Flush();
    out_.RecordEnd();
  }
  if (encoding && options_.charset != quillet::Charset::kRaw) {
    if (const char* disagreement = text_.guess().disagreement()) {
      ReportProblem(name, ordinal, rec.offset() + 9, disagreement);
      bad = true;
    }
    for (const quillet::TextProblem& p : text_.problems()) {
      ReportProblem(name, ordinal, p.offset, p.describe());
      bad = true;
    }
  }
  if (options_.max_problems != 0 && reported_ > options_.max_problems) {
    const std::uint64_t more = reported_ - options_.max_problems;
    Report(name, ordinal, rec.offset(),
           std::to_string(more) + (more == 1 ? " more problem" : " more problems") +
               " in this record");
  }
  if (buffer_.size() >= kFlushThreshold) Flush();
  return bad;
}

void Dumper::EndOfInput(const std::string& name, std::uint64_t framed, quillet::Reader& reader,
                        Stats& stats) {
  // Bytes and no record: one answer for the whole input (the caller's),
  // rather than a report of junk as long as the file; a read error is told.
  if (framed == 0 && reader.position() > 0 && reader.readError().empty()) {
    stats.no_record = true;
    return;
  }
  ReportTrailing(name, reader, stats);
}

void Dumper::ReportTrailing(const std::string& name, quillet::Reader& reader, Stats& stats) {
  for (const Problem& p : reader.problems()) {
    if (p.kind == Problem::Kind::kReadError) {
      stats.read_error = true;
      if (!options_.quiet) {
        err_ << "quillet-dump: " << name << ": read error: " << reader.readError() << '\n';
      }
      continue;
    }
    if (p.kind == Problem::Kind::kJunkSkipped) stats.bytes_skipped += p.value;
    ++stats.stray_problems;
    if (options_.mode != Mode::kCount) Report(name, 0, p.offset, p.describe());
  }
}

// The bytes of its records one after another, for each record its place in
// them, in the input and its framing problems, and the worker that parses
// and formats them into its own output; the output, problems and counts go
// to the Dumper's on Finish(). Filled and finished on the Dumper's thread,
// run on any of the pool's; buffers are kept from batch to batch.
class Dumper::Batch : public OrderedPool::Batch {
 public:
  Batch(const std::string& name, const Options& options, Output& out, std::ostream& err,
        Stats& stats)
      : name_(name), worker_(options, text_, problem_text_), out_(out), err_(err), total_(stats) {}

  bool empty() const { return items_.empty(); }
  std::size_t size() const { return bytes_.size(); }
  void Add(const RecordView& rec, std::uint64_t ordinal) {
    const std::string_view bytes = rec.bytes();
    items_.push_back({bytes_.size(), bytes.size(), problems_.size(), rec.problems().size(),
                      rec.offset(), ordinal});
    bytes_.append(bytes.data(), bytes.size());
    problems_.insert(problems_.end(), rec.problems().begin(), rec.problems().end());
  }

  void Run() override {
    for (const Item& item : items_) {
      const Problem* framing = problems_.data() + item.first_problem;
      const RecordView rec =
          RecordView::parse(bytes_.data() + item.begin, item.size, item.offset,
                            quillet::Span<Problem>(framing, framing + item.problems));
      ++stats_.records;
      if (worker_.Process(name_, item.ordinal, rec)) ++stats_.bad_records;
    }
    worker_.Flush();
  }

  void Finish() override {
    if (!text_.text.empty()) out_.Write(text_.text.data(), text_.text.size());
    err_ << problem_text_.str();
    total_ += stats_;
    bytes_.clear();
    items_.clear();
    problems_.clear();
    text_.text.clear();
    problem_text_.str(std::string());
    stats_ = Stats();
  }

 private:
  struct Item {
    std::size_t begin, size, first_problem, problems;
    std::uint64_t offset, ordinal;
  };

  const std::string& name_;
  std::string bytes_;
  std::vector<Item> items_;
  std::vector<Problem> problems_;
  StringOutput text_;
  std::ostringstream problem_text_;
  Dumper worker_;  // writes to text_ and problem_text_, so declared after them
  Stats stats_;
  Output& out_;
  std::ostream& err_;
  Stats& total_;
};

Stats Dumper::DumpParallel(const std::string& name, quillet::Reader& reader, unsigned jobs,
                           const ProgressFn& progress) {
  constexpr std::size_t kBatchBytes = std::size_t{1} << 17;
  // Declared before the pool, which finishes batches into it.
  Stats stats;
  OrderedPool pool(jobs, [&] {
    return std::unique_ptr<OrderedPool::Batch>(new Batch(name, options_, out_, err_, stats));
  });
  Batch* batch = static_cast<Batch*>(pool.Acquire());
  auto submit = [&] {
    if (batch->empty()) return;
    pool.Submit(batch);
    if (progress) progress(reader.position(), stats.records);
    // Write what is ready without waiting, so output keeps flowing.
    pool.FinishReady();
    batch = static_cast<Batch*>(pool.Acquire());
  };

  RecordView rec;
  std::uint64_t ordinal = 0;
  const std::uint64_t end =
      options_.limit > std::numeric_limits<std::uint64_t>::max() - options_.offset
          ? std::numeric_limits<std::uint64_t>::max()
          : options_.offset + options_.limit;
  while (ordinal < end && reader.next(rec)) {
    ++ordinal;
    stats.bytes_skipped += SkippedBefore(rec);
    if (ordinal <= options_.offset) continue;
    batch->Add(rec, ordinal);
    if (batch->size() >= kBatchBytes) submit();
  }
  submit();
  pool.FinishAll();
  if (ordinal < end) EndOfInput(name, ordinal, reader, stats);
  return stats;
}

bool ParseCondition(const std::string& expr, Condition* c, std::string* error) {
  *c = Condition();
  c->tag = expr.substr(0, 3);
  std::size_t at = 3;
  if (expr.size() < 4 || !quillet::isTagPattern(c->tag)) {
    *error =
        "a condition starts with a tag pattern of three characters and goes on with ?, =, ~ or $";
    return false;
  }
  if (expr[at] == '$') {
    if (expr.size() < 6) {
      *error = "$ takes a subfield code, then ?, = or ~";
      return false;
    }
    c->has_code = true;
    c->code = expr[at + 1];
    at += 2;
  }
  switch (expr[at]) {
    case '?':
      if (at + 1 == expr.size()) return true;
      *error = "nothing may follow ?";
      return false;
    case '=': c->op = Condition::Op::kEquals; break;
    case '~': c->op = Condition::Op::kContains; break;
    default: *error = std::string("expected ?, = or ~ after ") + expr.substr(0, at); return false;
  }
  c->value = expr.substr(at + 1);
  return true;
}

bool Dumper::Selects(const RecordView& rec) {
  if (options_.by_ids && options_.ids.count(rec.controlNumber()) == 0) return false;
  bool started = false;
  bool escapes = false;  // whether the field designates other character sets
  auto holds = [&](const Condition& c, std::string_view raw) {
    if (c.op == Condition::Op::kHas) return true;
    // Printable ASCII in a field without escape sequences reads the same in
    // every encoding: compared as it is, without deciding the record's.
    const bool plain = !escapes && std::all_of(raw.begin(), raw.end(),
                                               [](char b) { return b >= 0x20 && b < 0x7F; });
    if (!plain && !started) {
      text_.start(rec);
      started = true;
    }
    const std::string_view text = plain ? raw : text_.text(raw);
    return c.op == Condition::Op::kEquals ? text == c.value
                                          : text.find(c.value) != std::string_view::npos;
  };
  for (const Condition& c : options_.where) {
    bool found = false;
    for (const quillet::FieldView& f : rec.fields(c.tag)) {
      text_.startField();
      escapes = f.data().find('\x1B') != std::string_view::npos;
      if (f.isControl()) {
        found = !c.has_code && holds(c, f.data());
      } else if (!c.has_code && c.op == Condition::Op::kHas) {
        found = true;
      } else {
        for (const quillet::SubfieldView& s : f.subfields()) {
          if ((!c.has_code || s.code() == c.code) && holds(c, s.value())) {
            found = true;
            break;
          }
        }
      }
      if (found) break;
    }
    if (!found) return false;
  }
  return true;
}

Stats Dumper::Dump(const std::string& name, quillet::Reader& reader, const ProgressFn& progress) {
  Stats stats;
  RecordView rec;
  std::uint64_t ordinal = 0;   // the record's place in the input
  std::uint64_t selected = 0;  // records selected so far, for --offset and --limit
  const std::uint64_t end =
      options_.limit > std::numeric_limits<std::uint64_t>::max() - options_.offset
          ? std::numeric_limits<std::uint64_t>::max()
          : options_.offset + options_.limit;
  const bool selecting = options_.by_ids || !options_.where.empty();
  while (selected < end && reader.next(rec)) {
    ++ordinal;
    // Asking for problems() checks the record's content, which counting
    // has no use for.
    if (options_.mode != Mode::kCount) stats.bytes_skipped += SkippedBefore(rec);
    if (selecting && !Selects(rec)) continue;
    if (++selected <= options_.offset) continue;
    ++stats.records;
    if (Process(name, ordinal, rec)) ++stats.bad_records;
    if (progress) progress(reader.position(), ordinal);
  }
  if (selected < end) EndOfInput(name, ordinal, reader, stats);
  Flush();
  return stats;
}

}  // namespace quillet_dump
