// How the library uses memory, seen through a counting global operator new:
// running out at every allocation in turn along a full walk (each failure
// reaches the caller as std::bad_alloc, frees everything and leaves the
// record usable), and the per-thread cache of field and subfield blocks
// (bounded, emptied when its thread ends, safe when a record is destroyed
// on another thread than the one that filled it).
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundations/block_cache.h"
#include "record/node_cache.h"
#include "support/expect_mrc.h"
#include "support/record_builder.h"

namespace {

// Failure injection is used from the main thread only; the live count is
// shared by every thread.
long g_countdown = -1;        // allocations left before one fails; -1: never
std::atomic<long> g_live{0};  // allocations not yet freed

void* Allocate(std::size_t n) {
  if (g_countdown >= 0 && g_countdown-- == 0) throw std::bad_alloc();
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  ++g_live;
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

// Empties the calling thread's caches of blocks and map nodes, so that the
// live count shows only what is really held.
void ReleaseThreadCaches() {
  ReleaseCachedBlocks();
  ReleaseCachedNodes();
}

// Suspends failure injection while the test itself looks at the state.
class Unarmed {
 public:
  Unarmed() : saved_(g_countdown) { g_countdown = -1; }
  ~Unarmed() { g_countdown = saved_; }

 private:
  long saved_;
};

// Appends to the trace without counting as an allocation of the walk.
void Note(std::string& trace, const char* text) {
  Unarmed unarmed;
  trace += text;
}

void Note(std::string& trace, char c) {
  Unarmed unarmed;
  trace += c;
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

// Fields that survive a failed directory parse are whole and inside the
// record, and asking again returns them without parsing.
void ExpectWholeFields(Record& rec) {
  Unarmed unarmed;
  long n = 0;
  try {
    n = std::distance(rec.getFMapBegin(), rec.getFMapEnd());
  } catch (const MrcException&) {
    return;  // nothing was kept, so the damaged directory is parsed again
  }
  for (auto it = rec.getFMapBegin(); it != rec.getFMapEnd(); ++it) {
    if (it->second->isControl()) {
      auto* cf = static_cast<const ControlField*>(it->second);
      EXPECT_GE(cf->getData(), rec.getData());
      EXPECT_LE(cf->getData() + cf->getDatalen(), rec.getData() + rec.getDatalen());
    } else {
      auto* df = static_cast<DataField*>(it->second);
      for (auto s = df->getSFListBegin(); s != df->getSFListEnd(); ++s) {
        EXPECT_GT((*s)->getDatalen(), 0u);
      }
    }
  }
  EXPECT_EQ(n, std::distance(rec.getFMapBegin(), rec.getFMapEnd()));
}

// Walks one record; on bad_alloc checks the state the failing call left,
// then lets the failure go on to the caller.
void Walk(Record& rec, std::string& trace) {
  Record::const_iterator it, end;
  try {
    it = rec.getFMapBegin();
    end = rec.getFMapEnd();
  } catch (const std::bad_alloc&) {
    ExpectWholeFields(rec);
    throw;
  } catch (const MrcException& e) {
    Note(trace, e.what());
    ExpectWholeFields(rec);
    it = rec.getFMapBegin();
    end = rec.getFMapEnd();
  }
  for (; it != end; ++it) {
    if (it->second->isControl()) continue;
    auto* df = static_cast<DataField*>(it->second);
    try {
      for (auto s = df->getSFListBegin(); s != df->getSFListEnd(); ++s)
        Note(trace, (*s)->getCode());
      df->getSubfield('c', df->getSFListBegin());
    } catch (const std::bad_alloc&) {
      Unarmed unarmed;
      // No partial list: the field is unparsed and parses whole next time.
      EXPECT_EQ(0u, df->getSubfieldsCount());
      EXPECT_NE(df->getSFListBegin(), df->getSFListEnd());
      throw;
    }
  }
  try {
    Note(trace, std::to_string(rec.getId()).c_str());
  } catch (const MrcException& e) {
    Note(trace, e.what());
  }
  unsigned char digest[16];
  rec.getMD5(digest);
  Note(trace, std::to_string(digest[0]).c_str());
}

std::string Scenario() {
  std::string trace;
  std::istringstream in(Records());
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
  const std::string bytes = Records();
  Record copy(bytes.data(), static_cast<unsigned>(bytes.size()));
  Walk(copy, trace);
  return trace;
}

TEST(OutOfMemory, EveryAllocationMayFail) {
  const std::string clean = Scenario();
  // Cached blocks would spare the allocations of fields and subfields.
  ReleaseThreadCaches();
  ASSERT_NE(std::string::npos, clean.find("Field out of buffer."));
  ASSERT_NE(std::string::npos, clean.find("abcdefghijklmnop"));
  long failures = 0;
  for (long n = 0;; ++n) {
    ReleaseThreadCaches();
    const long live = g_live;
    bool completed = false;
    g_countdown = n;
    try {
      const std::string trace = Scenario();
      completed = true;
      g_countdown = -1;
      EXPECT_EQ(clean, trace);
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    g_countdown = -1;
    ReleaseThreadCaches();
    EXPECT_EQ(live, g_live) << "allocations leaked when allocation " << n << " failed";
    if (completed) break;
  }
  // Every allocation of the walk was made to fail once.
  EXPECT_GT(failures, 40);
  std::cout << "[ oom      ] failed each of " << failures << " allocations in turn\n";
}

TEST(OutOfMemory, FailingToBuildAMessageIsBadAlloc) {
  // Building the message may itself run out of memory: then bad_alloc, not
  // a half-made exception, reaches the caller.
  const std::string bad = Patched(BuildRecord({{"001", "1"}}), 0, "0x025");
  for (long n = 0; n < 4; ++n) {
    g_countdown = n;
    try {
      Record rec(bad.data(), static_cast<unsigned>(bad.size()));
      g_countdown = -1;
      ADD_FAILURE() << "no exception";
    } catch (const std::bad_alloc&) {
    } catch (const MrcException& e) {
      g_countdown = -1;
      EXPECT_STREQ("BytesToInt Error", e.what());
    }
    g_countdown = -1;
  }
}

// Fills a record from a stream of the test records and walks it.
void FillAndWalk(Record& rec, std::istringstream& in) {
  std::string trace;
  ASSERT_TRUE(in >> rec);
  Walk(rec, trace);
  ASSERT_TRUE(in >> rec);  // the large record: many subfields
  Walk(rec, trace);
}

TEST(BlockCache, KeepsABoundedNumberOfBlocksPerThread) {
  ReleaseThreadCaches();
  const long base = g_live;
  std::vector<Subfield*> many;
  for (std::size_t i = 0; i < 3 * kCachedBlocks; ++i) many.push_back(new Subfield("x", 1));
  for (Subfield* s : many) delete s;
  many.clear();
  many.shrink_to_fit();
  EXPECT_EQ(base + static_cast<long>(kCachedBlocks), g_live);
  ReleaseThreadCaches();
  EXPECT_EQ(base, g_live);
}

TEST(BlockCache, ReusesFreedBlocks) {
  ReleaseThreadCaches();
  Subfield* first = new Subfield("x", 1);
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(first);
  delete first;
  Subfield* second = new Subfield("y", 1);
  EXPECT_EQ(address, reinterpret_cast<std::uintptr_t>(second));
  delete second;
}

TEST(ThreadCaches, ReturnEverythingWhenTheirThreadEnds) {
  ReleaseThreadCaches();
  const long base = g_live;
  std::thread worker([] {
    std::istringstream in(Records());
    Record rec;
    FillAndWalk(rec, in);
  });
  worker.join();
  EXPECT_EQ(base, g_live);
}

TEST(ThreadCaches, RecordsMayBeDestroyedOnAnotherThread) {
  constexpr int kRecords = 64;
  std::vector<std::unique_ptr<Record>> filled(kRecords);
  ReleaseThreadCaches();
  const long base = g_live;
  // Two threads fill records while a third destroys what they made.
  auto fill = [&](int from) {
    for (int i = from; i < kRecords; i += 2) {
      std::istringstream in(Records());
      auto rec = std::make_unique<Record>();
      FillAndWalk(*rec, in);
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
  // Every thread has ended, so every block went back.
  EXPECT_EQ(base, g_live);
}

}  // namespace
}  // namespace quillet
