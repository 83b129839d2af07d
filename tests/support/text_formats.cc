#include "support/text_formats.h"

#include <quillet/writer.h>

#include "support/corpus.h"
#include "support/record_builder.h"

namespace quillet_test {

using quillet::Charset;
using quillet::FieldView;
using quillet::Format;
using quillet::InputFormat;
using quillet::Problem;
using quillet::RecordView;
using quillet::SubfieldView;

Read ReadAll(const std::string& text, InputFormat format, std::size_t chunk) {
  const ExactBuffer exact(text);
  quillet::Reader::Options options;
  options.format = format;
  options.chunk_size = chunk;
  quillet::Reader reader(exact.data(), exact.size(), options);
  Read out;
  RecordView rec;
  while (reader.next(rec)) {
    out.records.emplace_back(rec.bytes());
    for (const Problem& p : rec.problems()) {
      out.problems.push_back("record " + std::to_string(out.records.size()) + ": " + p.describe());
    }
  }
  for (const Problem& p : reader.problems()) out.problems.push_back("none: " + p.describe());
  return out;
}

std::string WriteAll(const std::vector<std::string>& records, Format format, Charset charset) {
  quillet::OutputBuffer out;
  quillet::RecordText text({charset});
  for (const std::string& bytes : records) {
    const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
    text.start(rec);
    quillet::writeRecord(format, rec, text, out);
  }
  return std::string(out.view());
}

std::string Rebuilt(const std::string& bytes) {
  const RecordView rec = RecordView::parse(bytes.data(), bytes.size());
  quillet::RecordWriter writer;
  writer.setLeader(rec.leader());
  for (const FieldView& f : rec.fields()) writer.addField(f.tag(), f.data());
  return writer.build();
}

bool PlainCodes(const RecordView& rec) {
  auto ascii = [](std::string_view bytes) {
    for (const char c : bytes) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
  };
  if (!ascii(rec.leader())) return false;
  for (const FieldView& f : rec.fields()) {
    if (!ascii(f.tag()) || !ascii(f.indicators())) return false;
    for (const SubfieldView& s : f.subfields()) {
      if (static_cast<unsigned char>(s.code()) >= 0x80) return false;
    }
  }
  return true;
}

bool TwoIndicatorsOneByteCodes(const RecordView& rec) {
  const std::string_view leader = rec.leader();
  if (leader.size() < 12) return true;
  const char indicators = leader[10], codes = leader[11];
  return (indicators == '2' || indicators < '0' || indicators > '9') &&
         (codes == '2' || codes < '1' || codes > '9');
}

namespace {

// Whether `format` holds every byte of `rec`: JSON has room for two
// indicators only, and for text alone (written raw, bytes that are not
// UTF-8 become U+FFFD; RoundTripCorpus compares those records decoded only).
bool Holds(Format format, const RecordView& rec) {
  if (format != Format::kJson) return true;
  for (const FieldView& f : rec.fields()) {
    if (f.indicators().size() > 2) return false;
  }
  return true;
}

// A line for each record of `got` that is not the one of `want`.
void Compare(const std::string& path, const char* how, const std::vector<std::string>& want,
             const std::vector<std::string>& got, std::vector<std::string>& out) {
  if (want.size() != got.size()) {
    out.push_back(path + " " + how + ": " + std::to_string(got.size()) + " records, not " +
                  std::to_string(want.size()));
    return;
  }
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (want[i] == got[i]) continue;
    std::size_t at = 0;
    while (at < want[i].size() && at < got[i].size() && want[i][at] == got[i][at]) ++at;
    const std::size_t from = at > 20 ? at - 20 : 0;
    out.push_back(path + " " + how + ": record " + std::to_string(i + 1) + " differs at byte " +
                  std::to_string(at) + ": " + want[i].substr(from, 40) + " / " +
                  got[i].substr(from, 40));
  }
}

}  // namespace

std::vector<std::string> RoundTripCorpus(const std::string& dir, Format format, InputFormat input,
                                         std::size_t* compared) {
  std::vector<std::string> out;
  *compared = 0;
  for (const auto& path : CorpusFiles(dir)) {
    const std::string bytes = ReadFile(path);
    quillet::Reader reader(bytes.data(), bytes.size());
    std::vector<std::string> clean, raw, rebuilt;
    std::vector<bool> shaped;
    RecordView rec;
    while (reader.next(rec)) {
      if (!rec.problems().empty() || !PlainCodes(rec) || !Holds(format, rec)) continue;
      clean.emplace_back(rec.bytes());
      shaped.push_back(TwoIndicatorsOneByteCodes(rec));
      if (format != Format::kJson || quillet::isUtf8(rec.bytes())) {
        raw.push_back(clean.back());
        rebuilt.push_back(Rebuilt(clean.back()));
      }
    }
    if (clean.empty()) continue;
    // As read (raw), every record is the same fields again.
    Compare(path.string(), "raw", rebuilt,
            ReadAll(WriteAll(raw, format, Charset::kRaw), input).records, out);
    // Decoded to UTF-8, it is the record the ISO 2709 writer converts (which
    // writes every record in the shape leader/10-11 `22` says, while the
    // text formats keep the leader they hold).
    std::vector<std::string> converted;
    for (const std::string& r :
         ReadAll(WriteAll(clean, Format::kIso2709, Charset::kAuto), InputFormat::kIso2709)
             .records) {
      converted.push_back(Rebuilt(r));
    }
    std::vector<std::string> read = ReadAll(WriteAll(clean, format, Charset::kAuto), input).records;
    for (std::size_t i = 0; i < shaped.size() && i < read.size() && i < converted.size(); ++i) {
      if (!shaped[i]) read[i] = converted[i];  // not compared
    }
    Compare(path.string(), "decoded", converted, read, out);
    *compared += clean.size();
  }
  return out;
}

}  // namespace quillet_test
