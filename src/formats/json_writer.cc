// MARC-in-JSON, one record per line.
#include "formats/escapes.h"
#include "quillet/formats.h"
#include "quillet/text.h"

namespace quillet {

using escapes::JsonString;
using escapes::Put;

void writeJson(const RecordView& rec, RecordText& text, OutputBuffer& out,
               const TagFilter& filter) {
  const std::string_view leader = text.leader();
  char* q = out.room(escapes::PieceRoom(leader));
  q = Put(q, "{\"leader\":");
  q = JsonString(q, leader);
  q = Put(q, ",\"fields\":[");
  out.commit(q);
  // Decoded text is UTF-8 already; raw bytes are checked as they are copied.
  const bool utf8 = text.toUtf8();
  bool first = true;
  for (const FieldView& f : rec.fields()) {
    if (!filter.selects(f)) continue;
    q = out.room(escapes::FieldRoom(f));
    text.startField();
    if (!first) *q++ = ',';
    first = false;
    *q++ = '{';
    q = JsonString(q, f.tag());
    *q++ = ':';
    if (f.isControl()) {
      q = JsonString(q, text.text(f.data()), utf8);
      *q++ = '}';
      out.commit(q);
      continue;
    }
    q = Put(q, "{\"ind1\":");
    q = JsonString(q, fieldIndicator(f, 0));
    q = Put(q, ",\"ind2\":");
    q = JsonString(q, fieldIndicator(f, 1));
    q = Put(q, ",\"subfields\":[");
    bool first_subfield = true;
    const std::string_view prefix = fieldPrefix(f);
    if (!prefix.empty()) {
      q = Put(q, "{\"\":");
      q = JsonString(q, text.text(prefix), utf8);
      *q++ = '}';
      first_subfield = false;
    }
    for (const SubfieldView& s : f.subfields()) {
      if (!first_subfield) *q++ = ',';
      first_subfield = false;
      *q++ = '{';
      q = JsonString(q, subfieldCode(s));
      *q++ = ':';
      q = JsonString(q, text.text(s.value()), utf8);
      *q++ = '}';
    }
    q = Put(q, "]}}");
    out.commit(q);
  }
  out.append("]}\n");
}

void appendJsonText(std::string_view bytes, std::string& out) {
  escapes::AppendEscaped(bytes, out,
                         [](char* q, std::string_view b) { return escapes::JsonText(q, b); });
}

}  // namespace quillet
