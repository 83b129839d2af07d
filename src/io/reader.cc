#include <istream>
#include <memory>

#include "io/record_framer.h"
#include "io/stream_source.h"
#include "quillet/view.h"

namespace quillet {

// The public reader is a handle on a framer.
class Reader::Impl : public RecordFramer {
 public:
  using RecordFramer::RecordFramer;
};

Reader::Reader(const std::string& path) : Reader(path, Options()) {}
Reader::Reader(const std::string& path, const Options& options) : impl_(new Impl(options)) {
  impl_->Open(path);
}
Reader::Reader(std::istream& in) : Reader(in, Options()) {}
Reader::Reader(std::istream& in, const Options& options) : impl_(new Impl(options)) {
  impl_->SetChunks(std::unique_ptr<ChunkSource>(new StreamSource(in)));
}
Reader::Reader(const char* data, std::size_t size) : Reader(data, size, Options()) {}
Reader::Reader(const char* data, std::size_t size, const Options& options)
    : impl_(new Impl(options)) {
  impl_->SetMemory(data, data ? size : 0);
}
Reader::~Reader() = default;
Reader::Reader(Reader&& other) noexcept = default;
Reader& Reader::operator=(Reader&& other) noexcept = default;

bool Reader::next(RecordView& rec) { return impl_->Next(rec); }
Span<Problem> Reader::problems() const { return impl_->Problems(); }
std::uint64_t Reader::position() const { return impl_->Position(); }
const std::string& Reader::readError() const { return impl_->ReadError(); }
std::string_view Reader::head(std::size_t n) { return impl_->Head(n); }

}  // namespace quillet
