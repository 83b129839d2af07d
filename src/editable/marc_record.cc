#include "quillet/marc_record.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/word_scan.h"
#include "quillet/formats.h"
#include "quillet/iso2709.h"
#include "quillet/text.h"
#include "quillet/view.h"

namespace quillet {

using namespace iso2709;

namespace {

constexpr char kEmptyLeader[] = "00000    a2200000   4500";
static_assert(sizeof(kEmptyLeader) == kLeaderLength + 1, "a leader is 24 bytes");

constexpr std::size_t kMaxFieldLength = 9999;  // four digits, terminator included
// Offsets into the record's bytes are 32 bits wide: the entries stay small.
constexpr std::size_t kMaxBytes = std::numeric_limits<std::uint32_t>::max();

bool IsSeparator(char c) {
  return c == kSubfieldDelimiter || c == kFieldTerminator || c == kRecordTerminator;
}

// The position of the first separator in `bytes`, or npos; eight bytes at a
// time, as values are mostly long runs of text.
std::size_t FindSeparator(std::string_view bytes) {
  const char* const begin = bytes.data();
  const char* p = begin;
  const char* const end = p + bytes.size();
  while (end - p >= 8) {
    const std::uint64_t word = word_scan::Load8(p);
    if (word_scan::PairHits(word, static_cast<unsigned char>(kFieldTerminator)) != 0 ||
        word_scan::AnyEqual(word, static_cast<unsigned char>(kRecordTerminator))) {
      break;
    }
    p += 8;
  }
  for (; p < end; ++p) {
    if (IsSeparator(*p)) return static_cast<std::size_t>(p - begin);
  }
  return std::string_view::npos;
}

// Whether `bytes` holds a byte the reader splits at when lengths are
// unstated: a field or record terminator.
bool IsTerminator(char c) { return c == kFieldTerminator || c == kRecordTerminator; }

bool HoldsTerminator(std::string_view bytes) {
  return bytes.find(kFieldTerminator) != std::string_view::npos ||
         bytes.find(kRecordTerminator) != std::string_view::npos;
}

std::string Shown(std::string_view bytes) {
  std::string out;
  appendLineText(bytes, out);
  return out;
}

std::string Hex(char c) {
  static const char kDigits[] = "0123456789ABCDEF";
  const unsigned char b = static_cast<unsigned char>(c);
  return std::string("0x") + kDigits[b >> 4] + kDigits[b & 15];
}

[[noreturn]] void Refuse(const std::string& message) { throw std::invalid_argument(message); }

void CheckTag(std::string_view tag) {
  if (tag.size() != kTagWidth) {
    Refuse("tag \"" + Shown(tag) + "\" is not three characters");
  }
  const std::size_t at = FindSeparator(tag);
  if (at != std::string_view::npos) {
    Refuse("tag \"" + Shown(tag) + "\" holds the separator byte " + Hex(tag[at]));
  }
}

// The number a reader takes from leader/10 (least 0) or leader/11 (least
// 1): the digit when it is one from `least` up, 2 otherwise.
unsigned ReadsAs(char c, unsigned least) {
  return c >= static_cast<char>('0' + least) && c <= '9' ? static_cast<unsigned>(c - '0') : 2;
}

// Leader/10 and /11 must read as 2 (two indicators, one-byte codes), the
// shape of this record's fields.
void CheckShape(char c, std::size_t pos) {
  if (ReadsAs(c, pos == kIndicatorCountOffset ? 0 : 1) != 2) {
    Refuse("leader/" + std::to_string(pos) + " '" + Shown(std::string_view(&c, 1)) +
           "' would say " + (pos == kIndicatorCountOffset ? "indicators" : "subfield codes") +
           " of another length; this record's are 2");
  }
}

void CheckPattern(std::string_view pattern) {
  if (!isTagPattern(pattern)) {
    Refuse("tag pattern \"" + Shown(pattern) + "\" is not three characters");
  }
}

void CheckByte(char c, const char* what) {
  if (IsSeparator(c)) Refuse(std::string(what) + " " + Hex(c) + " is a separator byte");
}

void CheckBytes(std::string_view bytes, const char* what) {
  const std::size_t at = FindSeparator(bytes);
  if (at != std::string_view::npos) {
    Refuse(std::string(what) + " holds the separator byte " + Hex(bytes[at]) + " at byte " +
           std::to_string(at));
  }
}

bool IsControlTag(const char* tag) { return tag[0] == '0' && tag[1] == '0'; }

// `value` as `width` decimal digits at `out`.
void PutDigits(std::size_t value, std::size_t width, char* out) {
  for (std::size_t i = width; i-- > 0; value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

// The directory's numbers, two digits at a time.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// REQUIRES: value <= 9999.
inline void PutFourDigits(std::size_t value, char* out) {
  std::memcpy(out, kDigitPairs + 2 * (value / 100), 2);
  std::memcpy(out + 2, kDigitPairs + 2 * (value % 100), 2);
}

// REQUIRES: value <= 99999.
inline void PutFiveDigits(std::size_t value, char* out) {
  out[0] = static_cast<char>('0' + value / 10000);
  PutFourDigits(value % 10000, out + 1);
}

// Whether `p` points into [begin, begin + size). Compared as integers: the
// pointers may belong to different objects.
bool Inside(const char* p, const char* begin, std::size_t size) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const auto from = reinterpret_cast<std::uintptr_t>(begin);
  return at >= from && at - from < size;
}

// Buffers for the writes that go through a record view, one set per thread,
// reused: a record's own bytes, and those of the UTF-8 conversion.
thread_local std::string t_own_bytes;
thread_local std::string t_convert_bytes;
thread_local OutputBuffer t_converted;

}  // namespace

MarcRecord::MarcRecord() { std::memcpy(leader_, kEmptyLeader, kLeaderSize); }

MarcRecord::MarcRecord(const RecordView& view) : MarcRecord() { assign(view); }

void MarcRecord::clear() {
  std::memcpy(leader_, kEmptyLeader, kLeaderSize);
  bytes_.clear();
  fields_.clear();
  subfields_.clear();
}

void MarcRecord::assign(const RecordView& view) {
  const std::string_view bytes = view.bytes();
  if (bytes.size() > kMaxBytes / 2) throw std::length_error("record too large to edit");
  const std::string_view leader = view.leader();
  std::memset(leader_, ' ', kLeaderSize);
  std::memcpy(leader_, leader.data(), std::min(leader.size(), kLeaderSize));
  bytes_.assign(bytes.data(), bytes.size());
  fields_.clear();
  subfields_.clear();
  // The views take data fields apart by leader/10 and /11 (a digit, else
  // 2). This record's fields have two indicators and one-byte codes, so
  // other counts are made so: indicators past the second stay at the front
  // of the prefix, and the bytes of a longer code at the front of the
  // value; a missing indicator is a blank, a code of none '\0'. Nothing of
  // the field's bytes is lost, and they are kept as they are until asked
  // for.
  const bool code_less = ReadsAs(leader_[kSubfieldCodeLengthOffset], 1) == 1;
  for (std::size_t pos : {kIndicatorCountOffset, kSubfieldCodeLengthOffset}) {
    if (ReadsAs(leader_[pos], pos == kIndicatorCountOffset ? 0 : 1) != 2) leader_[pos] = '2';
  }
  const Span<FieldView> fields = view.fields();
  // Written in place: a Field built aside and copied in would be read back
  // whole right after its members were stored one by one, which stalls.
  fields_.resize(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldView& f = fields[i];
    Field& e = fields_[i];
    std::memcpy(e.tag, f.tag().data(), kTagWidth);
    e.ind1 = f.indicator1();
    e.ind2 = f.indicator2();
    e.first = 0;
    e.count = 0;
    const std::string_view d = f.data();
    std::uint32_t off = 0;
    if (Inside(d.data(), bytes.data(), bytes.size())) {
      off = static_cast<std::uint32_t>(d.data() - bytes.data());
    } else {
      store(d, &off);  // not from the record's bytes: never so from the reader
    }
    if (f.isControl()) {
      e.kind = Kind::kControl;
      e.off = off;
      e.len = static_cast<std::uint32_t>(d.size());
    } else {
      const std::size_t skip = std::min<std::size_t>(f.indicators().size(), 2);
      e.kind = Kind::kRaw;
      e.off = off + static_cast<std::uint32_t>(skip);
      e.len = static_cast<std::uint32_t>(d.size() - skip);
      if (code_less) parse(e, true);
    }
  }
}

// ---- leader

void MarcRecord::setLeader(std::string_view leader) {
  if (leader.size() != kLeaderSize) {
    Refuse("leader is " + std::to_string(leader.size()) + " bytes long; it must be 24");
  }
  CheckBytes(leader, "leader");
  CheckShape(leader[kIndicatorCountOffset], kIndicatorCountOffset);
  CheckShape(leader[kSubfieldCodeLengthOffset], kSubfieldCodeLengthOffset);
  std::memmove(leader_, leader.data(), kLeaderSize);  // it may be our own
}

void MarcRecord::setLeader(std::size_t pos, char value) {
  if (pos >= kLeaderSize) {
    throw std::out_of_range("leader position " + std::to_string(pos) + " does not exist (0-23)");
  }
  CheckByte(value, "leader byte");
  if (pos == kIndicatorCountOffset || pos == kSubfieldCodeLengthOffset) CheckShape(value, pos);
  leader_[pos] = value;
}

// ---- fields

const MarcRecord::Field& MarcRecord::at(std::size_t field) const {
  if (field >= fields_.size()) {
    throw std::out_of_range("field " + std::to_string(field) + " does not exist (the record has " +
                            std::to_string(fields_.size()) + ")");
  }
  return fields_[field];
}

const MarcRecord::Field& MarcRecord::dataField(std::size_t field) const {
  const Field& f = at(field);
  if (f.kind == Kind::kControl) {
    Refuse("field " + std::to_string(field) + " (" + Shown(std::string_view(f.tag, kTagWidth)) +
           ") is a control field");
  }
  if (f.kind == Kind::kRaw) parse(fields_[field], false);
  return f;
}

MarcRecord::Field& MarcRecord::parsedDataField(std::size_t field) {
  dataField(field);
  return fields_[field];
}

// Takes a read data field apart as a record view does with one-byte codes:
// the bytes before the first delimiter are its prefix; a delimiter followed
// by a code starts a subfield that runs to the next delimiter; one followed
// by another delimiter or the field's end starts an empty subfield with
// code '\0'. When `code_less` (leader/11 said codes have no byte), each
// subfield has code '\0' and all its bytes as value.
void MarcRecord::parse(Field& f, bool code_less) const {
  if (subfields_.size() > kMaxBytes - f.len) throw std::length_error("too many subfields");
  const char* const base = bytes_.data();
  const char* p = base + f.off;
  const char* const end = p + f.len;
  const void* d = std::memchr(p, kSubfieldDelimiter, f.len);
  const char* at = d ? static_cast<const char*>(d) : end;
  f.len = static_cast<std::uint32_t>(at - p);  // the prefix
  f.first = static_cast<std::uint32_t>(subfields_.size());
  while (at != end) {
    const char* from = at + 1;
    const void* next = std::memchr(from, kSubfieldDelimiter, static_cast<std::size_t>(end - from));
    const char* stop = next ? static_cast<const char*>(next) : end;
    Subfield s{'\0', static_cast<std::uint32_t>(from - base),
               static_cast<std::uint32_t>(stop - from)};
    if (!code_less && from != stop) {
      s.code = *from;
      s.off = static_cast<std::uint32_t>(from + 1 - base);
      s.len = static_cast<std::uint32_t>(stop - from - 1);
    }
    subfields_.push_back(s);
    at = stop;
  }
  f.count = static_cast<std::uint32_t>(subfields_.size() - f.first);
  f.kind = Kind::kParsed;
}

std::uint32_t MarcRecord::store(std::string_view bytes, std::uint32_t* off) {
  if (bytes.size() > kMaxBytes - bytes_.size()) throw std::length_error("record too large to edit");
  *off = static_cast<std::uint32_t>(bytes_.size());
  if (Inside(bytes.data(), bytes_.data(), bytes_.size())) {
    // A value of this record: appended from its offset, which stays good
    // when the bytes move.
    bytes_.append(bytes_, static_cast<std::size_t>(bytes.data() - bytes_.data()), bytes.size());
  } else {
    bytes_.append(bytes.data(), bytes.size());
  }
  return static_cast<std::uint32_t>(bytes.size());
}

MarcRecord::Field MarcRecord::makeField(std::string_view tag, bool control) const {
  CheckTag(tag);
  if (IsControlTag(tag.data()) != control) {
    Refuse(control ? "tag " + Shown(tag) + " is not a control field tag (00X)"
                   : "tag " + Shown(tag) + " is a control field tag, not one of a data field");
  }
  Field f;
  std::memcpy(f.tag, tag.data(), kTagWidth);
  f.ind1 = ' ';
  f.ind2 = ' ';
  f.kind = control ? Kind::kControl : Kind::kParsed;
  f.off = 0;
  f.len = 0;
  f.first = static_cast<std::uint32_t>(subfields_.size());
  f.count = 0;
  return f;
}

std::string_view MarcRecord::tag(std::size_t field) const {
  return std::string_view(at(field).tag, kTagWidth);
}

bool MarcRecord::isControl(std::size_t field) const { return at(field).kind == Kind::kControl; }

std::string_view MarcRecord::data(std::size_t field) const {
  const Field& f = at(field);
  return f.kind == Kind::kControl ? piece(f.off, f.len) : std::string_view();
}

char MarcRecord::indicator1(std::size_t field) const { return at(field).ind1; }

char MarcRecord::indicator2(std::size_t field) const { return at(field).ind2; }

std::string_view MarcRecord::prefix(std::size_t field) const {
  if (at(field).kind == Kind::kControl) return std::string_view();
  const Field& f = dataField(field);
  return piece(f.off, f.len);
}

std::size_t MarcRecord::findField(std::string_view pattern, std::size_t from) const {
  CheckPattern(pattern);
  for (std::size_t i = from; i < fields_.size(); ++i) {
    if (tagMatches(pattern, std::string_view(fields_[i].tag, kTagWidth))) return i;
  }
  return npos;
}

std::vector<std::size_t> MarcRecord::findFields(std::string_view pattern) const {
  std::vector<std::size_t> found;
  for (std::size_t i = findField(pattern); i != npos; i = findField(pattern, i + 1)) {
    found.push_back(i);
  }
  return found;
}

std::size_t MarcRecord::tagOrderPosition(std::string_view tag) const {
  CheckTag(tag);
  const auto* t = reinterpret_cast<const unsigned char*>(tag.data());
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const auto* f = reinterpret_cast<const unsigned char*>(fields_[i].tag);
    // Bytewise, as std::string_view compares, without a call per field.
    if (f[0] != t[0] ? f[0] > t[0] : f[1] != t[1] ? f[1] > t[1] : f[2] > t[2]) return i;
  }
  return fields_.size();
}

std::size_t MarcRecord::addControlField(std::string_view tag, std::string_view data) {
  insertControlField(fields_.size(), tag, data);
  return fields_.size() - 1;
}

std::size_t MarcRecord::addDataField(std::string_view tag, char indicator1, char indicator2,
                                     std::initializer_list<SubfieldInit> subfields) {
  insertDataField(fields_.size(), tag, indicator1, indicator2, subfields);
  return fields_.size() - 1;
}

void MarcRecord::insertControlField(std::size_t pos, std::string_view tag, std::string_view data) {
  if (pos > fields_.size()) {
    throw std::out_of_range("cannot insert at field " + std::to_string(pos) + " (the record has " +
                            std::to_string(fields_.size()) + ")");
  }
  Field f = makeField(tag, true);
  CheckBytes(data, "control field data");
  f.len = store(data, &f.off);
  fields_.insert(fields_.begin() + static_cast<std::ptrdiff_t>(pos), f);
}

void MarcRecord::insertDataField(std::size_t pos, std::string_view tag, char indicator1,
                                 char indicator2, std::initializer_list<SubfieldInit> subfields) {
  if (pos > fields_.size()) {
    throw std::out_of_range("cannot insert at field " + std::to_string(pos) + " (the record has " +
                            std::to_string(fields_.size()) + ")");
  }
  Field f = makeField(tag, false);
  CheckByte(indicator1, "indicator");
  CheckByte(indicator2, "indicator");
  std::size_t total = 0;
  for (const SubfieldInit& s : subfields) {
    CheckByte(s.first, "subfield code");
    CheckBytes(s.second, "subfield value");
    total += s.second.size();
  }
  if (total > kMaxBytes - bytes_.size() || subfields.size() > kMaxBytes - subfields_.size()) {
    throw std::length_error("record too large to edit");
  }
  // Values may be views of this record: their offsets are taken before the
  // bytes move, once, to make room for all of them.
  const char* const old = bytes_.data();
  const std::size_t old_size = bytes_.size();
  bytes_.reserve(old_size + total);
  f.ind1 = indicator1;
  f.ind2 = indicator2;
  for (const SubfieldInit& s : subfields) {
    const char* from = s.second.data();
    if (Inside(from, old, old_size)) {
      from = bytes_.data() +
             (reinterpret_cast<std::uintptr_t>(from) - reinterpret_cast<std::uintptr_t>(old));
    }
    subfields_.push_back(Subfield{s.first, static_cast<std::uint32_t>(bytes_.size()),
                                  static_cast<std::uint32_t>(s.second.size())});
    bytes_.append(from, s.second.size());
  }
  f.count = static_cast<std::uint32_t>(subfields.size());
  fields_.insert(fields_.begin() + static_cast<std::ptrdiff_t>(pos), f);
}

std::size_t MarcRecord::addField(const FieldView& field) {
  Field e;
  std::memcpy(e.tag, field.tag().data(), kTagWidth);
  e.ind1 = field.indicator1();
  e.ind2 = field.indicator2();
  e.first = 0;
  e.count = 0;
  std::string_view d = field.data();
  if (field.isControl()) {
    e.kind = Kind::kControl;
  } else {
    d.remove_prefix(std::min<std::size_t>(field.indicators().size(), 2));
    e.kind = Kind::kRaw;
  }
  e.len = store(d, &e.off);
  fields_.push_back(e);
  return fields_.size() - 1;
}

void MarcRecord::removeField(std::size_t field) {
  at(field);
  fields_.erase(fields_.begin() + static_cast<std::ptrdiff_t>(field));
}

std::size_t MarcRecord::removeFields(std::string_view pattern) {
  CheckPattern(pattern);
  const std::size_t before = fields_.size();
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                               [pattern](const Field& f) {
                                 return tagMatches(pattern, std::string_view(f.tag, kTagWidth));
                               }),
                fields_.end());
  return before - fields_.size();
}

void MarcRecord::setTag(std::size_t field, std::string_view tag) {
  const Field& f = at(field);
  const Field checked = makeField(tag, f.kind == Kind::kControl);
  std::memcpy(fields_[field].tag, checked.tag, kTagWidth);
}

void MarcRecord::setData(std::size_t field, std::string_view data) {
  const Field& f = at(field);
  if (f.kind != Kind::kControl) {
    Refuse("field " + std::to_string(field) + " (" + Shown(std::string_view(f.tag, kTagWidth)) +
           ") is a data field");
  }
  CheckBytes(data, "control field data");
  std::uint32_t off = 0;
  const std::uint32_t len = store(data, &off);
  fields_[field].off = off;
  fields_[field].len = len;
}

void MarcRecord::setIndicators(std::size_t field, char indicator1, char indicator2) {
  dataField(field);
  CheckByte(indicator1, "indicator");
  CheckByte(indicator2, "indicator");
  fields_[field].ind1 = indicator1;
  fields_[field].ind2 = indicator2;
}

void MarcRecord::setPrefix(std::size_t field, std::string_view bytes) {
  dataField(field);
  CheckBytes(bytes, "prefix");
  std::uint32_t off = 0;
  const std::uint32_t len = store(bytes, &off);
  fields_[field].off = off;
  fields_[field].len = len;
}

// ---- subfields

std::size_t MarcRecord::subfieldCount(std::size_t field) const {
  if (at(field).kind == Kind::kControl) return 0;
  return dataField(field).count;
}

char MarcRecord::code(std::size_t field, std::size_t sub) const {
  const Field& f = dataField(field);
  if (sub >= f.count) {
    throw std::out_of_range("subfield " + std::to_string(sub) + " of field " +
                            std::to_string(field) + " does not exist (it has " +
                            std::to_string(f.count) + ")");
  }
  return subfields_[f.first + sub].code;
}

std::string_view MarcRecord::value(std::size_t field, std::size_t sub) const {
  code(field, sub);  // the checks
  const Subfield& s = subfields_[fields_[field].first + sub];
  return piece(s.off, s.len);
}

std::size_t MarcRecord::findSubfield(std::size_t field, char code, std::size_t from) const {
  if (at(field).kind == Kind::kControl) return npos;
  const Field& f = dataField(field);
  for (std::size_t i = from; i < f.count; ++i) {
    if (subfields_[f.first + i].code == code) return i;
  }
  return npos;
}

std::string_view MarcRecord::subfield(std::size_t field, char code) const {
  const std::size_t i = findSubfield(field, code);
  return i == npos ? std::string_view() : value(field, i);
}

// Moves the subfields of `f` to the end of the list, unless they are there,
// so that they can grow by `more` without moving another field's.
void MarcRecord::makeRoom(Field& f, std::size_t more) {
  if (subfields_.size() + f.count + more > kMaxBytes) throw std::length_error("too many subfields");
  if (f.first + f.count == subfields_.size()) return;
  const std::size_t first = subfields_.size();
  subfields_.reserve(first + f.count + more);  // no reallocation while copying from itself
  for (std::uint32_t i = 0; i < f.count; ++i) subfields_.push_back(subfields_[f.first + i]);
  f.first = static_cast<std::uint32_t>(first);
}

void MarcRecord::addSubfield(std::size_t field, char code, std::string_view value) {
  insertSubfield(field, npos, code, value);
}

void MarcRecord::insertSubfield(std::size_t field, std::size_t pos, char code,
                                std::string_view value) {
  Field& f = parsedDataField(field);
  if (pos == npos) pos = f.count;  // from addSubfield()
  if (pos > f.count) {
    throw std::out_of_range("cannot insert at subfield " + std::to_string(pos) + " of field " +
                            std::to_string(field) + " (it has " + std::to_string(f.count) + ")");
  }
  CheckByte(code, "subfield code");
  CheckBytes(value, "subfield value");
  Subfield s{code, 0, 0};
  s.len = store(value, &s.off);
  makeRoom(f, 1);
  subfields_.insert(subfields_.begin() + static_cast<std::ptrdiff_t>(f.first + pos), s);
  ++f.count;
}

void MarcRecord::removeSubfield(std::size_t field, std::size_t sub) {
  code(field, sub);  // the checks
  Field& f = fields_[field];
  const auto begin = subfields_.begin() + f.first;
  std::copy(begin + static_cast<std::ptrdiff_t>(sub) + 1, begin + f.count,
            begin + static_cast<std::ptrdiff_t>(sub));
  --f.count;
}

std::size_t MarcRecord::removeSubfields(std::size_t field, char code) {
  Field& f = parsedDataField(field);
  const auto begin = subfields_.begin() + f.first;
  const auto end =
      std::remove_if(begin, begin + f.count, [code](const Subfield& s) { return s.code == code; });
  const std::size_t removed = static_cast<std::size_t>(begin + f.count - end);
  f.count -= static_cast<std::uint32_t>(removed);
  return removed;
}

void MarcRecord::setValue(std::size_t field, std::size_t sub, std::string_view value) {
  code(field, sub);  // the checks
  CheckBytes(value, "subfield value");
  std::uint32_t off = 0;
  const std::uint32_t len = store(value, &off);
  Subfield& s = subfields_[fields_[field].first + sub];
  s.off = off;
  s.len = len;
}

bool MarcRecord::setSubfield(std::size_t field, char code, std::string_view value) {
  CheckByte(code, "subfield code");
  const std::size_t i = findSubfield(field, code);
  if (i == npos) {
    addSubfield(field, code, value);
    return false;
  }
  setValue(field, i, value);
  return true;
}

// ---- writing

std::size_t MarcRecord::measure(const MarcWriteOptions& options) const {
  // A record of no field gets a data area of one field terminator, as
  // RecordWriter writes it: the classic interface refuses a base address
  // on the record terminator.
  std::size_t total =
      kLeaderSize + fields_.size() * kDirectoryEntryLength + 2 + (fields_.empty() ? 1 : 0);
  bool unstated = false;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    std::size_t length = f.len + 1;
    if (f.kind != Kind::kControl) length += 2;
    if (f.kind == Kind::kParsed) {
      for (std::uint32_t j = 0; j < f.count; ++j) length += 2 + subfields_[f.first + j].len;
    }
    if (length > kMaxFieldLength) {
      if (!options.unstated_lengths) {
        throw std::length_error("field " + Shown(std::string_view(f.tag, kTagWidth)) + " (entry " +
                                std::to_string(i) + ") is " + std::to_string(length) +
                                " bytes long; ISO 2709 allows 9,999");
      }
      unstated = true;
    }
    total += length;
  }
  if (total > kMaxRecordLength) {
    if (!options.unstated_lengths) {
      throw std::length_error("record is " + std::to_string(total) +
                              " bytes long; ISO 2709 allows 99,999");
    }
    unstated = true;
  }
  if (!unstated) return total;
  // Read back by its terminators: none may stand inside a field.
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const Field& f = fields_[i];
    bool bad = HoldsTerminator(std::string_view(f.tag, kTagWidth)) ||
               HoldsTerminator(piece(f.off, f.len)) || IsTerminator(f.ind1) || IsTerminator(f.ind2);
    for (std::uint32_t j = 0; !bad && f.kind == Kind::kParsed && j < f.count; ++j) {
      const Subfield& s = subfields_[f.first + j];
      bad = IsTerminator(s.code) || HoldsTerminator(piece(s.off, s.len));
    }
    if (bad) {
      throw std::length_error("field " + Shown(std::string_view(f.tag, kTagWidth)) + " (entry " +
                              std::to_string(i) +
                              ") holds a separator byte; a record written with unstated lengths "
                              "is read back by its terminators");
    }
  }
  return total;
}

// REQUIRES: `size` is what measure() gave, for room of that size at `out`.
void MarcRecord::serialize(char* out, std::size_t size) const {
  const std::size_t base = kLeaderSize + fields_.size() * kDirectoryEntryLength + 1;
  std::memcpy(out, leader_, kLeaderSize);
  PutDigits(size <= kMaxRecordLength ? size : 0, kRecordLengthWidth, out);
  PutDigits(base <= kMaxRecordLength ? base : 0, kBaseAddressWidth, out + kBaseAddressOffset);
  char* entry = out + kLeaderSize;
  char* const data = out + base;
  char* p = data;
  const char* const bytes = bytes_.data();
  const std::size_t held = bytes_.size();
  // Fields whose bytes, terminator included, stand as written in the
  // record read (unchanged ones, mostly one after another) are copied in
  // runs: one copy for many fields.
  const char* run = nullptr;
  std::size_t run_length = 0;
  char* run_out = nullptr;
  for (const Field& f : fields_) {
    char* const start = p;
    const std::size_t end = std::size_t{f.off} + f.len;  // where the terminator would be
    const char* same = nullptr;
    if (end < held && bytes[end] == kFieldTerminator) {
      if (f.kind == Kind::kControl) {
        same = bytes + f.off;
      } else if (f.kind == Kind::kRaw && f.off >= 2 && bytes[f.off - 2] == f.ind1 &&
                 bytes[f.off - 1] == f.ind2) {
        same = bytes + f.off - 2;
      }
    }
    if (same != nullptr) {
      const std::size_t length = static_cast<std::size_t>(bytes + end + 1 - same);
      if (run_length != 0 && run + run_length == same) {
        run_length += length;
      } else {
        if (run_length != 0) std::memcpy(run_out, run, run_length);
        run = same;
        run_length = length;
        run_out = p;
      }
      p += length;
    } else {
      if (run_length != 0) std::memcpy(run_out, run, run_length);
      run_length = 0;
      if (f.kind != Kind::kControl) {
        *p++ = f.ind1;
        *p++ = f.ind2;
      }
      std::memcpy(p, bytes + f.off, f.len);
      p += f.len;
      if (f.kind == Kind::kParsed) {
        for (std::uint32_t j = 0; j < f.count; ++j) {
          const Subfield& s = subfields_[f.first + j];
          p[0] = kSubfieldDelimiter;
          p[1] = s.code;
          std::memcpy(p + 2, bytes + s.off, s.len);
          p += 2 + s.len;
        }
      }
      *p++ = kFieldTerminator;
    }
    const std::size_t length = static_cast<std::size_t>(p - start);
    const std::size_t position = static_cast<std::size_t>(start - data);
    // Lengths that cannot be stated are written as zeros (only with
    // options.unstated_lengths: measure() refused them otherwise).
    const bool stated = length <= kMaxFieldLength && position <= kMaxRecordLength;
    std::memcpy(entry, f.tag, kTagWidth);
    PutFourDigits(stated ? length : 0, entry + kTagWidth);
    PutFiveDigits(position <= kMaxRecordLength ? position : 0,
                  entry + kTagWidth + kFieldLengthWidth);
    entry += kDirectoryEntryLength;
  }
  if (run_length != 0) std::memcpy(run_out, run, run_length);
  *entry = kFieldTerminator;
  if (fields_.empty()) *p++ = kFieldTerminator;
  *p = kRecordTerminator;
}

void MarcRecord::appendIso2709(std::string& out, const MarcWriteOptions& options) const {
  if (options.to_utf8 || options.to_marc8) {
    t_converted.clear();
    appendIso2709(t_converted, options);
    out.append(t_converted.view().data(), t_converted.size());
    return;
  }
  const std::size_t size = measure(options);
  const std::size_t start = out.size();
  out.resize(start + size);
  serialize(&out[start], size);
}

void MarcRecord::appendIso2709(OutputBuffer& out, const MarcWriteOptions& options) const {
  if (options.to_utf8 && options.to_marc8) {
    throw std::invalid_argument("a record is written as UTF-8 or as MARC-8, not both");
  }
  if (!options.to_utf8 && !options.to_marc8) {
    const std::size_t size = measure(options);
    char* const p = out.room(size);
    serialize(p, size);
    out.commit(p + size);
    return;
  }
  // The conversion is the formats layer's: the bytes read as a view and
  // written again with their text decoded.
  MarcWriteOptions own = options;
  own.to_utf8 = own.to_marc8 = false;
  t_convert_bytes.clear();
  appendIso2709(t_convert_bytes, own);
  const RecordView view = RecordView::parse(t_convert_bytes.data(), t_convert_bytes.size());
  RecordText text(TextOptions{Charset::kAuto, false});
  text.start(view);
  writeIso2709(view, text, out, TagFilter(),
               options.to_marc8 ? OutputCharset::kMarc8 : OutputCharset::kText);
}

std::string MarcRecord::toIso2709(const MarcWriteOptions& options) const {
  std::string out;
  appendIso2709(out, options);
  return out;
}

std::size_t MarcRecord::write(Format format, RecordText& text, OutputBuffer& out,
                              const MarcWriteOptions& options) const {
  t_own_bytes.clear();
  appendIso2709(t_own_bytes, options);
  const RecordView view = RecordView::parse(t_own_bytes.data(), t_own_bytes.size());
  text.start(view);
  return writeRecord(format, view, text, out);
}

}  // namespace quillet
