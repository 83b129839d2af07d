#include "formats/json_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include <rapidjson/error/en.h>

namespace quillet {

namespace {

// RapidJSON parses the copy in place (strings unescaped where they stand,
// numbers given as their text), checks that strings are UTF-8, and stops
// at the end of the object. The copy ends with this many zero bytes: the
// first ends the text for RapidJSON, the others give room to its 16-byte
// reads (SSE2) that start before the end.
constexpr unsigned kJsonParseFlags = rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag |
                                     rapidjson::kParseNumbersAsStringsFlag |
                                     rapidjson::kParseStopWhenDoneFlag;
constexpr std::size_t kJsonPadding = 16;

// How much white space may stand between a record object's '{' and its
// first key for the object to be recognised when reading resynchronises.
constexpr std::size_t kJsonLookahead = 64;

inline bool JsonBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::uint32_t JsonClamp(std::uint64_t n) {
  return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(n);
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
  const bool more = ReadChunk(buffer_);
  Scan(!more);
  if (!more) {
    if (in_array_) {
      AddProblem(Problem::Kind::kMalformed, Offset(pos_), line_,
                 JsonClamp(Offset(pos_) - line_start_ + 1), "the array is not closed at the end of the input");
      in_array_ = false;
    }
    buffer_offset_ += buffer_.size();
    buffer_.clear();
    pos_ = 0;
    return false;
  }
  // Keep what is not consumed: the object being framed, or the bytes a
  // decision waits on.
  const std::size_t keep = in_object_ ? static_cast<std::size_t>(object_ - buffer_offset_) : pos_;
  buffer_.erase(0, keep);
  buffer_offset_ += keep;
  pos_ -= keep;
  return true;
}

void JsonReader::Scan(bool end) {
  for (;;) {
    if (!in_object_) {
      if (pos_ >= buffer_.size() || !Between(end)) return;
      continue;
    }
    const Frame frame = ScanObject(end);
    if (frame == Frame::kMore) return;
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
      case Frame::kMore:
        break;
    }
  }
}

void JsonReader::NewLine(std::size_t at) {
  ++line_;
  line_start_ = Offset(at) + 1;
  if (in_object_) newlines_.push_back(Offset(at));
}

void JsonReader::Junk(Skip to) {
  AddProblem(Problem::Kind::kMalformed, Offset(pos_), line_, JsonClamp(Offset(pos_) - line_start_ + 1),
             "unexpected " + JsonByteName(buffer_[pos_]) + " outside a record object; skipped to the next " +
                 (to == Skip::kLine ? "line" : "'{'"));
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
    case Skip::kNone:
      break;
    case Skip::kLine:
      ++pos_;
      return true;
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
        case Match::kMore:
          return false;
        case Match::kNo:
          ++pos_;
          return true;
        case Match::kYes:
          break;
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
        AddProblem(Problem::Kind::kMalformed, Offset(pos_), line_, column, "a ',' before the array's end");
      }
      in_array_ = false;
      after_element_ = false;
      after_comma_ = false;
      ++pos_;
      return true;
    default:
      break;
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
  const std::size_t size = buffer_.size();
  std::size_t i = pos_;
  Frame frame = Frame::kMore;
  for (; i < size; ++i) {
    const char c = data[i];
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '"') {
        in_string_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      }
      if (c == '\n') {
        // Never in a string: the string is broken. In JSON lines the object
        // ends with its line; otherwise the scanner takes the string for
        // ended, which brings it back in step on the next line of
        // pretty-printed text, and RapidJSON reports the damage.
        if (lines_ == Lines::kYes) {
          frame = Frame::kCut;
          break;
        }
        in_string_ = false;
        escaped_ = false;
        NewLine(i);
      }
      continue;
    }
    if (c == '"') {
      in_string_ = true;
    } else if (c == '{') {
      if (depth_ > 0 && lines_ != Lines::kYes) {
        // A record object inside an object: the one before it was never
        // closed, and ends here.
        const Match m = RecordStartAt(i, end);
        if (m == Match::kMore) break;
        if (m == Match::kYes) {
          frame = Frame::kCut;
          break;
        }
      }
      ++depth_;
    } else if (c == '}') {
      if (--depth_ == 0) {
        ++i;
        frame = Frame::kClosed;
        break;
      }
    } else if (c == '\n') {
      if (lines_ == Lines::kYes) {  // the line ends with the object still open
        frame = Frame::kCut;
        break;
      }
      NewLine(i);
    }
  }
  pos_ = i;
  if (Offset(pos_) - object_ > options().max_record_size) return Frame::kTooLong;
  if (frame == Frame::kMore && end) return Frame::kCut;
  return frame;
}

void JsonReader::Place(std::uint64_t offset, std::uint32_t* line, std::uint32_t* column) const {
  const std::size_t n =
      static_cast<std::size_t>(std::lower_bound(newlines_.begin(), newlines_.end(), offset) - newlines_.begin());
  *line = object_line_ + static_cast<std::uint32_t>(n);
  const std::uint64_t start = n == 0 ? object_line_start_ : newlines_[n - 1] + 1;
  *column = JsonClamp(offset - start + 1);
}

void JsonReader::ParseObject() {
  const std::size_t from = static_cast<std::size_t>(object_ - buffer_offset_);
  parse_.assign(buffer_, from, pos_ - from);
  parse_.append(kJsonPadding, '\0');
  rapidjson::InsituStringStream stream(&parse_[0]);
  builder_.Start(parse_.data(), &stream);
  const rapidjson::ParseResult result = json_.Parse<kJsonParseFlags>(stream, builder_);
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
    std::string detail = result.Code() == rapidjson::kParseErrorTermination && builder_.stop_reason()
                             ? builder_.stop_reason()
                             : rapidjson::GetParseError_En(result.Code());
    if (!detail.empty() && detail.back() == '.') detail.pop_back();
    detail += keep ? "; the fields before it kept" : "; the object skipped";
    AddProblem(Problem::Kind::kMalformed, at, line, column, std::move(detail));
  }
  if (keep) EndRecord();
}

}  // namespace quillet
