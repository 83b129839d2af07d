// The MARC-in-JSON reader on every input: the records and problems do not
// depend on how the input is cut into chunks, and a record read without a
// problem (two indicators, one-byte codes) reads back the same from the
// JSON writeJson() writes of it.
#include <quillet/formats.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Read {
  std::vector<std::string> records;
  std::vector<std::string> problems;
  std::vector<bool> clean;
};

Read ReadAll(quillet::Reader& reader) {
  Read out;
  quillet::RecordView rec;
  while (reader.next(rec)) {
    out.records.emplace_back(rec.bytes());
    out.clean.push_back(rec.problems().empty() && rec.leader().substr(10, 2) == "22");
    for (const quillet::Problem& p : rec.problems()) out.problems.push_back(p.describe());
  }
  for (const quillet::Problem& p : reader.problems()) out.problems.push_back(p.describe());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  quillet::Reader::Options options;
  options.format = quillet::InputFormat::kJson;
  options.max_record_size = 4096;  // small enough for inputs to pass it
  options.chunk_size = 4096;       // each reader fills a chunk: keep runs quick
  quillet::Reader from_memory(bytes, size, options);
  const Read whole = ReadAll(from_memory);

  std::istringstream in(std::string(bytes, size));
  options.chunk_size = 1 + size % 13;
  quillet::Reader from_stream(in, options);
  const Read chunked = ReadAll(from_stream);
  if (chunked.records != whole.records || chunked.problems != whole.problems) std::abort();

  quillet::OutputBuffer out;
  quillet::RecordText text({quillet::Charset::kRaw});
  std::vector<std::string> clean;
  for (std::size_t i = 0; i < whole.records.size(); ++i) {
    if (!whole.clean[i]) continue;
    const std::string& r = whole.records[i];
    const quillet::RecordView rec = quillet::RecordView::parse(r.data(), r.size());
    text.start(rec);
    quillet::writeRecord(quillet::Format::kJson, rec, text, out);
    clean.push_back(r);
  }
  const std::string json(out.view());
  quillet::Reader::Options again;
  again.format = quillet::InputFormat::kJson;
  again.chunk_size = 4096;
  quillet::Reader reread(json.data(), json.size(), again);
  if (ReadAll(reread).records != clean) std::abort();
  return 0;
}
