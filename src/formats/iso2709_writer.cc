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
      case Problem::Kind::kMoreProblems: break;
      default: return true;
    }
  }
  return false;
}

// Whether the text comes out as the record's bytes hold it: raw, UTF-8
// that the leader says and the bytes are, or MARC-8 asked of a record that
// the leader says and the bytes show is MARC-8.
bool TextAsRead(const RecordView& rec, const RecordText& text, OutputCharset charset) {
  if (!text.toUtf8()) return true;
  const std::string_view leader = rec.leader();
  if (leader.size() <= iso2709::kCharacterCodingOffset) return false;
  const char coding = leader[iso2709::kCharacterCodingOffset];
  const EncodingGuess& guess = text.guess();
  if (charset == OutputCharset::kMarc8) {
    return coding == ' ' && guess.encoding == Encoding::kMarc8 && !guess.leader_disagrees;
  }
  return coding == iso2709::kUnicodeCoding && guess.encoding == Encoding::kUtf8 &&
         (guess.well_formed || isUtf8(rec.bytes()));
}

// A piece of text as the record's bytes hold it: UTF-8 as given, or
// MARC-8. Counts the characters MARC-8 lacks in `references`.
class PieceEncoder {
 public:
  explicit PieceEncoder(bool marc8) : marc8_(marc8) {}
  void Append(std::string_view utf8, std::string& out) {
    if (!marc8_) {
      out += utf8;
      return;
    }
    // Each piece stands alone: designations end with it, as MARC-8 records
    // are written.
    references_ += encoder_.encode(utf8, out);
    encoder_.finish(out);
  }
  std::size_t references() const { return references_; }

 private:
  bool marc8_;
  Marc8Encoder encoder_;
  std::size_t references_ = 0;
};

}  // namespace

std::size_t writeIso2709(const RecordView& rec, RecordText& text, OutputBuffer& out,
                         const TagFilter& filter, OutputCharset charset) {
  if (filter.all() && TextAsRead(rec, text, charset) && !Repaired(rec)) {
    out.append(rec.bytes());
    return 0;
  }
  const bool marc8 = charset == OutputCharset::kMarc8 && text.toUtf8();
  PieceEncoder encode(marc8);
  // One writer and buffers per thread, reused: no allocation per record once warm.
  static thread_local RecordWriter writer;
  static thread_local std::string leader, content, record;
  writer.clear();
  leader.assign(text.leader().data(), text.leader().size());
  if (marc8 && leader.size() > iso2709::kCharacterCodingOffset) {
    leader[iso2709::kCharacterCodingOffset] = ' ';
  }
  writer.setLeader(leader);
  for (const FieldView& f : rec.fields()) {
    if (!filter.selects(f)) continue;
    text.startField();
    content.clear();
    if (f.isControl()) {
      encode.Append(text.text(f.data()), content);
      writer.addField(f.tag(), content);
      continue;
    }
    content.assign(f.indicators());
    encode.Append(text.text(fieldPrefix(f)), content);
    for (const SubfieldView& s : f.subfields()) {
      content += iso2709::kSubfieldDelimiter;
      content += subfieldCode(s);
      encode.Append(text.text(s.value()), content);
    }
    writer.addField(f.tag(), content);
  }
  record.clear();
  writer.appendTo(record);
  out.append(record);
  return encode.references();
}

}  // namespace quillet
