#ifndef QUILLET_TESTS_SUPPORT_AGREEMENT_H_
#define QUILLET_TESTS_SUPPORT_AGREEMENT_H_

// The rule that ties the record views to the classic interface: for a record
// the classic interface reads and parses without an exception, and in which
// the views find no problem, both give the same fields with the same bytes
// (per tag, in directory order) and the same non-empty subfields. Shared by
// the corpus test and the agreement fuzz target.

#include <quillet/iso2709.h>
#include <quillet/quillet.h>
#include <quillet/view.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace quillet_test {

// One field as both interfaces can describe it: tag, then either the
// control content or the indicators and the non-empty subfields.
struct FieldImage {
  std::string tag;
  bool control = false;
  std::string content;  // control content, or the two indicators
  std::vector<std::pair<char, std::string>> subfields;
  bool operator==(const FieldImage& o) const {
    return tag == o.tag && control == o.control && content == o.content &&
           subfields == o.subfields;
  }
};

// Reads a field's content (its terminator left off) the way the classic
// parser reads a data field, as a state machine from position 4.
inline FieldImage DataImage(const std::string& tag, std::string_view data) {
  FieldImage image{tag, false, std::string(data.substr(0, 2)), {}};
  enum { kAtCode, kAtDataStart, kInData } state = kAtDataStart;
  std::size_t start = 0, count = 0;
  bool open = false;
  auto emit = [&] {
    if (open) image.subfields.emplace_back(data[start - 1], std::string(data.substr(start, count)));
    open = false;
  };
  for (std::size_t pos = 4; pos <= data.size(); ++pos) {
    const char b = pos < data.size() ? data[pos] : quillet::iso2709::kFieldTerminator;
    if (b == quillet::iso2709::kSubfieldDelimiter) {
      emit();
      state = kAtCode;
    } else if (b == quillet::iso2709::kFieldTerminator) {
      emit();
      break;
    } else if (state == kAtCode) {
      state = kAtDataStart;
    } else if (state == kAtDataStart) {
      start = pos;
      count = 1;
      open = true;
      state = kInData;
    } else {
      ++count;
    }
  }
  return image;
}

// The classic interface's fields, in its order (by tag, equal tags in
// directory order). Throws what the classic parse throws.
inline std::vector<FieldImage> ClassicImages(quillet::Record& rec) {
  std::vector<FieldImage> out;
  for (auto it = rec.getFMapBegin(); it != rec.getFMapEnd(); ++it) {
    char tag[4];
    it->first.ToAscii(tag);
    if (it->second->isControl()) {
      auto* cf = static_cast<const quillet::ControlField*>(it->second);
      out.push_back({std::string(tag, 3), true, std::string(cf->getData(), cf->getDatalen()), {}});
      continue;
    }
    auto* df = static_cast<quillet::DataField*>(it->second);
    FieldImage image{std::string(tag, 3), false, std::string{df->getInd1(), df->getInd2()}, {}};
    for (auto s = df->getSFListBegin(); s != df->getSFListEnd(); ++s) {
      image.subfields.emplace_back((*s)->getCode(), std::string((*s)->getData(), (*s)->getDatalen()));
    }
    out.push_back(std::move(image));
  }
  return out;
}

// The views' fields in the classic order. The kind follows the classic
// rule (a delimiter after two indicators), so that the bytes are compared
// whatever the tag says; a data field under a data tag is read through the
// views' own subfields, its empty ones left out.
inline std::vector<FieldImage> ViewImages(const quillet::RecordView& rec) {
  std::vector<FieldImage> out;
  for (const quillet::FieldView& f : rec.fields()) {
    const std::string tag(f.tag());
    const std::string_view d = f.data();
    if (d.size() + 1 < quillet::iso2709::kMinDataFieldLength ||
        d[2] != quillet::iso2709::kSubfieldDelimiter) {
      out.push_back({tag, true, std::string(d), {}});
    } else if (f.isControl()) {
      out.push_back(DataImage(tag, d));
    } else {
      FieldImage image{tag, false, std::string(f.indicators()), {}};
      for (const quillet::SubfieldView& s : f.subfields()) {
        if (!s.value().empty()) image.subfields.emplace_back(s.code(), std::string(s.value()));
      }
      out.push_back(std::move(image));
    }
  }
  auto key = [](const std::string& t) {
    return (static_cast<unsigned char>(t[0]) << 16) | (static_cast<unsigned char>(t[1]) << 8) |
           static_cast<unsigned char>(t[2]);
  };
  std::stable_sort(out.begin(), out.end(), [&](const FieldImage& a, const FieldImage& b) {
    return key(a.tag) < key(b.tag);
  });
  return out;
}

// Whether the rule applies to `rec`: the classic interface parses it
// without an exception, the views find no problem, and its leader gives the
// classic layout (two indicators, two-byte subfield identifiers). When it
// applies, `agrees` says whether the two agree.
inline bool AgreementApplies(quillet::Record& rec, bool* agrees) {
  const quillet::RecordView view(rec);
  if (!view.problems().empty()) return false;
  const char ind = rec.getLeader()[quillet::iso2709::kIndicatorCountOffset];
  const char code = rec.getLeader()[quillet::iso2709::kSubfieldCodeLengthOffset];
  if ((ind >= '0' && ind <= '9' && ind != '2') || (code >= '0' && code <= '9' && code != '2')) {
    return false;
  }
  std::vector<FieldImage> classic;
  try {
    classic = ClassicImages(rec);
  } catch (const quillet::MrcException&) {
    return false;
  }
  *agrees = classic == ViewImages(view);
  return true;
}

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_AGREEMENT_H_
