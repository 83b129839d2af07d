#include "dump.h"

#include <quillet/quillet.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <memory>
#include <ostream>
#include <sstream>
#include <utility>

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
  for (const Problem& p : rec.problems()) ++problems_[p.message()];
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
  std::string out = "records\t\t" + std::to_string(records_) + "\t\nbytes\t\t" +
                    std::to_string(bytes_) + "\t\n";
  for (const auto& p : problems_) out += "problem\t" + p.first + "\t" + std::to_string(p.second) + "\t\n";
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
  bool bad = false;
  for (const Problem& p : rec.problems()) {
    Report(name, ordinal, p.offset, p.describe());
    bad = true;
  }
  if (options_.strict) {
    const std::string verdict = ClassicVerdict(rec);
    if (!verdict.empty()) {
      Report(name, ordinal, rec.offset(), "classic interface: " + verdict);
      bad = true;
    }
  }
  const bool encoding = options_.check_encoding || options_.strict;
  const bool formats = options_.mode == Mode::kPrint;
  if (formats || encoding) text_.start(rec);
  switch (options_.mode) {
    case Mode::kCount:
      break;
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
        replaced = quillet::writeRecord(options_.format, rec, text_, buffer_, options_.filter);
      } catch (const std::length_error& e) {
        Report(name, ordinal, rec.offset(), std::string("not written: ") + e.what());
        bad = true;
      }
      if (replaced != 0) {
        Report(name, ordinal, rec.offset(),
               std::to_string(replaced) +
                   (replaced == 1 ? " character" : " characters") +
                   " that XML does not allow replaced with U+FFFD");
        bad = true;
      }
      break;
    }
    case Mode::kStats:
      tag_stats_.Add(rec);
      break;
  }
  if (options_.mode == Mode::kPrint && out_.WantsRecordEnds()) {
    Flush();
    out_.RecordEnd();
  }
  if (encoding && options_.charset != quillet::Charset::kRaw) {
    if (const char* disagreement = text_.guess().disagreement()) {
      Report(name, ordinal, rec.offset() + 9, disagreement);
      bad = true;
    }
    for (const quillet::TextProblem& p : text_.problems()) {
      Report(name, ordinal, p.offset, p.describe());
      bad = true;
    }
  }
  if (buffer_.size() >= kFlushThreshold) Flush();
  return bad;
}

void Dumper::ReportTrailing(const std::string& name, quillet::Reader& reader, Stats& stats) {
  for (const Problem& p : reader.problems()) {
    if (p.kind == Problem::Kind::kReadError) {
      stats.read_error = true;
      if (!options_.quiet) err_ << name << ": read error: " << reader.readError() << '\n';
      continue;
    }
    if (p.kind == Problem::Kind::kJunkSkipped) stats.bytes_skipped += p.value;
    ++stats.stray_problems;
    if (options_.mode != Mode::kCount) Report(name, 0, p.offset, p.describe());
  }
}

Stats Dumper::DumpParallel(const std::string& name, quillet::Reader& reader, unsigned jobs,
                           const ProgressFn& progress) {
  // A slot holds one batch: the bytes of its records one after another,
  // for each record its place in them, in the input and its framing
  // problems, and the worker that parses and formats them into its own
  // output. Slots and their buffers are reused, and so are the threads:
  // the library keeps its free lists per thread, so a thread per batch
  // would start every batch with cold lists and fresh allocations.
  struct Item {
    std::size_t begin, size, first_problem, problems;
    std::uint64_t offset, ordinal;
  };
  struct Slot {
    Slot(const Options& options) : worker(options, out, err) {}
    std::string bytes;
    std::vector<Item> items;
    std::vector<Problem> problems;
    StringOutput out;
    std::ostringstream err;
    Dumper worker;
    Stats stats;
    std::exception_ptr failure;
    bool done = false;  // guarded by the pool's mutex
    void Run(const std::string& name) {
      for (const Item& item : items) {
        const Problem* framing = problems.data() + item.first_problem;
        const RecordView rec =
            RecordView::parse(bytes.data() + item.begin, item.size, item.offset,
                              quillet::Span<Problem>(framing, framing + item.problems));
        ++stats.records;
        if (worker.Process(name, item.ordinal, rec)) ++stats.bad_records;
      }
      worker.Flush();
    }
  };
  constexpr std::size_t kBatchBytes = std::size_t{1} << 17;

  // Declared before the pool, so the threads are joined before the slots
  // they may be working on go away.
  Stats stats;
  std::vector<std::unique_ptr<Slot>> idle;
  std::deque<std::unique_ptr<Slot>> running;

  // The pool: `queue` holds batches not yet taken, in input order; a
  // worker marks its batch done and wakes the main thread, which writes
  // batches out in the order it queued them. The main thread is one of the
  // `jobs`: when the helpers fall behind it runs a batch itself, so framing
  // never competes with a full set of workers for the cores.
  std::mutex mutex;
  std::condition_variable work_ready, batch_done;
  std::deque<Slot*> queue;
  bool closing = false;
  std::vector<std::thread> threads;
  // Runs the batch at the front of the queue, with `lock` held on entry
  // and on return.
  auto run_front = [&](std::unique_lock<std::mutex>& lock) {
    Slot* s = queue.front();
    queue.pop_front();
    lock.unlock();
    try {
      s->Run(name);
    } catch (...) {
      s->failure = std::current_exception();
    }
    lock.lock();
    s->done = true;
    batch_done.notify_all();
  };
  auto work = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      work_ready.wait(lock, [&] { return closing || !queue.empty(); });
      if (closing) return;
      run_front(lock);
    }
  };
  struct Joiner {
    std::mutex& mutex;
    std::condition_variable& work_ready;
    bool& closing;
    std::vector<std::thread>& threads;
    ~Joiner() {
      {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
      }
      work_ready.notify_all();
      for (std::thread& t : threads) t.join();
    }
  } joiner{mutex, work_ready, closing, threads};
  const std::size_t helpers = jobs - 1;
  for (std::size_t i = 0; i < helpers; ++i) threads.emplace_back(work);

  auto finish_oldest = [&] {
    Slot* s = running.front().get();
    {
      std::unique_lock<std::mutex> lock(mutex);
      while (!s->done) {
        if (queue.empty()) {
          batch_done.wait(lock);
        } else {
          run_front(lock);
        }
      }
    }
    std::unique_ptr<Slot> slot = std::move(running.front());
    running.pop_front();
    if (slot->failure) std::rethrow_exception(slot->failure);
    if (!slot->out.text.empty()) out_.Write(slot->out.text.data(), slot->out.text.size());
    err_ << slot->err.str();
    stats += slot->stats;
    slot->bytes.clear();
    slot->items.clear();
    slot->problems.clear();
    slot->out.text.clear();
    slot->err.str(std::string());
    slot->stats = Stats();
    slot->done = false;
    idle.push_back(std::move(slot));
  };
  auto take_slot = [&] {
    if (idle.empty()) {
      if (running.size() < 2 * static_cast<std::size_t>(jobs)) {
        idle.push_back(std::unique_ptr<Slot>(new Slot(options_)));
      } else {
        finish_oldest();
      }
    }
    std::unique_ptr<Slot> slot = std::move(idle.back());
    idle.pop_back();
    return slot;
  };
  std::unique_ptr<Slot> slot = take_slot();
  auto launch = [&] {
    if (slot->items.empty()) return;
    {
      std::unique_lock<std::mutex> lock(mutex);
      queue.push_back(slot.get());
      if (queue.size() > helpers) {
        run_front(lock);
      } else {
        work_ready.notify_one();
      }
    }
    running.push_back(std::move(slot));
    if (progress) progress(reader.position(), stats.records);
    // Write what is ready without waiting, so output keeps flowing.
    while (!running.empty()) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running.front()->done) break;
      }
      finish_oldest();
    }
    slot = take_slot();
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
    const std::string_view bytes = rec.bytes();
    slot->items.push_back({slot->bytes.size(), bytes.size(), slot->problems.size(),
                           rec.problems().size(), rec.offset(), ordinal});
    slot->bytes.append(bytes.data(), bytes.size());
    slot->problems.insert(slot->problems.end(), rec.problems().begin(), rec.problems().end());
    if (slot->bytes.size() >= kBatchBytes) launch();
  }
  launch();
  while (!running.empty()) finish_oldest();
  if (ordinal < end) ReportTrailing(name, reader, stats);
  return stats;
}

bool ParseCondition(const std::string& expr, Condition* c, std::string* error) {
  *c = Condition();
  c->tag = expr.substr(0, 3);
  std::size_t at = 3;
  if (expr.size() < 4 || !quillet::isTagPattern(c->tag)) {
    *error = "a condition starts with a tag pattern of three characters and goes on with ?, =, ~ or $";
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
    case '=':
      c->op = Condition::Op::kEquals;
      break;
    case '~':
      c->op = Condition::Op::kContains;
      break;
    default:
      *error = std::string("expected ?, = or ~ after ") + expr.substr(0, at);
      return false;
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
    const bool plain = !escapes && std::all_of(raw.begin(), raw.end(), [](char b) {
      return b >= 0x20 && b < 0x7F;
    });
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
  if (selected < end) ReportTrailing(name, reader, stats);
  Flush();
  return stats;
}

}  // namespace quillet_dump
