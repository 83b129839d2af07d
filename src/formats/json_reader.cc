#include "formats/json_reader.h"

#include <rapidjson/error/en.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "common/word_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillet {

namespace {

// RapidJSON parses the copy in place (strings unescaped where they stand,
// numbers given as their text), checks that strings are UTF-8, and stops
// at the end of the object. The copy ends with this many zero bytes: the
// first ends the text for RapidJSON, the others give room to its 16-byte
// reads (SSE2) that start before the end.
constexpr unsigned kJsonParseFlags =
    rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag |
    rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;
constexpr std::size_t kJsonPadding = 16;

// How much white space may stand between a record object's '{' and its
// first key for the object to be recognised when reading resynchronises.
constexpr std::size_t kJsonLookahead = 64;

inline bool JsonBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::uint32_t JsonClamp(std::uint64_t n) {
  return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(n);
}

// How far from `p` (of `n` bytes) the first byte that is a, b, c or d
// stands; n when none is. The scanner's inner loop: most bytes of JSON
// are none of the four it looks for.
inline std::size_t JsonFind(const char* p, std::size_t n, char a, char b, char c, char d) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b), vc = _mm_set1_epi8(c),
                vd = _mm_set1_epi8(d);
  for (; n - i >= 16; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, va), _mm_cmpeq_epi8(x, vb)),
                                     _mm_or_si128(_mm_cmpeq_epi8(x, vc), _mm_cmpeq_epi8(x, vd)));
    const int mask = _mm_movemask_epi8(hit);
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#else
  using namespace word_scan;
  for (; n - i >= 8; i += 8) {
    const std::uint64_t x = Load8(p + i);
    if ((EqualBits(x, a) | EqualBits(x, b) | EqualBits(x, c) | EqualBits(x, d)) != 0) break;
  }
#endif
  for (; i < n; ++i) {
    const char x = p[i];
    if (x == a || x == b || x == c || x == d) return i;
  }
  return n;
}

// A byte of junk, for the user.
std::string JsonByteName(char c) {
  const unsigned char b = static_cast<unsigned char>(c);
  if (b > 0x20 && b < 0x7F) return std::string("'") + c + "'";
  static const char kHex[] = "0123456789ABCDEF";
  return std::string("byte 0x") + kHex[b >> 4] + kHex[b & 15];
}

}  // namespace

JsonReader::JsonReader(std::unique_ptr<ChunkSource> source, const Reader::Options& options)
    : TextRecordStream(std::move(source), options) {}

JsonReader::~JsonReader() = default;

bool JsonReader::Produce() {
  // What the buffer holds is parsed before more is read, one record at a
  // time: the records queued, and the room each keeps for the next, stay
  // few however many a chunk holds.
  for (;;) {
    if (Scan(end_)) return true;
    if (end_) break;
    // Keep what is not consumed: the object being framed, or the bytes a
    // decision waits on.
    const std::size_t keep = in_object_ ? static_cast<std::size_t>(object_ - buffer_offset_) : pos_;
    buffer_.erase(0, keep);
    buffer_offset_ += keep;
    pos_ -= keep;
    end_ = !ReadChunk(buffer_);
  }
  if (in_array_) {
    AddProblem(Problem::Kind::kMalformed, Offset(pos_), line_,
               JsonClamp(Offset(pos_) - line_start_ + 1),
               "the array is not closed at the end of the input");
    in_array_ = false;
  }
  return false;
}

bool JsonReader::Scan(bool end) {
  const std::uint64_t queued = queued_;
  for (;;) {
    if (queued_ != queued) return true;
    if (!in_object_) {
      if (pos_ >= buffer_.size() || !Between(end)) return false;
      continue;
    }
    const Frame frame = ScanObject(end);
    if (frame == Frame::kMore) return false;
    in_object_ = false;
    after_comma_ = false;
    // JSON lines, when the first object is closed on the line it starts on.
    if (lines_ == Lines::kUnknown) {
      lines_ = frame == Frame::kClosed && newlines_.empty() ? Lines::kYes : Lines::kNo;
    }
    switch (frame) {
      case Frame::kClosed:
        ParseObject();
        after_element_ = in_array_;
        break;
      case Frame::kCut:
        ParseObject();
        after_element_ = false;
        break;
      case Frame::kTooLong: {
        std::uint32_t line, column;
        Place(object_, &line, &column);
        AddProblem(Problem::Kind::kMalformed, object_, line, column,
                   "an object longer than the longest record (" +
                       std::to_string(options().max_record_size) + " bytes); skipped");
        skip_ = lines_ == Lines::kYes ? Skip::kLine : Skip::kRecordStart;
        after_element_ = false;
        break;
      }
      case Frame::kMore: break;
    }
  }
}

void JsonReader::NewLine(std::size_t at) {
  ++line_;
  line_start_ = Offset(at) + 1;
  if (in_object_) newlines_.push_back(Offset(at));
}

void JsonReader::Junk(Skip to) {
  AddProblem(
      Problem::Kind::kMalformed, Offset(pos_), line_, JsonClamp(Offset(pos_) - line_start_ + 1),
      "unexpected " + JsonByteName(buffer_[pos_]) +
          " outside a record object; skipped to the next " + (to == Skip::kLine ? "line" : "'{'"));
  skip_ = to;
  ++pos_;
}

bool JsonReader::Between(bool end) {
  const char c = buffer_[pos_];
  if (c == '\n') {
    NewLine(pos_);
    ++pos_;
    if (skip_ == Skip::kLine) skip_ = Skip::kNone;
    return true;
  }
  switch (skip_) {
    case Skip::kNone: break;
    case Skip::kLine: ++pos_; return true;
    case Skip::kBrace:
      if (c != '{') {
        ++pos_;
        return true;
      }
      break;
    case Skip::kRecordStart:
      if (c != '{') {
        ++pos_;
        return true;
      }
      switch (RecordStartAt(pos_, end)) {
        case Match::kMore: return false;
        case Match::kNo: ++pos_; return true;
        case Match::kYes: break;
      }
      break;
  }
  if (JsonBlank(c)) {
    ++pos_;
    return true;
  }
  if (c == '\xEF' && Offset(pos_) == 0) {  // a byte order mark
    if (buffer_.size() - pos_ < 3 && !end) return false;
    if (buffer_.compare(pos_, 3, "\xEF\xBB\xBF") == 0) {
      pos_ += 3;
      return true;
    }
  }
  const std::uint32_t column = JsonClamp(Offset(pos_) - line_start_ + 1);
  switch (c) {
    case '{':
      skip_ = Skip::kNone;
      if (in_array_ && after_element_) {
        AddProblem(Problem::Kind::kMalformed, Offset(pos_), line_, column,
                   "no ',' between the array's elements");
      }
      after_comma_ = false;
      in_object_ = true;
      object_ = Offset(pos_);
      object_line_ = line_;
      object_line_start_ = line_start_;
      newlines_.clear();
      depth_ = 0;
      in_string_ = false;
      escaped_ = false;
      // In JSON lines, an object whole on its line is parsed straight away:
      // RapidJSON finds where it ends, and the scanner is needed only for
      // objects it cannot read to their end.
      if (lines_ == Lines::kYes && ParseLine()) {
        in_object_ = false;
        after_element_ = in_array_;
      }
      return true;
    case '[':
      if (in_array_) break;
      in_array_ = true;
      after_element_ = false;
      after_comma_ = false;
      ++pos_;
      return true;
    case ',':
      if (!in_array_ || !after_element_) break;
      after_element_ = false;
      after_comma_ = true;
      ++pos_;
      return true;
    case ']':
      if (!in_array_) break;
      if (after_comma_) {
        AddProblem(Problem::Kind::kMalformed, Offset(pos_), line_, column,
                   "a ',' before the array's end");
      }
      in_array_ = false;
      after_element_ = false;
      after_comma_ = false;
      ++pos_;
      return true;
    default: break;
  }
  Junk(lines_ == Lines::kYes ? Skip::kLine : Skip::kBrace);
  return true;
}

JsonReader::Match JsonReader::RecordStartAt(std::size_t at, bool end) const {
  std::size_t i = at + 1;
  const std::size_t limit = std::min(buffer_.size(), i + kJsonLookahead);
  while (i < limit && JsonBlank(buffer_[i])) ++i;
  if (i == limit && limit - at - 1 == kJsonLookahead) return Match::kNo;
  constexpr std::size_t kKey = 8;  // "leader" and "fields" with their quotes
  if (buffer_.size() - i < kKey) return end ? Match::kNo : Match::kMore;
  const std::string_view key(buffer_.data() + i, kKey);
  return key == "\"leader\"" || key == "\"fields\"" ? Match::kYes : Match::kNo;
}

JsonReader::Frame JsonReader::ScanObject(bool end) {
  const char* const data = buffer_.data();
  // No further than max_record_size bytes from the object's start, so that
  // where reading goes on after an object too long does not depend on how
  // the input came in chunks.
  const std::size_t start = static_cast<std::size_t>(object_ - buffer_offset_);
  const std::size_t max = options().max_record_size;
  const bool capped = max <= buffer_.size() - start;
  const std::size_t size = capped ? start + max : buffer_.size();
  std::size_t i = pos_;
  // In locals, so that they stay in registers through the loop.
  unsigned depth = depth_;
  bool in_string = in_string_;
  bool escaped = escaped_;
  Frame frame = Frame::kMore;
  while (i < size) {
    if (in_string) {
      if (!escaped) {
        i += JsonFind(data + i, size - i, '"', '\\', '\n', '"');
        if (i == size) break;
      }
      const char c = data[i];
      if (c == '\n') {
        // Never in a string: the string is broken. In JSON lines the object
        // ends with its line; otherwise the scanner takes the string for
        // ended, which brings it back in step on the next line of
        // pretty-printed text, and RapidJSON reports the damage.
        if (lines_ == Lines::kYes) {
          frame = Frame::kCut;
          break;
        }
        in_string = false;
        escaped = false;
        NewLine(i);
      } else if (escaped) {
        escaped = false;
      } else if (c == '"') {
        in_string = false;
      } else {
        escaped = true;  // a backslash
      }
      ++i;
      continue;
    }
    i += JsonFind(data + i, size - i, '"', '{', '}', '\n');
    if (i == size) break;
    const char c = data[i];
    if (c == '"') {
      in_string = true;
    } else if (c == '{') {
      if (depth > 0 && lines_ != Lines::kYes) {
        // A record object inside an object: the one before it was never
        // closed, and ends here.
        const Match m = RecordStartAt(i, end);
        if (m == Match::kMore) break;
        if (m == Match::kYes) {
          frame = Frame::kCut;
          break;
        }
      }
      ++depth;
    } else if (c == '}') {
      if (--depth == 0) {
        ++i;
        frame = Frame::kClosed;
        break;
      }
    } else {                        // a line end
      if (lines_ == Lines::kYes) {  // the line ends with the object still open
        frame = Frame::kCut;
        break;
      }
      NewLine(i);
    }
    ++i;
  }
  pos_ = i;
  depth_ = depth;
  in_string_ = in_string;
  escaped_ = escaped;
  if (frame == Frame::kMore && capped && i == size) return Frame::kTooLong;
  if (frame == Frame::kMore && end) return Frame::kCut;
  return frame;
}

void JsonReader::Place(std::uint64_t offset, std::uint32_t* line, std::uint32_t* column) const {
  const std::size_t n = static_cast<std::size_t>(
      std::lower_bound(newlines_.begin(), newlines_.end(), offset) - newlines_.begin());
  *line = object_line_ + static_cast<std::uint32_t>(n);
  const std::uint64_t start = n == 0 ? object_line_start_ : newlines_[n - 1] + 1;
  *column = JsonClamp(offset - start + 1);
}

rapidjson::ParseResult JsonReader::Parse(std::size_t to, std::size_t* length) {
  const std::size_t from = static_cast<std::size_t>(object_ - buffer_offset_);
  parse_.assign(buffer_, from, to - from);
  parse_.append(kJsonPadding, '\0');
  rapidjson::InsituStringStream stream(&parse_[0]);
  builder_.Start(parse_.data(), &stream);
  const rapidjson::ParseResult result = json_.Parse<kJsonParseFlags>(stream, builder_);
  *length = stream.Tell();
  return result;
}

bool JsonReader::ParseLine() {
  const std::size_t from = pos_;
  const void* const end = std::memchr(buffer_.data() + from, '\n', buffer_.size() - from);
  if (end == nullptr) return false;
  const std::size_t to = static_cast<std::size_t>(static_cast<const char*>(end) - buffer_.data());
  if (to - from > options().max_record_size) return false;
  std::size_t length;
  const rapidjson::ParseResult result = Parse(to, &length);
  if (result.IsError()) return false;
  pos_ = from + length;
  Emit(result);
  return true;
}

void JsonReader::ParseObject() {
  std::size_t length;
  Emit(Parse(pos_, &length));
}

void JsonReader::Emit(const rapidjson::ParseResult& result) {
  // After a syntax error, the fields read before it are kept, if any; the
  // reports about what was skipped then go with them.
  const bool keep = !result.IsError() || builder_.HasContent();
  if (keep) {
    BeginRecord(object_);
    builder_.Build(writer());
    for (const JsonRecordBuilder::Report& r : builder_.reports()) {
      std::uint32_t line, column;
      Place(object_ + r.at, &line, &column);
      AddProblem(r.kind, object_ + r.at, line, column, r.detail);
    }
  }
  if (result.IsError()) {
    const std::uint64_t at = object_ + result.Offset();
    std::uint32_t line, column;
    Place(at, &line, &column);
    std::string detail =
        result.Code() == rapidjson::kParseErrorTermination && builder_.stop_reason()
            ? builder_.stop_reason()
            : rapidjson::GetParseError_En(result.Code());
    if (!detail.empty() && detail.back() == '.') detail.pop_back();
    detail += keep ? "; the fields before it kept" : "; the object skipped";
    AddProblem(Problem::Kind::kMalformed, at, line, column, std::move(detail));
  }
  if (keep) {
    EndRecord();
    ++queued_;
  }
}

}  // namespace quillet
