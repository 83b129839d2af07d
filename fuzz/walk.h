#ifndef QUILLET_FUZZ_WALK_H_
#define QUILLET_FUZZ_WALK_H_

// The full walk every fuzz target runs over a record: every query of the
// interface, twice (the second time through the cached paths), checking
// that each byte handed out lies inside the record. Only MrcException may
// leave the library; anything else escapes to the fuzzer as a finding.

#include <quillet/quillet.h>

#include <cstdlib>

namespace quillet_fuzz {

// Stops the run when a view points outside the record's bytes.
inline void CheckInside(const quillet::Record& rec, const char* p, unsigned n) {
  const char* begin = rec.getData();
  const char* end = begin + rec.getDatalen();
  if (n == 0) {
    if (p < begin || p > end) std::abort();
    return;
  }
  if (p < begin || p + n > end) std::abort();
}

inline unsigned Touch(const char* p, unsigned n) {
  unsigned sum = 0;
  for (unsigned i = 0; i < n; ++i) sum += static_cast<unsigned char>(p[i]);
  return sum;
}

inline unsigned WalkOnce(quillet::Record& rec) {
  unsigned sum = 0;
  unsigned char digest[16];
  rec.getMD5(digest);
  sum += digest[0];
  try {
    sum += static_cast<unsigned>(rec.getId());
  } catch (const quillet::MrcException&) {
  }
  try {
    for (auto it = rec.getFMapBegin(), end = rec.getFMapEnd(); it != end; ++it) {
      char tag[4];
      it->first.ToAscii(tag);
      // Look the tag up both ways: the answer must contain this field.
      auto range = rec.getFieldRange(tag);
      if (range.first == range.second || rec.getFirstField(tag) != range.first) std::abort();
      if (it->second->isControl()) {
        auto* cf = static_cast<const quillet::ControlField*>(it->second);
        CheckInside(rec, cf->getData(), cf->getDatalen());
        sum += Touch(cf->getData(), cf->getDatalen());
        continue;
      }
      auto* df = static_cast<quillet::DataField*>(it->second);
      sum += static_cast<unsigned char>(df->getInd1()) + static_cast<unsigned char>(df->getInd2());
      unsigned count = 0;
      for (auto s = df->getSFListBegin(), e = df->getSFListEnd(); s != e; ++s, ++count) {
        const quillet::Subfield* sf = *s;
        if (sf->getDatalen() == 0) std::abort();
        CheckInside(rec, sf->getData() - 1, sf->getDatalen() + 1);
        sum += Touch(sf->getData(), sf->getDatalen());
        // Looking the code up from here finds this very subfield.
        if (df->getSubfield(sf->getCode(), s) != s) std::abort();
      }
      if (count != df->getSubfieldsCount()) std::abort();
      df->getSubfield('a', df->getSFListBegin());
    }
    rec.getFirstField("001");
    rec.getFieldRange("245");
    rec.getFirstField(nullptr);
  } catch (const quillet::MrcException&) {
  }
  return sum;
}

inline unsigned Walk(quillet::Record& rec) {
  const unsigned first = WalkOnce(rec);
  WalkOnce(rec);
  return first;
}

}  // namespace quillet_fuzz

#endif  // QUILLET_FUZZ_WALK_H_
