#ifndef QUILLET_FORMATS_TEXT_RECORD_STREAM_H_
#define QUILLET_FORMATS_TEXT_RECORD_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "io/chunk_source.h"
#include "io/record_stream.h"
#include "quillet/view.h"
#include "quillet/writer.h"

namespace quillet {

// What the readers of the text formats share: the input read in chunks,
// each record built as ISO 2709 bytes from the fields a parser gives, and
// the records handed out in order with the problems found in their text.
//
// A derived reader parses in Produce(): it takes chunks with ReadChunk(),
// and for each record calls BeginRecord(), adds fields to writer(), notes
// problems with AddProblem(), and calls EndRecord(). Records wait in a
// queue until Next() takes them, so a parser may finish several per chunk;
// memory stays bounded by a chunk's worth of records and the longest
// record.
//
// Owns its source and the bytes of the record handed out, which stay valid
// until the next Next(). One thread at a time.
class TextRecordStream : public RecordStream {
 public:
  TextRecordStream(std::unique_ptr<ChunkSource> source, const Reader::Options& options);

  bool Next(RecordView& rec) override;
  Span<Problem> Problems() const override {
    return Span<Problem>(stray_.data(), stray_.data() + stray_.size());
  }
  std::uint64_t Position() const override { return consumed_; }
  const std::string& ReadError() const override { return read_error_; }
  std::string_view Head(std::size_t n) override;

 protected:
  // Parses on until a record is queued or the input ends; false when no
  // record will come any more.
  virtual bool Produce() = 0;

  // The next chunk of input (at most the reader's chunk size), appended to
  // `out`; false at the end of the input or after a read error (then
  // reported, and the input ends).
  bool ReadChunk(std::string& out);

  // Starts a record whose text starts at `offset` in the input.
  void BeginRecord(std::uint64_t offset);
  // The record being built.
  RecordWriter& writer() { return writer_; }
  bool in_record() const { return in_record_; }
  // A problem of the record being built, or, outside a record, of the next
  // record queued (or of no record, at the end of the input).
  void AddProblem(Problem::Kind kind, std::uint64_t offset, std::uint32_t line,
                  std::uint32_t column, std::string detail = std::string());
  // Builds the record's bytes and queues it; a record that cannot be built
  // becomes a problem of the next one.
  void EndRecord();
  // At the end of the input: problems not yet given to a record belong to
  // none.
  void FinishInput();

  const Reader::Options& options() const { return options_; }

 private:
  struct Built {
    std::string bytes;
    std::uint64_t offset = 0;
    std::vector<Problem> problems;
  };

  // Reads one chunk from the source into scratch_; returns its size.
  std::size_t ReadSource();

  std::unique_ptr<ChunkSource> source_;
  Reader::Options options_;
  std::unique_ptr<char[]> scratch_;  // a chunk as read
  std::string ahead_;                // read by Head() and not yet handed to the parser
  bool end_of_input_ = false;
  std::uint64_t consumed_ = 0;
  std::string read_error_;

  RecordWriter writer_;
  bool in_record_ = false;
  std::uint64_t record_offset_ = 0;
  std::vector<Problem> record_problems_;
  std::vector<Problem> waiting_;  // problems of no record yet: for the next one

  std::deque<Built> queue_;
  std::vector<Built> spare_;  // built records whose room is reused
  Built current_;             // the record handed out
  std::vector<Problem> stray_;
  bool finished_ = false;
};

}  // namespace quillet

#endif  // QUILLET_FORMATS_TEXT_RECORD_STREAM_H_
