#include "quillet/formats.h"

namespace quillet {

std::size_t writeRecord(Format format, const RecordView& rec, RecordText& text, OutputBuffer& out,
                        const TagFilter& filter, OutputCharset charset) {
  switch (format) {
    case Format::kMnemonic: writeMnemonic(rec, text, out, filter); break;
    case Format::kLine: writeLine(rec, text, out, filter); break;
    case Format::kJson: writeJson(rec, text, out, filter); break;
    case Format::kMarcXml: return writeMarcXml(rec, text, out, filter);
    case Format::kIso2709: return writeIso2709(rec, text, out, filter, charset);
  }
  return 0;
}

}  // namespace quillet
