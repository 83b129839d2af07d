#ifndef QUILLET_FORMATS_JSON_READER_H_
#define QUILLET_FORMATS_JSON_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats/json_record_builder.h"
#include "formats/text_record_stream.h"

namespace quillet {

// Reads MARC-in-JSON: record objects one after another (JSON lines, or
// simply concatenated), in a top-level array, or one alone. The input is
// never held whole: a small scanner that follows strings, escapes and brace
// depth finds where each top-level object ends (within the options'
// max_record_size), and only that object is parsed, by RapidJSON's SAX
// reader in situ on a copy, whose events JsonRecordBuilder turns into the
// record. Strings must be UTF-8.
//
// Syntax errors are reported as Problem::Kind::kMalformed with their line
// and column and RapidJSON's words; the whole fields read before the error
// are kept as a record (when there are any), and reading goes on at the
// next top-level object. A record's offset is that of its '{'. An object
// longer than max_record_size is skipped.
//
// When the first object is closed on the line it starts on, the input is
// taken for JSON lines: an object whole on its line goes to RapidJSON
// straight away, an object still open at the end of its line is cut there,
// and junk is skipped to the next line. Otherwise an object still open
// where the next record object starts ('{' and the key "leader" or
// "fields") is cut there, and junk is skipped to the next '{'; a value of
// an unknown key that is itself an object starting with one of those keys
// is taken for such a start.
//
// Owns its input; one thread at a time.
class JsonReader : public TextRecordStream {
 public:
  JsonReader(std::unique_ptr<ChunkSource> source, const Reader::Options& options);
  ~JsonReader() override;

 protected:
  bool Produce() override;

 private:
  enum class Lines : std::uint8_t { kUnknown, kYes, kNo };
  // What junk is skipped to.
  enum class Skip : std::uint8_t { kNone, kLine, kBrace, kRecordStart };
  enum class Frame : std::uint8_t { kClosed, kCut, kMore, kTooLong };
  enum class Match : std::uint8_t { kYes, kNo, kMore };

  // Frames and parses what buffer_ holds until a record is queued (true)
  // or more input is needed; `end` at the end of the input.
  bool Scan(bool end);
  // Outside objects, the byte at pos_; false when more input is needed.
  bool Between(bool end);
  // Scans the object being framed on from pos_.
  Frame ScanObject(bool end);
  // Whether the '{' at buffer_[at] starts a record object.
  Match RecordStartAt(std::size_t at, bool end) const;
  // Parses a copy of the object in buffer_, from its start to `to`, into
  // builder_; `*length` is how much of it RapidJSON read.
  rapidjson::ParseResult Parse(std::size_t to, std::size_t* length);
  // Parses the object that starts at pos_ if it is whole on its line, and
  // queues its record; false, having queued nothing, when it is not.
  bool ParseLine();
  // Parses the object from its start to pos_ (its closing brace, or where
  // the scanner cut it) and queues its record.
  void ParseObject();
  // Queues the record builder_ holds, or only the problems when the parse
  // failed before any of it was read.
  void Emit(const rapidjson::ParseResult& result);
  void NewLine(std::size_t at);
  // The line and column of input offset `offset` in the object being framed.
  void Place(std::uint64_t offset, std::uint32_t* line, std::uint32_t* column) const;
  void Junk(Skip to);
  std::uint64_t Offset(std::size_t at) const { return buffer_offset_ + at; }

  std::string buffer_;               // input not yet consumed
  bool end_ = false;                 // all input is in buffer_
  std::uint64_t buffer_offset_ = 0;  // where buffer_ starts in the input
  std::size_t pos_ = 0;              // the next byte of buffer_ to scan
  std::uint32_t line_ = 1;           // the line of pos_
  std::uint64_t line_start_ = 0;     // where that line starts in the input

  Lines lines_ = Lines::kUnknown;
  Skip skip_ = Skip::kNone;
  bool in_array_ = false;       // in a top-level array
  bool after_element_ = false;  // an element of it read, no comma yet
  bool after_comma_ = false;

  // The object being framed.
  bool in_object_ = false;
  std::uint64_t object_ = 0;  // where its '{' is in the input
  std::uint32_t object_line_ = 0;
  std::uint64_t object_line_start_ = 0;
  std::vector<std::uint64_t> newlines_;  // input offsets of its line ends
  unsigned depth_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;

  std::string parse_;         // the object's copy, parsed in situ
  std::uint64_t queued_ = 0;  // records queued so far
  rapidjson::Reader json_;
  JsonRecordBuilder builder_;
};

}  // namespace quillet

#endif  // QUILLET_FORMATS_JSON_READER_H_
