// How the library uses memory, seen through a counting global operator new:
// running out at every allocation and every pair of allocations along a full
// walk, on a thread whose pools do not exist yet (each failure reaches the
// caller as std::bad_alloc, frees everything and leaves the record usable),
// and the per-thread pools (emptied when their thread ends, safe when a
// record is destroyed on another thread than the one that filled it).
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "classic/object_pool.h"
#include "quillet/marc_record.h"
#include "quillet/view.h"
#include "support/expect_mrc.h"
#include "support/record_builder.h"
#include "support/record_walk.h"

namespace {

// Failure injection is per thread: a scenario runs on a thread of its own.
// While armed, allocations are numbered from 0 and the ones numbered
// t_first and t_second fail. The live count is shared by every thread.
thread_local bool t_armed = false;
thread_local long t_index = 0;
thread_local long t_first = -1, t_second = -1;
std::atomic<long> g_live{0};  // allocations not yet freed
std::atomic<long> g_made{0};  // allocations ever made

void* Allocate(std::size_t n) {
  if (t_armed) {
    const long i = t_index++;
    if (i == t_first || i == t_second) throw std::bad_alloc();
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  ++g_live;
  ++g_made;
  return p;
}

void Release(void* p) noexcept {
  if (!p) return;
  --g_live;
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }

namespace quillet {
namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;
using quillet_test::EntryPos;
using quillet_test::Patched;
using quillet_test::WalkRecord;

// Suspends failure injection while the test itself looks at the state.
class Unarmed {
 public:
  Unarmed() : saved_(t_armed) { t_armed = false; }
  ~Unarmed() { t_armed = saved_; }

 private:
  bool saved_;
};

void Note(std::string& trace, const std::string& text) {
  Unarmed unarmed;
  trace += text;
}

std::string Records() {
  std::string many = "  ";
  for (char c = 'a'; c <= 'p'; ++c) many += std::string("\x1F") + c + "v";
  const std::string small = BuildRecord({{"001", "1"},
                                         {"245", DataContent("10", {{'a', "T"}, {'c', "C"}})},
                                         {"650", DataContent(" 0", {{'a', "S"}})}});
  const std::string large =
      BuildRecord({{"001", "2"}, {"520", many}, {"500", std::string(2500, 'x')}});
  const std::string letters =
      BuildRecord({{"001", "ocm123"}, {"500", DataContent("  ", {{'a', "n"}})}});
  const std::string damaged =
      Patched(BuildRecord({{"001", "4"}, {"005", "x"}, {"245", "y"}}), EntryPos(2) + 3, "9999");
  return small + large + letters + damaged;
}

// After a failure inside a walk: every data field is unparsed or holds all
// its subfields (no partial list), and the fields kept are whole.
void ExpectNothingHalfMade(Record& rec) {
  Unarmed unarmed;
  if (rec.getDatalen() == 0) return;
  // Subfields of each data field of a fresh parse, by the offset of its first one.
  std::map<std::ptrdiff_t, unsigned> whole;
  Record fresh(rec.getData(), rec.getDatalen());
  try {
    for (auto it = fresh.getFMapBegin(); it != fresh.getFMapEnd(); ++it) {
      if (it->second->isControl()) continue;
      auto* df = static_cast<DataField*>(it->second);
      if (df->getSFListBegin() == df->getSFListEnd()) continue;
      whole[(*df->getSFListBegin())->getData() - fresh.getData()] = df->getSubfieldsCount();
    }
  } catch (const MrcException&) {
  }
  try {
    for (auto it = rec.getFMapBegin(); it != rec.getFMapEnd(); ++it) {
      if (it->second->isControl()) continue;
      auto* df = static_cast<DataField*>(it->second);
      if (df->getSubfieldsCount() == 0) continue;
      EXPECT_EQ(whole[(*df->getSFListBegin())->getData() - rec.getData()], df->getSubfieldsCount());
    }
    WalkRecord(rec);  // aborts if a kept field reaches outside the record
  } catch (const MrcException&) {
  }
}

// Walks one record; a bad_alloc goes on to the caller once the state it
// left is checked.
void Walk(Record& rec, std::string& trace) {
  try {
    try {
      WalkRecord(rec, {false, &trace});
    } catch (const MrcException& e) {
      Note(trace, e.what());
      WalkRecord(rec, {false, &trace});  // the fields before the damage, kept
    }
    try {
      Note(trace, std::to_string(rec.getId()));
    } catch (const MrcException& e) {
      Note(trace, e.what());
    }
  } catch (const std::bad_alloc&) {
    ExpectNothingHalfMade(rec);
    throw;
  }
  unsigned char digest[16];
  rec.getMD5(digest);
  Note(trace, std::to_string(digest[0]));
}

std::string Scenario() {
  std::string trace;
  {
    Unarmed unarmed;
    trace.reserve(4096);  // so the trace itself never allocates during a walk
  }
  const std::string bytes = Records();
  std::istringstream in(bytes);
  Record rec;
  for (;;) {
    try {
      if (!(in >> rec)) break;
    } catch (const std::bad_alloc&) {
      Unarmed unarmed;
      // A failed buffer growth leaves no buffer rather than a freed one.
      EXPECT_EQ(0u, rec.getDatalen());
      EXPECT_EQ(nullptr, rec.getData());
      EXPECT_EQ(rec.getFMapBegin(), rec.getFMapEnd());
      throw;
    }
    Walk(rec, trace);
  }
  Record copy(bytes.data(), static_cast<unsigned>(bytes.size()));
  Walk(copy, trace);
  return trace;
}

// Runs the scenario on a new thread, whose pools start empty, with the
// allocations numbered `first` and `second` failing (-1: none). Returns
// whether it completed, with its trace in `trace`, and the number of
// allocations it made in `made`.
bool FailingScenario(long first, long second, std::string& trace, long* made = nullptr) {
  bool completed = false;
  std::thread worker([&] {
    t_first = first;
    t_second = second;
    t_armed = true;
    try {
      std::string result = Scenario();
      t_armed = false;
      trace = std::move(result);
      completed = true;
    } catch (const std::bad_alloc&) {
    }
    t_armed = false;
    if (made) *made = t_index;
  });
  worker.join();
  return completed;
}

// A failure that is absorbed once can return when memory runs out again
// later (a cache that half-made itself, then grows inside a noexcept path):
// so every allocation fails alone, and every pair fails together.
TEST(OutOfMemory, AnyOneOrTwoAllocationsMayFail) {
  std::string clean;
  long total = 0;
  ASSERT_TRUE(FailingScenario(-1, -1, clean, &total));
  ASSERT_NE(std::string::npos, clean.find("Field out of buffer."));
  ASSERT_NE(std::string::npos, clean.find("abcdefghijklmnop"));
  ASSERT_GT(total, 40);
  long runs = 0;
  for (long first = 0; first < total; ++first) {
    for (long second = first; second < total; ++second) {
      const long live = g_live;
      {
        std::string trace;
        if (FailingScenario(first, second == first ? -1 : second, trace)) {
          EXPECT_EQ(clean, trace) << "allocations " << first << " and " << second << " failed";
        }
      }
      // The thread has ended: its pools went back with it.
      ASSERT_EQ(live, g_live) << "leak when allocations " << first << " and " << second
                              << " failed";
      ++runs;
    }
  }
  std::cout << "[ oom      ] " << total << " allocations; " << runs
            << " runs with one or two of them failing\n";
}

// Fills a record from the test records and walks it.
void FillAndWalk(Record& rec) {
  std::istringstream in(Records());
  ASSERT_TRUE(in >> rec);
  WalkRecord(rec);
  ASSERT_TRUE(in >> rec);  // the large record: many subfields
  WalkRecord(rec);
}

TEST(ThreadPools, RecordsMayBeDestroyedOnAnotherThread) {
  constexpr int kRecords = 64;
  std::vector<std::unique_ptr<Record>> filled(kRecords);
  ReleaseThreadPools();
  const long base = g_live;
  // Two threads fill records while a third destroys what they made.
  auto fill = [&](int from) {
    for (int i = from; i < kRecords; i += 2) {
      auto rec = std::make_unique<Record>();
      FillAndWalk(*rec);
      filled[i] = std::move(rec);
    }
  };
  std::thread a(fill, 0), b(fill, 1);
  a.join();
  b.join();
  std::thread destroyer([&] {
    for (auto& rec : filled) rec.reset();
  });
  destroyer.join();
  // Every thread has ended, so everything they kept went back.
  EXPECT_EQ(base, g_live);
}

// Once warm, the reader and its record views allocate nothing per record,
// from memory or from a stream.
TEST(RecordViews, AllocateNothingPerRecordOnceWarm) {
  std::string bytes;
  for (int i = 0; i < 200; ++i) bytes += Records();
  std::istringstream in(bytes);
  Reader from_memory(bytes.data(), bytes.size());
  Reader from_stream(in);
  for (Reader* reader : {&from_memory, &from_stream}) {
    RecordView rec;
    long made = 0;
    for (int n = 0; reader->next(rec); ++n) {
      for (const FieldView& f : rec.fields()) {
        for (const SubfieldView& s : f.subfields()) static_cast<void>(s.value());
      }
      static_cast<void>(rec.problems());
      if (n == 40) made = g_made;  // ten times round the four test records
    }
    EXPECT_EQ(made, g_made);
  }
}

// Once warm, one MarcRecord reused for every record allocates nothing for
// the usual job: read, change, write into a reused string.
TEST(MarcRecord, AllocatesNothingPerRecordOnceWarm) {
  std::string bytes;
  for (int i = 0; i < 200; ++i) bytes += Records();
  Reader reader(bytes.data(), bytes.size());
  RecordView view;
  MarcRecord rec;
  std::string out;
  long made = 0;
  for (int n = 0; reader.next(view); ++n) {
    rec.assign(view);
    rec.removeFields("9XX");
    rec.insertDataField(rec.tagOrderPosition("500"), "500", ' ', ' ', {{'a', "Checked."}});
    const std::size_t title = rec.findField("245");
    if (title != MarcRecord::npos) rec.setSubfield(title, 'a', "A new title");
    out.clear();
    rec.appendIso2709(out);
    if (n == 40) made = g_made;
  }
  EXPECT_EQ(made, g_made);
}

}  // namespace
}  // namespace quillet
