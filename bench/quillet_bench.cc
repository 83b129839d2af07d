// quillet-bench FILE [RUNS [WORKLOAD...]]: throughput of the reader on a
// record file. Naming workloads runs only those (for profiling).
//
// Workloads, each timed RUNS times (default 5) from a file in the page
// cache, reporting the median:
//   read    the stream loop only (in >> rec)
//   walk    read, then every field and every subfield of every record
//   digest  read, then getMD5
//   id      read, then getId (its exceptions included)
//   floor   read() the file and a pass over the same bytes that touches
//           what walk touches (lengths, directory entries, every subfield
//           delimiter) without building any object: the limit for walk
//   views   quillet::Reader on the path (mapped), then every field and
//           subfield through the record views, as walk does
//   views-pipe  the same through a pipe that a thread fills from memory
//   views-stream  the same through an std::ifstream
//   edit    quillet::Reader on the path, then each record made a
//           quillet::MarcRecord, changed (9XX removed, a 500 added in tag
//           order, 245 $a set) and written as ISO 2709 into a reused string
// and two references: read() of the whole file into memory, and read()
// followed by one libmd MD5 pass over all of it.
#include <fcntl.h>
#include <md5.h>
#include <quillet/iso2709.h>
#include <quillet/quillet.h>
#ifndef QUILLET_BENCH_CLASSIC_ONLY  // set when measuring versions without record views
#include <quillet/view.h>
#ifndef QUILLET_BENCH_NO_EDIT  // set when measuring versions without the editable record
#include <quillet/marc_record.h>
#endif
#endif
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/record_walk.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  double seconds;
  std::uint64_t records;
  std::uint64_t check;  // folded from what was read, so nothing is optimised away
};

// The stream's own buffer is enlarged, as a program reading big files would.
constexpr std::size_t kStreamBuffer = 1 << 18;

// StreamLoop and ReadViews stay out of line: scripts/bench-history counts
// the instructions of the walks from them with callgrind (--toggle-collect).
[[gnu::noinline]] Result StreamLoop(
    const std::string& path, const std::function<std::uint64_t(quillet::Record&)>& per_record) {
  std::unique_ptr<char[]> buf(new char[kStreamBuffer]);
  std::ifstream in;
  in.rdbuf()->pubsetbuf(buf.get(), kStreamBuffer);
  in.open(path, std::ios::binary);
  quillet::Record rec;
  Result r{0, 0, 0};
  const Clock::time_point start = Clock::now();
  try {
    while (in >> rec) {
      ++r.records;
      r.check += per_record(rec);
    }
  } catch (const quillet::MrcException& e) {
    std::fprintf(stderr, "quillet-bench: record %llu: %s\n",
                 static_cast<unsigned long long>(r.records + 1), e.what());
    std::exit(1);
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}

std::uint64_t WalkRecord(quillet::Record& rec) {
  try {
    return quillet_test::WalkRecord(rec).sum;
  } catch (const quillet::MrcException&) {
    return 1;
  }
}

std::uint64_t DigestRecord(quillet::Record& rec) {
  unsigned char digest[16];
  rec.getMD5(digest);
  return digest[0];
}

std::uint64_t IdRecord(quillet::Record& rec) {
  try {
    return static_cast<std::uint64_t>(rec.getId());
  } catch (const quillet::MrcException&) {
    return 1;
  }
}

// Reads the whole file with read(2) into `buf`; returns the size.
std::size_t ReadFile(const std::string& path, std::vector<char>& buf) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(2);
  }
  std::size_t size = 0;
  for (;;) {
    if (buf.size() - size < (1 << 20)) buf.resize(buf.size() + (64 << 20));
    const ssize_t n = ::read(fd, buf.data() + size, buf.size() - size);
    if (n < 0) {
      std::perror("read");
      std::exit(2);
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return size;
}

unsigned Decimal(const char* p, std::size_t width) {
  unsigned v = 0;
  for (std::size_t i = 0; i < width; ++i) v = v * 10 + static_cast<unsigned>(p[i] - '0');
  return v;
}

// The same bytes walk reads, with no object built: record length, base
// address, each directory entry, and every subfield delimiter of each data
// field. Assumes well-formed records (the benchmark input is).
std::uint64_t FloorPass(const char* data, std::size_t size, std::uint64_t& records) {
  using namespace quillet::iso2709;
  std::uint64_t sum = 0;
  std::size_t pos = 0;
  while (pos + kLeaderLength <= size) {
    const char* rec = data + pos;
    const unsigned length = Decimal(rec, kRecordLengthWidth);
    const unsigned base = Decimal(rec + kBaseAddressOffset, kBaseAddressWidth);
    for (unsigned e = kLeaderLength;
         rec[e] != kFieldTerminator && e + kDirectoryEntryLength <= length;
         e += kDirectoryEntryLength) {
      const unsigned flen = Decimal(rec + e + kTagWidth, kFieldLengthWidth);
      const unsigned at =
          base + Decimal(rec + e + kTagWidth + kFieldLengthWidth, kStartPositionWidth);
      const char* f = rec + at;
      sum += static_cast<unsigned char>(rec[e]) + flen;
      if (flen < kMinDataFieldLength || f[2] != kSubfieldDelimiter) continue;
      const char* p = f + 3;
      const char* end = f + flen;
      while (p < end) {
        const char* d = static_cast<const char*>(
            std::memchr(p, kSubfieldDelimiter, static_cast<std::size_t>(end - p)));
        if (!d) break;
        sum += static_cast<unsigned char>(d[1]);
        p = d + 1;
      }
    }
    ++records;
    pos += length;
  }
  return sum;
}

#ifndef QUILLET_BENCH_CLASSIC_ONLY
// Every field and subfield through the views, touching what WalkRecord
// touches.
std::uint64_t WalkView(const quillet::RecordView& rec) {
  std::uint64_t sum = 0;
  for (const quillet::FieldView& f : rec.fields()) {
    const std::string_view data = f.data();
    if (f.isControl()) {
      sum += data.size() + (data.empty() ? 0 : static_cast<unsigned char>(data.back()));
      continue;
    }
    sum += static_cast<unsigned char>(f.indicator1()) + static_cast<unsigned char>(f.indicator2());
    for (const quillet::SubfieldView& sf : f.subfields()) {
      const std::string_view v = sf.value();
      sum += static_cast<unsigned char>(sf.code()) + v.size() +
             (v.empty() ? 0 : static_cast<unsigned char>(v.back()));
    }
  }
  return sum;
}

[[gnu::noinline]] Result ReadViews(quillet::Reader& reader, const Clock::time_point start) {
  Result r{0, 0, 0};
  quillet::RecordView rec;
  while (reader.next(rec)) {
    ++r.records;
    r.check += WalkView(rec);
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}

#ifndef QUILLET_BENCH_NO_EDIT
// The typical editing job: every record read, changed and written again.
Result EditRecords(const std::string& path) {
  const Clock::time_point start = Clock::now();
  quillet::Reader reader(path);
  quillet::RecordView view;
  quillet::MarcRecord rec;
  std::string out;
  Result r{0, 0, 0};
  while (reader.next(view)) {
    ++r.records;
    rec.assign(view);
    rec.removeFields("9XX");
    rec.insertDataField(rec.tagOrderPosition("500"), "500", ' ', ' ', {{'a', "Checked."}});
    const std::size_t title = rec.findField("245");
    if (title != quillet::MarcRecord::npos) rec.setSubfield(title, 'a', "A new title");
    out.clear();
    try {
      rec.appendIso2709(out);
    } catch (const std::length_error&) {
      continue;  // a field too long for the format's lengths
    }
    r.check += out.size();
  }
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}
#endif

// The file's bytes through a pipe, written by a thread from memory.
Result ViewsThroughPipe(const std::vector<char>& bytes, std::size_t size) {
  int fds[2];
  if (::pipe(fds) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  const Clock::time_point start = Clock::now();
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fds[1], bytes.data() + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  Result r;
  {
    quillet::Reader reader("/dev/fd/" + std::to_string(fds[0]));
    r = ReadViews(reader, start);
  }
  writer.join();
  ::close(fds[0]);
  return r;
}
#endif

struct Row {
  const char* name;
  std::function<Result()> run;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: quillet-bench FILE [RUNS [WORKLOAD...]]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  // Reading it once brings the file into the page cache; the buffer is then
  // reused by the workloads that read() the file.
  std::vector<char> scratch;
  const std::size_t bytes = ReadFile(path, scratch);
  const std::vector<Row> rows = {
      {"read", [&] { return StreamLoop(path, [](quillet::Record&) { return 0; }); }},
      {"walk", [&] { return StreamLoop(path, WalkRecord); }},
      {"digest", [&] { return StreamLoop(path, DigestRecord); }},
      {"id", [&] { return StreamLoop(path, IdRecord); }},
      {"floor",
       [&] {
         Result r{0, 0, 0};
         const Clock::time_point start = Clock::now();
         const std::size_t n = ReadFile(path, scratch);
         r.check = FloorPass(scratch.data(), n, r.records);
         r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
         return r;
       }},
#ifndef QUILLET_BENCH_CLASSIC_ONLY
      {"views",
       [&] {
         const Clock::time_point start = Clock::now();
         quillet::Reader reader(path);
         return ReadViews(reader, start);
       }},
      {"views-pipe", [&] { return ViewsThroughPipe(scratch, bytes); }},
      {"views-stream",
       [&] {
         const Clock::time_point start = Clock::now();
         std::ifstream in(path, std::ios::binary);
         quillet::Reader reader(in);
         return ReadViews(reader, start);
       }},
#ifndef QUILLET_BENCH_NO_EDIT
      {"edit", [&] { return EditRecords(path); }},
#endif
#endif
      {"read()",
       [&] {
         Result r{0, 0, 0};
         const Clock::time_point start = Clock::now();
         r.check = ReadFile(path, scratch);
         r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
         return r;
       }},
      {"read()+md5",
       [&] {
         Result r{0, 0, 0};
         const Clock::time_point start = Clock::now();
         const std::size_t n = ReadFile(path, scratch);
         MD5_CTX ctx;
         unsigned char digest[16];
         MD5Init(&ctx);
         MD5Update(&ctx, reinterpret_cast<const std::uint8_t*>(scratch.data()), n);
         MD5Final(digest, &ctx);
         r.check = digest[0];
         r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
         return r;
       }},
  };

  if (argc > 3) {
    for (int i = 3; i < argc; ++i) {
      const auto row = std::find_if(rows.begin(), rows.end(), [&](const Row& r) {
        return std::strcmp(r.name, argv[i]) == 0;
      });
      if (row == rows.end()) {
        std::fprintf(stderr, "quillet-bench: no workload %s\n", argv[i]);
        return 2;
      }
      for (int k = 0; k < runs; ++k) {
        const Result r = row->run();
        std::printf("%-11s %10.4f s %14.0f records/s\n", row->name, r.seconds,
                    r.records / r.seconds);
      }
    }
    return 0;
  }

  std::printf("%s: %.1f MB, median of %d runs\n\n", path.c_str(), bytes / 1e6, runs);
  std::printf("%-11s %10s %14s %10s\n", "workload", "seconds", "records/s", "MB/s");
  std::vector<double> medians;
  std::uint64_t records = 0;
  for (const Row& row : rows) {
    std::vector<double> times;
    Result last{};
    for (int i = 0; i < runs; ++i) {
      last = row.run();
      times.push_back(last.seconds);
    }
    const double t = Median(times);
    medians.push_back(t);
    if (last.records) records = last.records;
    std::printf("%-11s %10.4f %14.0f %10.1f\n", row.name, t,
                last.records ? last.records / t : records / t, bytes / t / 1e6);
  }
  auto median_of = [&](const char* name) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (std::strcmp(rows[i].name, name) == 0) return medians[i];
    }
    return 0.0;
  };
  const double read = median_of("read"), walk = median_of("walk"), digest = median_of("digest"),
               floor = median_of("floor"), read_file = median_of("read()"),
               md5_file = median_of("read()+md5");
  std::printf("\n%-34s %6.2f  (target <= 3)\n", "walk / floor", walk / floor);
  std::printf("%-34s %6.2f  (target <= 1.5)\n", "read / read()", read / read_file);
  std::printf("%-34s %6.2f  (target <= 1.2)\n", "digest / (read() + one md5 pass)",
              digest / md5_file);
  std::printf("%-34s %6.0f  (target >= 900000)\n", "walk records/s", records / walk);
#ifndef QUILLET_BENCH_CLASSIC_ONLY
  const double views = median_of("views"), pipe = median_of("views-pipe");
  std::printf("%-34s %6.2f  (target >= 3)\n", "walk / views", walk / views);
  std::printf("%-34s %6.2f  (target <= 1.5)\n", "views / floor", views / floor);
  std::printf("%-34s %6.2f  (target <= 1.3)\n", "views-pipe / views", pipe / views);
#ifndef QUILLET_BENCH_NO_EDIT
  std::printf("%-34s %6.2f  (target <= 2)\n", "edit / views", median_of("edit") / views);
#endif
#endif
  return 0;
}
