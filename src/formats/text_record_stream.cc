#include "formats/text_record_stream.h"

#include <stdexcept>
#include <utility>

#include "views/problem.h"
#include "views/record_view_access.h"

namespace quillet {

TextRecordStream::TextRecordStream(std::unique_ptr<ChunkSource> source,
                                   const Reader::Options& options)
    : source_(std::move(source)), options_(options) {}

std::size_t TextRecordStream::ReadSource() {
  // Into a buffer of our own, appended from as read: a string grown by a
  // whole chunk would be zero-filled first, which costs more than the read
  // for small inputs.
  if (!scratch_) scratch_.reset(new char[options_.chunk_size]);
  return source_->Read(scratch_.get(), options_.chunk_size, read_error_);
}

std::string_view TextRecordStream::Head(std::size_t n) {
  while (ahead_.size() < n && !end_of_input_) {
    const std::size_t got = ReadSource();
    ahead_.append(scratch_.get(), got);
    if (got == 0) end_of_input_ = true;
  }
  return std::string_view(ahead_).substr(0, n);
}

bool TextRecordStream::ReadChunk(std::string& out) {
  if (!ahead_.empty()) {
    out += ahead_;
    consumed_ += ahead_.size();
    ahead_.clear();
    return true;
  }
  if (end_of_input_) return false;
  const std::size_t got = ReadSource();
  out.append(scratch_.get(), got);
  consumed_ += got;
  if (got == 0) {
    end_of_input_ = true;
    if (!read_error_.empty()) {
      Problem p = MakeProblem(Problem::Kind::kReadError, consumed_);
      p.detail = read_error_;
      waiting_.push_back(std::move(p));
    }
    return false;
  }
  return true;
}

void TextRecordStream::BeginRecord(std::uint64_t offset) {
  writer_.clear();
  in_record_ = true;
  record_offset_ = offset;
  record_problems_.clear();
  record_problems_.swap(waiting_);
}

void TextRecordStream::AddProblem(Problem::Kind kind, std::uint64_t offset, std::uint32_t line,
                                  std::uint32_t column, std::string detail) {
  Problem p = MakeProblem(kind, offset);
  p.line = line;
  p.column = column;
  p.detail = std::move(detail);
  quillet::AddProblem(in_record_ ? record_problems_ : waiting_, std::move(p));
}

void TextRecordStream::EndRecord() {
  in_record_ = false;
  Built built;
  if (!spare_.empty()) {
    built = std::move(spare_.back());
    spare_.pop_back();
  }
  built.bytes.clear();
  try {
    writer_.appendTo(built.bytes);
  } catch (const std::length_error& e) {
    Problem p = MakeProblem(Problem::Kind::kUnbuildable, record_offset_);
    p.detail = e.what();
    waiting_.insert(waiting_.end(), record_problems_.begin(), record_problems_.end());
    waiting_.push_back(std::move(p));
    spare_.push_back(std::move(built));
    return;
  }
  built.offset = record_offset_;
  built.problems.swap(record_problems_);
  queue_.push_back(std::move(built));
}

void TextRecordStream::FinishInput() {
  if (finished_) return;
  finished_ = true;
  stray_.insert(stray_.end(), waiting_.begin(), waiting_.end());
  waiting_.clear();
}

bool TextRecordStream::Next(RecordView& rec) {
  while (queue_.empty()) {
    if (finished_ || !Produce()) {
      FinishInput();
      if (queue_.empty()) {
        RecordViewAccess::Reset(rec);
        return false;
      }
    }
  }
  spare_.push_back(std::move(current_));
  current_ = std::move(queue_.front());
  queue_.pop_front();
  RecordViewAccess::Reset(rec);
  for (const Problem& p : current_.problems) RecordViewAccess::AddProblem(rec, p);
  const char* data = current_.bytes.data();
  if (options_.fields) {
    RecordViewAccess::Parse(data, current_.bytes.size(), current_.offset, rec);
  } else {
    RecordViewAccess::SetUnparsed(data, current_.bytes.size(), current_.offset, rec);
  }
  return true;
}

}  // namespace quillet
