#ifndef QUILLET_TESTS_SUPPORT_RECORD_BUILDER_H_
#define QUILLET_TESTS_SUPPORT_RECORD_BUILDER_H_

// Builds well-formed ISO 2709 records from (tag, content) lists, for tests,
// fuzz seeds and the sample file. Broken records are made by changing bytes
// of a built one.

#include <quillet/iso2709.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillet_test {

using quillet::iso2709::kFieldTerminator;
using quillet::iso2709::kRecordTerminator;
using quillet::iso2709::kSubfieldDelimiter;

struct FieldSpec {
  std::string tag;      // three characters
  std::string content;  // without the field terminator, which is added
};

// Leader positions 5-11 and 17-23 (status, type, level, control, coding,
// indicator count, subfield code length; encoding level, form, multipart,
// entry map). Length and base address are computed.
struct LeaderSpec {
  std::string pos5to11 = "nam a22";
  std::string pos17to23 = " a 4500";
};

// A record with one directory entry per field, in the order given; one of
// no field has a data area of one field terminator (27 bytes).
std::string BuildRecord(const std::vector<FieldSpec>& fields, const LeaderSpec& leader = {});

// Data field content: indicators, then 0x1F + code + data for each subfield.
std::string DataContent(const std::string& indicators,
                        const std::vector<std::pair<char, std::string>>& subfields);

// Separators written as printable stand-ins, for short test literals:
// '$' is the subfield delimiter 0x1F, '#' the field terminator 0x1E.
std::string Bytes(const std::string& text);

// Replaces bytes of `record` starting at `pos`.
std::string Patched(std::string record, std::size_t pos, const std::string& bytes);

// Offset of the directory entry `index` (0-based) and of the base address.
constexpr std::size_t kBaseAddressPos = quillet::iso2709::kBaseAddressOffset;
inline std::size_t EntryPos(std::size_t index) {
  return quillet::iso2709::kLeaderLength + quillet::iso2709::kDirectoryEntryLength * index;
}

// The 32 lowercase hex digits of a 16-byte digest.
std::string Hex(const unsigned char digest[16]);

// A heap copy of exactly the given bytes, so that AddressSanitizer reports
// any read past the end.
class ExactBuffer {
 public:
  explicit ExactBuffer(const std::string& bytes);
  const char* data() const { return data_.get(); }
  unsigned size() const { return size_; }

 private:
  std::unique_ptr<char[]> data_;
  unsigned size_;
};

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_RECORD_BUILDER_H_
