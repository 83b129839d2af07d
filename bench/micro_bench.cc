// Micro-benchmarks of the reader's parts, on records from the test builder.
#include <benchmark/benchmark.h>
#include <quillet/quillet.h>

#include <sstream>
#include <string>
#include <vector>

#include "classic/bytes_to_int.h"
#include "common/md5_digest.h"
#include "support/record_builder.h"

namespace {

using quillet_test::BuildRecord;
using quillet_test::DataContent;

// A record shaped like the average of real bibliographic records: about 16
// fields, 13 of them data fields with two to three subfields each.
std::string TypicalRecord() {
  std::vector<quillet_test::FieldSpec> fields = {
      {"001", "100000001"},
      {"003", "QUIL"},
      {"005", "20240311094512.0"},
      {"008", "230915s2023    enka     b    001 0 eng d"}};
  const char* tags[] = {"020", "040", "050", "082", "100", "245", "264",
                        "300", "336", "337", "338", "650", "651"};
  for (const char* tag : tags) {
    fields.push_back({tag, DataContent("10", {{'a', "Some subfield text of a usual length"},
                                              {'b', "second part"},
                                              {'c', "third."}})});
  }
  return BuildRecord(fields);
}

// A directory entry's two numbers, from entries that vary so that nothing
// is folded at compile time.
void BM_DecimalReading(benchmark::State& state) {
  const std::string entries = "245008700213650004500300700001200045100003200077";
  std::size_t i = 0;
  for (auto _ : state) {
    const char* entry = entries.data() + (i++ & 3) * 12;
    benchmark::DoNotOptimize(quillet::BytesToInt(entry, 3, 4) + quillet::BytesToInt(entry, 7, 5));
  }
}
BENCHMARK(BM_DecimalReading);

void BM_TagPacking(benchmark::State& state) {
  std::string tags = "001245650856";
  benchmark::DoNotOptimize(tags.data());
  std::size_t i = 0;
  for (auto _ : state) {
    quillet::FieldTag tag(tags.data() + (i++ & 3) * 3);
    benchmark::DoNotOptimize(tag);
  }
}
BENCHMARK(BM_TagPacking);

void BM_RecordCopy(benchmark::State& state) {
  const std::string bytes = TypicalRecord();
  for (auto _ : state) {
    quillet::Record rec(bytes.data(), static_cast<unsigned>(bytes.size()));
    benchmark::DoNotOptimize(rec.getData());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordCopy);

void BM_DirectoryParse(benchmark::State& state) {
  const std::string bytes = TypicalRecord();
  for (auto _ : state) {
    quillet::Record rec(bytes.data(), static_cast<unsigned>(bytes.size()));
    benchmark::DoNotOptimize(rec.getFMapBegin());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DirectoryParse);

void BM_SubfieldParse(benchmark::State& state) {
  const std::string bytes = DataContent("10", {{'a', "Some subfield text of a usual length"},
                                               {'b', "second part"},
                                               {'c', "third."}}) +
                            '\x1E';
  for (auto _ : state) {
    // A new field each time: its list is made, filled and freed.
    quillet::DataField field(bytes.data(), static_cast<unsigned>(bytes.size()));
    benchmark::DoNotOptimize(field.getSFListBegin());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SubfieldParse);

void BM_FullWalk(benchmark::State& state) {
  const std::string bytes = TypicalRecord();
  std::string stream;
  for (int i = 0; i < 64; ++i) stream += bytes;
  for (auto _ : state) {
    std::istringstream in(stream);
    quillet::Record rec;
    std::size_t n = 0;
    while (in >> rec) {
      for (auto it = rec.getFMapBegin(); it != rec.getFMapEnd(); ++it) {
        if (it->second->isControl()) continue;
        auto* df = static_cast<quillet::DataField*>(it->second);
        for (auto s = df->getSFListBegin(); s != df->getSFListEnd(); ++s) n += (*s)->getDatalen();
      }
    }
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_FullWalk);

void BM_Digest(benchmark::State& state) {
  const std::string bytes = TypicalRecord();
  quillet::Record rec(bytes.data(), static_cast<unsigned>(bytes.size()));
  unsigned char digest[16];
  for (auto _ : state) {
    rec.getMD5(digest);
    benchmark::DoNotOptimize(digest[0]);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Digest);

}  // namespace

BENCHMARK_MAIN();
