// Line text: one field per line, for reading and for grep.
#include "formats/escapes.h"
#include "quillet/formats.h"
#include "quillet/text.h"

namespace quillet {

using escapes::LineText;
using escapes::Put;

void writeLine(const RecordView& rec, RecordText& text, OutputBuffer& out,
               const TagFilter& filter) {
  const std::string_view leader = text.leader();
  char* q = out.room(escapes::PieceRoom(leader));
  q = LineText(q, text.plain(leader), false);
  *q++ = '\n';
  out.commit(q);
  for (const FieldView& f : rec.fields()) {
    if (!filter.selects(f)) continue;
    q = out.room(escapes::FieldRoom(f));
    text.startField();
    q = LineText(q, text.plain(f.tag()), false);
    *q++ = ' ';
    if (f.isControl()) {
      q = LineText(q, text.text(f.data()), false);
    } else {
      q = LineText(q, text.plain(f.indicators()), false);
      q = LineText(q, text.text(fieldPrefix(f)), false);
      for (const SubfieldView& s : f.subfields()) {
        q = Put(q, " $");
        q = LineText(q, text.plain(subfieldCode(s)), false);
        *q++ = ' ';
        q = LineText(q, text.text(s.value()), false);
      }
    }
    *q++ = '\n';
    out.commit(q);
  }
  out.append("\n");
}

void appendLineText(std::string_view bytes, std::string& out) {
  escapes::AppendEscaped(bytes, out,
                         [](char* q, std::string_view b) { return LineText(q, b, false); });
}

}  // namespace quillet
