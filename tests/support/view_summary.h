#ifndef QUILLET_TESTS_SUPPORT_VIEW_SUMMARY_H_
#define QUILLET_TESTS_SUPPORT_VIEW_SUMMARY_H_

// Everything a reader gives, as text: one line per record with its offset,
// length and 001, each problem described with its offset, and the codes of
// every subfield (so every view is walked); then the reader's own problems.
// Two readers agree when their summaries are equal.

#include <quillet/view.h>

#include <sstream>
#include <string>

namespace quillet_test {

inline std::string Summary(quillet::Reader& reader) {
  std::ostringstream out;
  quillet::RecordView rec;
  while (reader.next(rec)) {
    out << '@' << rec.offset() << '+' << rec.bytes().size() << ' ' << rec.controlNumber();
    for (const quillet::Problem& p : rec.problems()) {
      out << " [" << p.describe() << " @" << p.offset << ']';
    }
    out << " $";
    for (const quillet::FieldView& f : rec.fields()) {
      for (const quillet::SubfieldView& s : f.subfields()) {
        out.put(s.code() > ' ' ? s.code() : '?');
        static_cast<void>(s.value().size());
      }
    }
    out << '\n';
  }
  for (const quillet::Problem& p : reader.problems()) {
    out << "reader [" << p.describe() << " @" << p.offset << "]\n";
  }
  return out.str();
}

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_VIEW_SUMMARY_H_
