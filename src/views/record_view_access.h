#ifndef QUILLET_VIEWS_RECORD_VIEW_ACCESS_H_
#define QUILLET_VIEWS_RECORD_VIEW_ACCESS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillet/view.h"

namespace quillet {

// The library's door to the private parts of RecordView and FieldView: the
// framer, the record parser and RecordView's own members fill records
// through it, so the public header names one friend. Static functions
// only; each touches the record it is given and nothing else.
struct RecordViewAccess {
  // Parses the `size` bytes at `data`, which stand at `offset` in the input,
  // into `rec`: fields in directory order, and problems appended to those
  // already in `rec` (the framer's come first). Reads nothing outside
  // [data, data + size). Shared by the framer and RecordView::parse(), so
  // both follow the same rules.
  static void Parse(const char* data, std::size_t size, std::uint64_t offset, RecordView& rec);

  // Sets the record's bytes and offset and parses nothing: no fields, and
  // problems() lists the framing problems alone (Reader::Options::fields
  // = false).
  static void SetUnparsed(const char* data, std::size_t size, std::uint64_t offset,
                          RecordView& rec) {
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

#endif  // QUILLET_VIEWS_RECORD_VIEW_ACCESS_H_
