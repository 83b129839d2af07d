#include "record_builder.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quillet_test {

namespace {

std::string Digits(std::size_t value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*zu", width, value);
  if (static_cast<int>(std::strlen(buf)) != width) {
    throw std::length_error("record builder: " + std::to_string(value) + " does not fit in " +
                            std::to_string(width) + " digits");
  }
  return buf;
}

}  // namespace

std::string BuildRecord(const std::vector<FieldSpec>& fields, const LeaderSpec& leader) {
  std::string directory, data;
  for (const FieldSpec& f : fields) {
    if (f.tag.size() != 3) throw std::invalid_argument("record builder: tag must be 3 bytes");
    const std::size_t flen = f.content.size() + 1;
    directory += f.tag + Digits(flen, 4) + Digits(data.size(), 5);
    data += f.content;
    data += kFieldTerminator;
  }
  directory += kFieldTerminator;
  // No field: a data area of one terminator, as the library writes such a
  // record, so that the base address does not stand on the record terminator.
  if (fields.empty()) data += kFieldTerminator;
  const std::size_t base = 24 + directory.size();
  const std::size_t length = base + data.size() + 1;
  std::string record = Digits(length, 5) + leader.pos5to11 + Digits(base, 5) + leader.pos17to23;
  if (record.size() != 24) throw std::invalid_argument("record builder: bad leader parts");
  return record + directory + data + kRecordTerminator;
}

std::string DataContent(const std::string& indicators,
                        const std::vector<std::pair<char, std::string>>& subfields) {
  std::string content = indicators;
  for (const auto& sf : subfields) {
    content += kSubfieldDelimiter;
    content += sf.first;
    content += sf.second;
  }
  return content;
}

std::string Bytes(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '$') c = kSubfieldDelimiter;
    if (c == '#') c = kFieldTerminator;
  }
  return out;
}

std::string Patched(std::string record, std::size_t pos, const std::string& bytes) {
  if (pos + bytes.size() > record.size()) throw std::out_of_range("record builder: patch");
  record.replace(pos, bytes.size(), bytes);
  return record;
}

std::string Hex(const unsigned char digest[16]) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    s += kHex[digest[i] >> 4];
    s += kHex[digest[i] & 15];
  }
  return s;
}

ExactBuffer::ExactBuffer(const std::string& bytes)
    : data_(new char[bytes.size()]), size_(static_cast<unsigned>(bytes.size())) {
  std::memcpy(data_.get(), bytes.data(), bytes.size());
}

}  // namespace quillet_test
