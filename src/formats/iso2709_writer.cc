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

bool IsAscii(char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; }

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
// that the leader says and the bytes are (the leader's own bytes
// included), or MARC-8 asked of a record that the leader says and the
// bytes show is MARC-8.
bool TextAsRead(const RecordView& rec, const RecordText& text, OutputCharset charset) {
  if (!text.toUtf8()) return true;
  const std::string_view leader = rec.leader();
  if (leader.size() <= iso2709::kCharacterCodingOffset) return false;
  const char coding = leader[iso2709::kCharacterCodingOffset];
  const EncodingGuess& guess = text.guess();
  if (charset == OutputCharset::kMarc8) {
    return coding == ' ' && guess.encoding == Encoding::kMarc8 && !guess.leader_disagrees;
  }
  for (const char c : leader) {
    if (!IsAscii(c)) return false;
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

// The bytes that are no text in a record written as UTF-8 (its leader,
// indicators and subfield codes) must be UTF-8 on their own, one byte each:
// one that is not ASCII becomes `instead`, as the readers of the text
// formats take a character there that is not one byte, and is counted.
class StructureBytes {
 public:
  explicit StructureBytes(bool utf8) : utf8_(utf8) {}
  char Take(char c, char instead) {
    if (!utf8_ || IsAscii(c)) return c;
    ++replaced_;
    return instead;
  }
  std::size_t replaced() const { return replaced_; }

 private:
  bool utf8_;
  std::size_t replaced_ = 0;
};

}  // namespace

std::size_t writeIso2709(const RecordView& rec, RecordText& text, OutputBuffer& out,
                         const TagFilter& filter, OutputCharset charset) {
  // A record of no field is written anew: the writer gives it the data area
  // the classic interface wants.
  if (filter.all() && !rec.fields().empty() && TextAsRead(rec, text, charset) && !Repaired(rec)) {
    out.append(rec.bytes());
    return 0;
  }
  const bool marc8 = charset == OutputCharset::kMarc8 && text.toUtf8();
  PieceEncoder encode(marc8);
  StructureBytes structure(text.toUtf8() && !marc8);
  // One writer and buffers per thread, reused: no allocation per record once warm.
  static thread_local RecordWriter writer;
  static thread_local std::string leader, content, record;
  writer.clear();
  leader.assign(text.leader().data(), text.leader().size());
  leader.resize(iso2709::kLeaderLength, ' ');
  // The positions the writer does not compute or set.
  for (std::size_t i : {5, 6, 7, 8, 9, 17, 18, 19}) leader[i] = structure.Take(leader[i], ' ');
  if (marc8 && leader.size() > iso2709::kCharacterCodingOffset) {
    leader[iso2709::kCharacterCodingOffset] = ' ';
  }
  // The fields are written with two indicators and one-byte codes, whatever
  // leader/10-11 said: indicators past the second stay at the front of the
  // bytes before the first delimiter, a missing one is a blank, and the
  // bytes of a longer code stay at the front of the value; so no byte of a
  // field is lost, and readers take the record as this leader says.
  leader[iso2709::kIndicatorCountOffset] = '2';
  leader[iso2709::kSubfieldCodeLengthOffset] = '2';
  const std::string_view read_leader = rec.leader();
  const bool code_less = read_leader.size() > iso2709::kSubfieldCodeLengthOffset &&
                         read_leader[iso2709::kSubfieldCodeLengthOffset] == '1';
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
    const std::string_view data = f.data();
    const std::string_view indicators = f.indicators();
    content += structure.Take(indicators.size() > 0 ? indicators[0] : ' ', ' ');
    content += structure.Take(indicators.size() > 1 ? indicators[1] : ' ', ' ');
    const std::string_view rest = data.substr(indicators.size() < 2 ? indicators.size() : 2);
    std::size_t at = rest.find(iso2709::kSubfieldDelimiter);
    encode.Append(text.text(rest.substr(0, at)), content);
    while (at != std::string_view::npos) {
      const std::size_t from = at + 1;
      at = rest.find(iso2709::kSubfieldDelimiter, from);
      std::string_view piece = rest.substr(from, at == std::string_view::npos ? at : at - from);
      content += iso2709::kSubfieldDelimiter;
      if (code_less && !piece.empty()) {
        content += '?';  // a code is wanted; none was written
      } else if (!piece.empty()) {
        content += structure.Take(piece[0], '?');
        piece.remove_prefix(1);
      }
      encode.Append(text.text(piece), content);
    }
    writer.addField(f.tag(), content);
  }
  record.clear();
  writer.appendTo(record);
  out.append(record);
  return marc8 ? encode.references() : structure.replaced();
}

}  // namespace quillet
