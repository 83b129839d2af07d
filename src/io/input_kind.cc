#include <string>

#include "io/gzip_source.h"
#include "quillet/view.h"

namespace quillet {

// What input that is not records looks like, from its first bytes; the
// words go to the user as they are.
std::string nonIso2709Reason(std::string_view head) {
  // A byte order mark and white space may come before text formats.
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  if (GzipSource::Recognises(head.data(), head.size())) {
    return "this looks like gzip-compressed data, not ISO 2709 (binary MARC) records; "
           "decompress it first";
  }
  while (!head.empty() && (head[0] == ' ' || head[0] == '\t' || head[0] == '\r' || head[0] == '\n')) {
    head.remove_prefix(1);
  }
  auto starts = [&](std::string_view prefix) { return head.substr(0, prefix.size()) == prefix; };
  const char* kind = nullptr;
  std::string_view prefix;
  for (std::string_view xml : {"<?xml", "<collection", "<record", "<marc:"}) {
    if (starts(xml)) {
      kind = "MARCXML";
      prefix = xml;
    }
  }
  if (starts("=LDR")) kind = "mnemonic MARC text (.mrk)", prefix = "=LDR";
  if (starts("{")) kind = "JSON", prefix = "{";
  if (starts("[")) kind = "JSON", prefix = "[";
  if (kind == nullptr) return std::string();
  return "this looks like " + std::string(kind) + " (it starts with " + std::string(prefix) +
         "), not ISO 2709 (binary MARC) records";
}

}  // namespace quillet
