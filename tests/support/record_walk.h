#ifndef QUILLET_TESTS_SUPPORT_RECORD_WALK_H_
#define QUILLET_TESTS_SUPPORT_RECORD_WALK_H_

// The one walk of a whole record through the classic interface, shared by
// the tests, the fuzz targets and the benchmarks: every field in map order,
// every subfield of every data field, each view checked to lie inside the
// record's bytes (the process aborts when one does not, so fuzzers and
// sanitizers see it). Header-only, so the benchmark's walk inlines it.

#include <quillet/quillet.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>

namespace quillet_test {

struct Walked {
  std::size_t fields = 0;
  std::size_t subfields = 0;
  std::uint64_t sum = 0;  // folded from the bytes seen, so no read is optimised away
};

// What else to do on the way.
struct WalkOptions {
  bool cross_check = false;      // look each tag and code up again; abort on a mismatch
  std::string* trace = nullptr;  // appends each subfield's code
};

// Aborts unless [p, p + n) lies inside the record's bytes.
inline void CheckInside(const quillet::Record& rec, const char* p, unsigned n) {
  const char* begin = rec.getData();
  const char* end = begin + rec.getDatalen();
  if (p < begin || p > end || n > static_cast<std::size_t>(end - p)) std::abort();
}

// Directory errors (MrcException) propagate; fields parsed before them stay
// in the record, so walking again gives those.
inline Walked WalkRecord(quillet::Record& rec, const WalkOptions& options = {}) {
  Walked w;
  for (auto it = rec.getFMapBegin(), end = rec.getFMapEnd(); it != end; ++it, ++w.fields) {
    if (options.cross_check) {
      char tag[4];
      it->first.ToAscii(tag);
      const auto range = rec.getFieldRange(tag);
      if (range.first == range.second || rec.getFirstField(tag) != range.first) std::abort();
    }
    if (it->second->isControl()) {
      const auto* cf = static_cast<const quillet::ControlField*>(it->second);
      CheckInside(rec, cf->getData(), cf->getDatalen());
      w.sum += cf->getDatalen();
      if (cf->getDatalen() != 0)
        w.sum += static_cast<unsigned char>(cf->getData()[cf->getDatalen() - 1]);
      continue;
    }
    auto* df = static_cast<quillet::DataField*>(it->second);
    w.sum += static_cast<unsigned char>(df->getInd1()) + static_cast<unsigned char>(df->getInd2());
    std::size_t count = 0;
    for (auto s = df->getSFListBegin(), e = df->getSFListEnd(); s != e; ++s, ++count) {
      const quillet::Subfield* sf = *s;
      if (sf->getDatalen() == 0) std::abort();
      CheckInside(rec, sf->getData() - 1, sf->getDatalen() + 1);
      w.sum += static_cast<unsigned char>(sf->getCode()) + sf->getDatalen() +
               static_cast<unsigned char>(sf->getData()[sf->getDatalen() - 1]);
      if (options.trace) *options.trace += sf->getCode();
      if (options.cross_check && df->getSubfield(sf->getCode(), s) != s) std::abort();
    }
    if (count != df->getSubfieldsCount()) std::abort();
    w.subfields += count;
  }
  return w;
}

// Every query of the interface, twice (the second time through the parsed
// state), with cross-checks; only MrcException may leave the library, so
// anything else escapes to the fuzzer as a finding.
inline void WalkAll(quillet::Record& rec) {
  for (int pass = 0; pass < 2; ++pass) {
    unsigned char digest[16];
    rec.getMD5(digest);
    try {
      rec.getId();
    } catch (const quillet::MrcException&) {
    }
    try {
      WalkRecord(rec, WalkOptions{true, nullptr});
      rec.getFirstField("001");
      rec.getFieldRange("245");
      rec.getFirstField(nullptr);
    } catch (const quillet::MrcException&) {
    }
  }
}

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_RECORD_WALK_H_
