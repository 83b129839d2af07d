#include "views/record_view_access.h"

#include "views/content_check.h"
#include "views/record_parser.h"

namespace quillet {

void RecordViewAccess::Parse(const char* data, std::size_t size, std::uint64_t offset,
                             RecordView& rec) {
  rec.data_ = data;
  rec.size_ = size;
  rec.offset_ = offset;
  rec.fields_.clear();
  ParseRecord(data, size, offset, rec.fields_, rec.problems_);
}

void RecordViewAccess::CheckContent(const RecordView& rec) {
  if (rec.content_checked_) return;
  rec.content_checked_ = true;
  ContentCheck check(rec.data_, rec.size_, rec.offset_, rec.problems_);
  for (const FieldView& f : rec.fields_) check.Field(f);
  // Framing, directory and content problems were found in that order; they
  // are listed in the input's.
  // An insertion sort: the lists are short, and std::stable_sort would
  // allocate a buffer.
  std::vector<Problem>& list = rec.problems_;
  for (std::size_t i = 1; i < list.size(); ++i) {
    const Problem p = list[i];
    std::size_t j = i;
    for (; j > 0 && list[j - 1].offset > p.offset; --j) list[j] = list[j - 1];
    list[j] = p;
  }
}

}  // namespace quillet
