#include "dump.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>
#include <utility>

#include <quillet/iso2709.h>

namespace quillet_dump {

namespace {

using quillet::ControlField;
using quillet::DataField;
using quillet::MrcException;
using quillet::Record;

using quillet::iso2709::kRecordTerminator;
constexpr std::size_t kFlushThreshold = 1 << 16;

// Parses every part of a record and returns the first problem, or "".
std::string ParseCompletely(Record& rec) {
  try {
    for (auto it = rec.getFMapBegin(), end = rec.getFMapEnd(); it != end; ++it) {
      if (!it->second->isControl()) static_cast<DataField*>(it->second)->getSFListBegin();
    }
  } catch (const MrcException& e) {
    return e.what();
  }
  try {
    rec.getId();
  } catch (const MrcException& e) {
    // The same message can come from the directory; say where it came from.
    const std::string message = e.what();
    return message.find("001") == std::string::npos ? message + " (control number in 001)"
                                                    : message;
  }
  return std::string();
}

std::string HexDigest(const Record& rec) {
  unsigned char digest[16];
  rec.getMD5(digest);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return std::string(hex, 32);
}

std::string IdText(Record& rec) {
  try {
    const int id = rec.getId();
    if (id >= 0) return std::to_string(id);
  } catch (const MrcException&) {
  }
  return "-";
}

// True when a record can start at `pos`: only filler follows, or a record
// length (five digits) after any filler.
bool NextRecordCanStartAt(const char* data, std::size_t size, std::size_t pos) {
  while (pos < size && IsFiller(data[pos])) ++pos;
  if (pos == size) return true;
  if (size - pos < 5) return false;
  for (std::size_t i = pos; i < pos + 5; ++i) {
    if (data[i] < '0' || data[i] > '9') return false;
  }
  return true;
}

}  // namespace

Stats& Stats::operator+=(const Stats& o) {
  records += o.records;
  bad_records += o.bad_records;
  bytes_skipped += o.bytes_skipped;
  return *this;
}

struct Dumper::Position {
  const std::string& name;
  std::uint64_t ordinal;  // 1 for the first record of an input
  std::uint64_t offset;   // byte offset of the record's first byte
};

Dumper::Dumper(Options options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), out_(out), err_(err) {
  std::vector<std::string>& tags = options_.tags;
  std::sort(tags.begin(), tags.end(), [](const std::string& a, const std::string& b) {
    return quillet::FieldTag(a.c_str()) < quillet::FieldTag(b.c_str());
  });
  tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
}

bool Dumper::Selected(std::uint64_t ordinal) const { return ordinal > options_.offset; }

bool Dumper::Done(std::uint64_t ordinal) const {
  return ordinal > options_.offset && ordinal - options_.offset > options_.limit;
}

void Dumper::Report(const Position& at, const std::string& message) {
  Flush();  // keep the report next to the records printed before it
  if (erase_line_) err_ << "\r\033[K";
  err_ << at.name << ": record " << at.ordinal << " at byte " << at.offset << ": " << message
       << '\n';
}

void Dumper::Flush() {
  if (buffer_.empty()) return;
  out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
}

bool Dumper::Process(Record& rec, const Position& at) {
  switch (options_.mode) {
    case Mode::kCount:
      return false;
    case Mode::kCheck: {
      const std::string problem = ParseCompletely(rec);
      if (problem.empty()) return false;
      Report(at, problem);
      return true;
    }
    case Mode::kIndex:
      buffer_ += std::to_string(at.ordinal) + '\t' + std::to_string(at.offset) + '\t' +
                 std::to_string(rec.getDatalen()) + '\t' + IdText(rec) + '\t' + HexDigest(rec) +
                 '\n';
      break;
    case Mode::kPrint: {
      const FieldSelection selection = SelectFields(rec, options_.tags);
      AppendRecord(options_.format, rec, selection, buffer_);
      if (!selection.error.empty()) {
        Report(at, selection.error);
        return true;
      }
      break;
    }
  }
  if (buffer_.size() >= kFlushThreshold) Flush();
  return false;
}

Stats Dumper::DumpMemory(const std::string& name, const char* data, std::size_t size,
                         const ProgressFn& progress) {
  Stats stats;
  std::uint64_t ordinal = 0;
  std::size_t pos = 0;
  while (pos < size) {
    if (IsFiller(data[pos])) {
      ++stats.bytes_skipped;
      ++pos;
      continue;
    }
    ++ordinal;
    if (Done(ordinal)) break;
    const Position at{name, ordinal, pos};
    const std::size_t avail = size - pos;
    // Where the scan resumes when a length cannot be trusted: after the
    // first record terminator at or after `from`, or at the end. Each byte
    // is searched at most once more than it is skipped, so the scan stays
    // linear in the size of the input whatever the damage.
    auto after_terminator = [&](std::size_t from, std::size_t to) {
      const void* rt = std::memchr(data + from, kRecordTerminator, to - from);
      return rt ? static_cast<std::size_t>(static_cast<const char*>(rt) - data) + 1 : to;
    };

    bool bad = false;
    std::size_t next;
    try {
      // Record() takes an unsigned size; larger inputs cannot hold a longer record.
      const unsigned limit = static_cast<unsigned>(std::min<std::size_t>(avail, 0xFFFFFFFFu));
      Record rec(data + pos, limit);
      ++stats.records;
      const std::size_t end = pos + rec.getDatalen();
      next = end;
      std::string problem;
      if (data[end - 1] != kRecordTerminator) {
        // The length does not end at a terminator. When one stands inside
        // the record and what follows it looks like the next record, the
        // length was too long; when nothing plausible follows the length, it
        // was too short; otherwise only the terminator is missing.
        const std::size_t inside = after_terminator(pos, end);
        const bool too_long = inside < end && NextRecordCanStartAt(data, size, inside);
        if (too_long || !NextRecordCanStartAt(data, size, end)) {
          problem = "record length " + std::to_string(rec.getDatalen()) +
                    " does not end at a record terminator";
          next = too_long ? inside : after_terminator(end, size);
          if (next > end) stats.bytes_skipped += next - end;
        } else {
          problem = "record does not end with a record terminator";
        }
      }
      if (Selected(ordinal)) {
        if (!problem.empty()) Report(at, problem);
        bad = Process(rec, at) || !problem.empty();
      }
    } catch (const MrcException& e) {
      if (Selected(ordinal)) {
        Report(at, e.what());
        bad = true;
      }
      next = after_terminator(pos, size);
      stats.bytes_skipped += next - pos;
    }
    if (bad) ++stats.bad_records;
    pos = next;
    if (progress) progress(pos, ordinal);
  }
  Flush();
  out_.flush();
  return stats;
}

Stats Dumper::DumpStream(const std::string& name, std::istream& in) {
  Stats stats;
  std::uint64_t ordinal = 0;
  std::uint64_t offset = 0;
  Record rec;
  for (;;) {
    int c;
    while ((c = in.peek()) != std::char_traits<char>::eof() && IsFiller(static_cast<char>(c))) {
      in.get();
      ++stats.bytes_skipped;
      ++offset;
    }
    if (c == std::char_traits<char>::eof()) break;
    ++ordinal;
    if (Done(ordinal)) break;
    const Position at{name, ordinal, offset};
    try {
      if (!(in >> rec)) {
        Report(at, "input ends inside a record length");
        ++stats.bad_records;
        break;
      }
    } catch (const MrcException& e) {
      Report(at, std::string(e.what()) + " (input ends here: a stream cannot resynchronise)");
      ++stats.bad_records;
      break;
    }
    ++stats.records;
    if (Selected(ordinal) && Process(rec, at)) ++stats.bad_records;
    offset += rec.getDatalen();
  }
  Flush();
  out_.flush();
  return stats;
}

}  // namespace quillet_dump
