// ISO 2709: records copied as read where they can be, written anew where
// they must be.
#include <string>

#include "quillet/formats.h"
#include "quillet/iso2709.h"
#include "quillet/marc8.h"
#include "quillet/text.h"
#include "quillet/view.h"
#include "quillet/writer.h"

namespace quillet {

namespace {

// Whether the reader framed the record or read its directory otherwise than
// its bytes say: then it is written anew. Junk before it, and damage inside
// data fields, leave its bytes as they are.
bool Repaired(const RecordView& rec) {
  for (const Problem& p : rec.problems()) {
    switch (p.kind) {
      case Problem::Kind::kJunkSkipped:
      case Problem::Kind::kShortDataField:
      case Problem::Kind::kNoSubfields:
      case Problem::Kind::kSubfieldWithoutCode:
      case Problem::Kind::kTerminatorInField:
        break;
      default:
        return true;
    }
  }
  return false;
}

// Whether the text comes out as the record's bytes hold it: raw, or UTF-8
// that the leader says and the bytes are.
bool TextAsRead(const RecordView& rec, const RecordText& text) {
  if (!text.toUtf8()) return true;
  const std::string_view leader = rec.leader();
  const EncodingGuess& guess = text.guess();
  return leader.size() > iso2709::kCharacterCodingOffset &&
         leader[iso2709::kCharacterCodingOffset] == iso2709::kUnicodeCoding && guess.encoding == Encoding::kUtf8 &&
         (guess.well_formed || isUtf8(rec.bytes()));
}

}  // namespace

void writeIso2709(const RecordView& rec, RecordText& text, OutputBuffer& out,
                  const TagFilter& filter) {
  if (filter.all() && TextAsRead(rec, text) && !Repaired(rec)) {
    out.append(rec.bytes());
    return;
  }
  // One writer and buffers per thread, reused: no allocation per record once warm.
  static thread_local RecordWriter writer;
  static thread_local std::string content, record;
  writer.clear();
  writer.setLeader(text.leader());
  for (const FieldView& f : rec.fields()) {
    if (!filter.selects(f)) continue;
    text.startField();
    if (f.isControl()) {
      writer.addField(f.tag(), text.text(f.data()));
      continue;
    }
    content.assign(f.indicators());
    content += text.text(fieldPrefix(f));
    for (const SubfieldView& s : f.subfields()) {
      content += iso2709::kSubfieldDelimiter;
      content += subfieldCode(s);
      content += text.text(s.value());
    }
    writer.addField(f.tag(), content);
  }
  record.clear();
  writer.appendTo(record);
  out.append(record);
}

}  // namespace quillet
