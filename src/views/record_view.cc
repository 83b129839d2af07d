#include "common/md5_digest.h"
#include "quillet/iso2709.h"
#include "quillet/quillet.h"
#include "quillet/view.h"
#include "views/record_view_access.h"

namespace quillet {

RecordView::RecordView(const Record& record) {
  RecordViewAccess::Parse(record.getData(), record.getDatalen(), 0, *this);
}

RecordView RecordView::parse(const char* bytes, std::size_t size) {
  return parse(bytes, size, 0, Span<Problem>(nullptr, nullptr));
}

RecordView RecordView::parse(const char* bytes, std::size_t size, std::uint64_t offset,
                             Span<Problem> framing) {
  RecordView rec;
  if (bytes == nullptr) size = 0;
  rec.problems_.assign(framing.begin(), framing.end());
  RecordViewAccess::Parse(bytes, size, offset, rec);
  return rec;
}

std::string_view RecordView::leader() const { return bytes().substr(0, iso2709::kLeaderLength); }

std::string_view RecordView::controlNumber() const {
  const FieldView* f = field("001");
  return f ? f->data() : std::string_view();
}

void RecordView::md5(unsigned char digest[16]) const { Md5Digest(data_, size_, digest); }

const FieldView* RecordView::field(std::string_view pattern) const {
  for (const FieldView& f : fields_) {
    if (f.matches(pattern)) return &f;
  }
  return nullptr;
}

Span<Problem> RecordView::problems() const {
  RecordViewAccess::CheckContent(*this);
  return Span<Problem>(problems_.data(), problems_.data() + problems_.size());
}

}  // namespace quillet
