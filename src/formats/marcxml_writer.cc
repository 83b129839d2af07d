// MARCXML record elements.
#include "formats/escapes.h"
#include "quillet/formats.h"
#include "quillet/text.h"

namespace quillet {

using escapes::Put;
using escapes::XmlText;

const char kMarcXmlHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<collection xmlns=\"http://www.loc.gov/MARC21/slim\">\n";
const char kMarcXmlFooter[] = "</collection>\n";

std::size_t writeMarcXml(const RecordView& rec, RecordText& text, OutputBuffer& out,
                         const TagFilter& filter) {
  std::size_t replaced = 0;
  const std::string_view leader = text.leader();
  char* q = out.room(escapes::PieceRoom(leader));
  q = Put(q, "  <record>\n    <leader>");
  q = XmlText(q, leader, false, &replaced);
  q = Put(q, "</leader>\n");
  out.commit(q);
  // Decoded text is UTF-8 already; raw bytes are checked as they are copied.
  const bool utf8 = text.toUtf8();
  for (int pass = 0; pass < 2; ++pass) {  // control fields, then data fields
    for (const FieldView& f : rec.fields()) {
      if (f.isControl() != (pass == 0) || !filter.selects(f)) continue;
      q = out.room(escapes::FieldRoom(f));
      text.startField();
      if (f.isControl()) {
        q = Put(q, "    <controlfield tag=\"");
        q = XmlText(q, f.tag(), false, &replaced);
        q = Put(q, "\">");
        q = XmlText(q, text.text(f.data()), utf8, &replaced);
        q = Put(q, "</controlfield>\n");
        out.commit(q);
        continue;
      }
      q = Put(q, "    <datafield tag=\"");
      q = XmlText(q, f.tag(), false, &replaced);
      q = Put(q, "\" ind1=\"");
      q = XmlText(q, fieldIndicator(f, 0), false, &replaced);
      q = Put(q, "\" ind2=\"");
      q = XmlText(q, fieldIndicator(f, 1), false, &replaced);
      q = Put(q, "\">\n");
      const std::string_view prefix = fieldPrefix(f);
      if (!prefix.empty()) {
        q = Put(q, "      <subfield code=\"\">");
        q = XmlText(q, text.text(prefix), utf8, &replaced);
        q = Put(q, "</subfield>\n");
      }
      for (const SubfieldView& s : f.subfields()) {
        q = Put(q, "      <subfield code=\"");
        q = XmlText(q, subfieldCode(s), false, &replaced);
        q = Put(q, "\">");
        q = XmlText(q, text.text(s.value()), utf8, &replaced);
        q = Put(q, "</subfield>\n");
      }
      q = Put(q, "    </datafield>\n");
      out.commit(q);
    }
  }
  out.append("  </record>\n");
  return replaced;
}

}  // namespace quillet
