#ifndef QUILLET_VIEWS_RECORD_PARSER_H_
#define QUILLET_VIEWS_RECORD_PARSER_H_

#include <cstddef>
#include <cstdint>

#include "quillet/view.h"

namespace quillet {

// The value of a Problem whose declared length was not a number.
constexpr std::uint64_t kNotANumber = ~std::uint64_t{0};

// Builds problems with the tag and entry left blank.
Problem MakeProblem(Problem::Kind kind, std::uint64_t offset, std::uint64_t value = 0);

// Takes one framed record apart into a RecordView: leader, directory,
// fields in directory order, and the problems found. Shared by the reader
// and RecordView::parse(), so both follow the same rules.
struct RecordParser {
  // Parses the `size` bytes at `data`, which stand at `offset` in the input,
  // into `rec`. Fields are replaced; problems are appended to those already
  // in `rec` (the reader's framing problems come first). Reads nothing
  // outside [data, data + size).
  static void Parse(const char* data, std::size_t size, std::uint64_t offset, RecordView& rec);

  // Sets the record's bytes and offset only: no fields, and problems()
  // lists the framing problems alone.
  static void Frame(const char* data, std::size_t size, std::uint64_t offset, RecordView& rec) {
    rec.data_ = data;
    rec.size_ = size;
    rec.offset_ = offset;
    rec.fields_.clear();
    rec.content_checked_ = true;
  }

  // Empties `rec` for the next record, keeping the room of its lists.
  static void Reset(RecordView& rec) {
    rec.data_ = nullptr;
    rec.size_ = 0;
    rec.offset_ = 0;
    rec.fields_.clear();
    rec.problems_.clear();
    rec.content_checked_ = false;
  }

  // Adds the problems of the data fields' content to those of `rec`, once.
  static void CheckContent(const RecordView& rec);

  static void AddProblem(RecordView& rec, const Problem& p) { rec.problems_.push_back(p); }

  static FieldView MakeField(const char* tag, std::string_view data, unsigned indicator_count,
                             unsigned code_length) {
    return FieldView(tag, data, indicator_count, code_length);
  }
};

}  // namespace quillet

#endif  // QUILLET_VIEWS_RECORD_PARSER_H_
