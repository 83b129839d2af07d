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
#include <string_view>
#include <vector>

namespace quillet_test {

// Whether the views' field `f` is the classic field `c`: the same bytes
// (both interfaces point into the record's one buffer), and for a data field
// the same non-empty subfields.
inline bool SameField(quillet::Field* c, const quillet::FieldView& f) {
  const std::string_view data = f.data();
  if (c->isControl()) {
    auto* cf = static_cast<const quillet::ControlField*>(c);
    return cf->getData() == data.data() && cf->getDatalen() == data.size();
  }
  auto* df = static_cast<quillet::DataField*>(c);
  if (data.size() < 2 || df->getInd1() != data[0] || df->getInd2() != data[1]) return false;
  std::vector<std::string_view> classic, views;
  for (auto s = df->getSFListBegin(); s != df->getSFListEnd(); ++s) {
    classic.emplace_back((*s)->getData() - 1, (*s)->getDatalen() + 1);  // code and value
  }
  if (f.isControl()) {
    // A 00X field with a delimiter after two bytes: the classic interface
    // takes it for a data field; its subfields must lie inside the field.
    return std::all_of(classic.begin(), classic.end(), [&](std::string_view s) {
      return s.data() > data.data() && s.data() + s.size() <= data.data() + data.size();
    });
  }
  for (const quillet::SubfieldView& s : f.subfields()) {
    if (!s.value().empty()) views.emplace_back(s.value().data() - 1, s.value().size() + 1);
  }
  return classic == views;
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
  if ((ind >= '0' && ind <= '9' && ind != '2') || (code >= '1' && code <= '9' && code != '2')) {
    return false;
  }
  // The views' fields in the classic order: by tag, equal tags in
  // directory order.
  std::vector<const quillet::FieldView*> fields;
  for (const quillet::FieldView& f : view.fields()) fields.push_back(&f);
  std::stable_sort(fields.begin(), fields.end(),
                   [](const quillet::FieldView* a, const quillet::FieldView* b) {
                     return quillet::FieldTag(a->tag().data()) < quillet::FieldTag(b->tag().data());
                   });
  try {
    *agrees = true;
    std::size_t i = 0;
    for (auto it = rec.getFMapBegin(); it != rec.getFMapEnd(); ++it, ++i) {
      if (i == fields.size() || !(it->first == quillet::FieldTag(fields[i]->tag().data())) ||
          !SameField(it->second, *fields[i])) {
        *agrees = false;
      }
    }
    if (i != fields.size()) *agrees = false;
  } catch (const quillet::MrcException&) {
    return false;
  }
  return true;
}

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_AGREEMENT_H_
