#include <stdexcept>

#include "quillet/iso2709.h"
#include "quillet/writer.h"

namespace quillet {

using iso2709::kBaseAddressOffset;
using iso2709::kBaseAddressWidth;
using iso2709::kDirectoryEntryLength;
using iso2709::kEntryMapOffset;
using iso2709::kEntryMapWidth;
using iso2709::kFieldLengthWidth;
using iso2709::kFieldTerminator;
using iso2709::kIndicatorCountOffset;
using iso2709::kLeaderLength;
using iso2709::kMaxRecordLength;
using iso2709::kRecordLengthOffset;
using iso2709::kRecordLengthWidth;
using iso2709::kRecordTerminator;
using iso2709::kStartPositionWidth;
using iso2709::kSubfieldDelimiter;
using iso2709::kTagWidth;

namespace {

// `value` as `width` decimal digits at `out`.
void PutDigits(std::size_t value, std::size_t width, char* out) {
  for (std::size_t i = width; i-- > 0; value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

constexpr std::size_t kMaxFieldLength = 9999;  // four digits, terminator included

}  // namespace

RecordWriter::RecordWriter() : leader_(kLeaderLength, ' ') {
  leader_.replace(kIndicatorCountOffset, 2, "22");
  leader_.replace(kEntryMapOffset, kEntryMapWidth, "4500");
}

void RecordWriter::setLeader(std::string_view leader) {
  leader_.assign(leader.substr(0, kLeaderLength));
  leader_.resize(kLeaderLength, ' ');
  // The entry map describes the directory written: always 4500, whatever a
  // damaged leader said.
  leader_.replace(kEntryMapOffset, kEntryMapWidth, "4500");
}

void RecordWriter::addField(std::string_view tag, std::string_view data) {
  std::string t(tag.substr(0, kTagWidth));
  t.resize(kTagWidth, ' ');
  tags_ += t;
  data_.append(data.data(), data.size());
  data_ += kFieldTerminator;
  ends_.push_back(data_.size());
}

void RecordWriter::addDataField(std::string_view tag, std::string_view indicators,
                                const std::vector<std::pair<char, std::string>>& subfields) {
  std::string content(indicators);
  for (const auto& s : subfields) {
    content += kSubfieldDelimiter;
    content += s.first;
    content += s.second;
  }
  addField(tag, content);
}

void RecordWriter::clear() {
  tags_.clear();
  data_.clear();
  ends_.clear();
}

std::string RecordWriter::build() const {
  std::string out;
  appendTo(out);
  return out;
}

void RecordWriter::appendTo(std::string& out) const {
  const std::size_t fields = ends_.size();
  const std::size_t base = kLeaderLength + fields * kDirectoryEntryLength + 1;
  // A record of no field still gets a data area, of one field terminator:
  // with none the base address would stand on the record terminator, which
  // the classic interface refuses ("Invalid base offset").
  const bool no_field = fields == 0;
  const std::size_t length = base + data_.size() + (no_field ? 1 : 0) + 1;
  if (length > kMaxRecordLength) throw std::length_error("record longer than 99999 bytes");
  for (std::size_t i = 0, from = 0; i < fields; from = ends_[i++]) {
    if (ends_[i] - from > kMaxFieldLength) throw std::length_error("field longer than 9998 bytes");
  }
  const std::size_t start = out.size();
  out.resize(start + base);
  char* p = &out[start];
  leader_.copy(p, kLeaderLength);
  PutDigits(length, kRecordLengthWidth, p + kRecordLengthOffset);
  PutDigits(base, kBaseAddressWidth, p + kBaseAddressOffset);
  std::size_t from = 0;
  for (std::size_t i = 0; i < fields; ++i) {
    const std::size_t flen = ends_[i] - from;
    char* e = p + kLeaderLength + i * kDirectoryEntryLength;
    tags_.copy(e, kTagWidth, i * kTagWidth);
    PutDigits(flen, kFieldLengthWidth, e + kTagWidth);
    PutDigits(from, kStartPositionWidth, e + kTagWidth + kFieldLengthWidth);
    from = ends_[i];
  }
  p[base - 1] = kFieldTerminator;
  out += data_;
  if (no_field) out += kFieldTerminator;
  out += kRecordTerminator;
}

}  // namespace quillet
