// quillet::Reader: records of any input format, each as its ISO 2709 bytes.
#include <istream>
#include <memory>

#include "formats/json_reader.h"
#include "formats/marcxml_reader.h"
#include "formats/mnemonic_reader.h"
#include "io/record_framer.h"
#include "io/stream_source.h"
#include "quillet/view.h"

namespace quillet {

namespace {

// How many bytes of the input tell its format.
constexpr std::size_t kDetectBytes = 512;

std::unique_ptr<RecordStream> TextReader(InputFormat format, std::unique_ptr<ChunkSource> input,
                                         const Reader::Options& options) {
  switch (format) {
    case InputFormat::kMarcXml:
      return std::unique_ptr<RecordStream>(new MarcXmlReader(std::move(input), options));
    case InputFormat::kMnemonic:
      return std::unique_ptr<RecordStream>(new MnemonicReader(std::move(input), options));
    case InputFormat::kJson:
      return std::unique_ptr<RecordStream>(new JsonReader(std::move(input), options));
    case InputFormat::kAuto:
    case InputFormat::kIso2709: break;
  }
  return nullptr;  // not reached: ISO 2709 is the framer's
}

}  // namespace

// Every input is opened by the ISO 2709 framer, which reads gzip data
// through; when the input is in another format, its reader takes the input
// over from the framer. The format is decided when the input is first
// looked at, so opening a reader reads nothing (a FIFO's writer need not be
// there yet).
class Reader::Impl {
 public:
  explicit Impl(const Options& options) : options_(options), framer_(new RecordFramer(options)) {}

  RecordFramer& framer() { return *framer_; }

  RecordStream& stream() {
    if (!decided_) Decide();
    return text_ ? *text_ : static_cast<RecordStream&>(*framer_);
  }

  InputFormat format() {
    if (!decided_) Decide();
    return format_;
  }

  // The framer once the input is known to be ISO 2709, else null: the
  // common case is called without a virtual call, and inlined.
  RecordFramer* iso() const { return iso_; }

 private:
  void Decide() {
    decided_ = true;
    format_ = options_.format;
    if (format_ == InputFormat::kAuto) {
      format_ = detectFormat(framer_->Head(kDetectBytes));
      if (format_ == InputFormat::kAuto) format_ = InputFormat::kIso2709;
    }
    if (format_ == InputFormat::kIso2709) {
      iso_ = framer_.get();
      return;
    }
    Options options = options_;
    if (options.chunk_size == 0) options.chunk_size = 1;
    text_ = TextReader(format_, framer_->TakeInput(), options);
  }

  Options options_;
  std::unique_ptr<RecordFramer> framer_;
  std::unique_ptr<RecordStream> text_;
  RecordFramer* iso_ = nullptr;
  InputFormat format_ = InputFormat::kIso2709;
  bool decided_ = false;
};

Reader::Reader(const std::string& path) : Reader(path, Options()) {}
Reader::Reader(const std::string& path, const Options& options) : impl_(new Impl(options)) {
  impl_->framer().Open(path);
}
Reader::Reader(std::istream& in) : Reader(in, Options()) {}
Reader::Reader(std::istream& in, const Options& options) : impl_(new Impl(options)) {
  impl_->framer().SetChunks(std::unique_ptr<ChunkSource>(new StreamSource(in)));
}
Reader::Reader(const char* data, std::size_t size) : Reader(data, size, Options()) {}
Reader::Reader(const char* data, std::size_t size, const Options& options)
    : impl_(new Impl(options)) {
  impl_->framer().SetMemory(data, data ? size : 0);
}
Reader::~Reader() = default;
Reader::Reader(Reader&& other) noexcept = default;
Reader& Reader::operator=(Reader&& other) noexcept = default;

bool Reader::next(RecordView& rec) {
  if (RecordFramer* framer = impl_->iso()) return framer->RecordFramer::Next(rec);
  return impl_->stream().Next(rec);
}
Span<Problem> Reader::problems() const { return impl_->stream().Problems(); }
std::uint64_t Reader::position() const { return impl_->stream().Position(); }
const std::string& Reader::readError() const { return impl_->stream().ReadError(); }
std::string_view Reader::head(std::size_t n) { return impl_->stream().Head(n); }
InputFormat Reader::format() { return impl_->format(); }

}  // namespace quillet
