// Mnemonic text: the format catalogers edit records in.
#include "formats/escapes.h"
#include "quillet/formats.h"
#include "quillet/text.h"

namespace quillet {

using escapes::LineText;
using escapes::MnemonicBlanks;
using escapes::Put;

void writeMnemonicField(const FieldView& f, RecordText& text, OutputBuffer& out) {
  char* q = out.room(escapes::FieldRoom(f));
  text.startField();
  *q++ = '=';
  q = LineText(q, text.plain(f.tag()), true);
  q = Put(q, "  ");
  if (f.isControl()) {
    q = MnemonicBlanks(q, text.text(f.data()));
  } else {
    q = MnemonicBlanks(q, text.plain(f.indicators()));
    q = LineText(q, text.text(fieldPrefix(f)), true);
    for (const SubfieldView& s : f.subfields()) {
      *q++ = '$';
      q = LineText(q, text.plain(subfieldCode(s)), true);
      q = LineText(q, text.text(s.value()), true);
    }
  }
  out.commit(q);
}

void writeMnemonic(const RecordView& rec, RecordText& text, OutputBuffer& out,
                   const TagFilter& filter) {
  const std::string_view leader = text.leader();
  char* q = out.room(escapes::PieceRoom(leader));
  q = Put(q, "=LDR  ");
  q = LineText(q, text.plain(leader), true);
  *q++ = '\n';
  out.commit(q);
  for (const FieldView& f : rec.fields()) {
    if (!filter.selects(f)) continue;
    writeMnemonicField(f, text, out);
    out.append("\n");
  }
  out.append("\n");
}

void appendMnemonicText(std::string_view bytes, std::string& out) {
  escapes::AppendEscaped(bytes, out,
                         [](char* q, std::string_view b) { return LineText(q, b, true); });
}

}  // namespace quillet
