// quillet.read(): records framed by the library's reader in batches, with
// the GIL released, from a path, a binary file object or bytes.
#include <pybind11/stl.h>

#include <cerrno>
#include <deque>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <system_error>
#include <utility>

#include "record.h"

namespace quillet_python {

namespace {

// Records framed per batch: enough to make releasing the GIL worth it,
// few enough that the first record comes soon.
constexpr std::size_t kBatchRecords = 256;
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;

// A stream buffer over a Python binary file object. The reader frames with
// the GIL released, so each read() takes the GIL back for the call; an
// exception it raises ends the input and is raised again by the Reader.
// Owned by one Reader; used by one thread at a time.
class PyFileBuf : public std::streambuf {
 public:
  explicit PyFileBuf(py::object file) : read_(file.attr("read")) {}
  ~PyFileBuf() override {
    py::gil_scoped_acquire gil;
    read_ = py::object();
    chunk_ = py::object();
    error_.reset();
  }

  // Raises what read() raised, if it did (with the GIL held).
  void RaiseError() {
    if (error_) {
      std::unique_ptr<py::error_already_set> e = std::move(error_);
      throw *e;
    }
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    py::gil_scoped_acquire gil;
    if (error_) return traits_type::eof();
    try {
      chunk_ = read_(kChunk);
      if (chunk_.is_none()) return traits_type::eof();  // non-blocking, nothing yet
      if (!PyBytes_Check(chunk_.ptr()) && PyObject_CheckBuffer(chunk_.ptr())) {
        chunk_ = py::reinterpret_steal<py::object>(PyBytes_FromObject(chunk_.ptr()));
        if (!chunk_) throw py::error_already_set();
      }
      if (!PyBytes_Check(chunk_.ptr())) {
        throw py::type_error("the file must be opened in binary mode ('rb'): read() returned " +
                             std::string(py::str(py::type::of(chunk_).attr("__name__"))));
      }
      char* data = PyBytes_AS_STRING(chunk_.ptr());
      const Py_ssize_t size = PyBytes_GET_SIZE(chunk_.ptr());
      if (size == 0) return traits_type::eof();
      setg(data, data, data + size);
      return traits_type::to_int_type(*data);
    } catch (py::error_already_set& e) {
      error_.reset(new py::error_already_set(std::move(e)));
    } catch (const py::builtin_exception& e) {
      e.set_error();
      error_.reset(new py::error_already_set());
    }
    return traits_type::eof();
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{256} << 10;
  py::object read_;
  py::object chunk_;  // the bytes get() reads from
  std::unique_ptr<py::error_already_set> error_;
};

// The iterator quillet.read() returns. Holds what it reads from. Python
// threads may share it, one next() at a time: a second one while the first
// frames (without the GIL) raises.
class Reader {
 public:
  Reader(py::object source, const std::string& charset, bool raw, bool nfc, bool strict,
         std::uint64_t start, const std::string& format)
      : text_(MakeTextOptions(charset, raw, nfc)), start_(start) {
    quillet::Reader::Options options;
    options.strict = strict;
    if (!quillet::parseInputFormat(format, &options.format)) {
      throw py::value_error("unknown input format \"" + format +
                            "\": use \"auto\", \"marc\", \"xml\", \"json\" or \"mrk\"");
    }
    options.fields = false;  // each record is parsed over its own copy
    py::module_ os = py::module_::import("os");
    if (py::isinstance<py::str>(source) || py::isinstance(source, os.attr("PathLike"))) {
      name_ = py::str(os.attr("fspath")(source));
      try {
        reader_.reset(new quillet::Reader(name_, options));
      } catch (const std::system_error& e) {
        errno = e.code().value();
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, name_.c_str());
        throw py::error_already_set();
      }
    } else if (py::isinstance<py::bytes>(source)) {
      keep_ = source;
      name_ = "<bytes>";
      reader_.reset(new quillet::Reader(PyBytes_AS_STRING(source.ptr()),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(source.ptr())),
                                        options));
    } else if (py::isinstance<py::bytearray>(source) || py::isinstance<py::memoryview>(source)) {
      // A copy: the buffer may change while records still point into it.
      copy_ =
          py::reinterpret_steal<py::bytes>(PyBytes_FromObject(source.ptr())).cast<std::string>();
      name_ = "<bytes>";
      reader_.reset(new quillet::Reader(copy_.data(), copy_.size(), options));
    } else if (py::hasattr(source, "read")) {
      name_ = py::hasattr(source, "name") ? std::string(py::str(source.attr("name"))) : "<file>";
      buf_.reset(new PyFileBuf(source));
      stream_.reset(new std::istream(buf_.get()));
      reader_.reset(new quillet::Reader(*stream_, options));
    } else {
      throw py::type_error("quillet.read() takes a path, a binary file object or bytes, not " +
                           std::string(py::str(py::type::of(source).attr("__name__"))));
    }
    // Input of no format known, or asked for as ISO 2709 and looking like
    // another, is refused in the tool's words.
    head_.assign(reader_->head(32));  // for the words if it holds no record
    // A file object whose read() raised before giving anything raises now;
    // one that gave bytes first has its records read, and raises after them.
    if (buf_ && head_.empty()) buf_->RaiseError();
    if (reader_->format() == quillet::InputFormat::kIso2709) {
      const std::string reason = quillet::nonIso2709Reason(reader_->head(512));
      if (!reason.empty()) throw py::value_error(name_ + ": " + reason);
    }
  }

  py::object Next() {
    // Framing runs without the GIL, so another Python thread could come in
    // while it does; as with a generator, that is refused.
    if (busy_) throw py::value_error("the reader is already reading in another thread");
    if (batch_.empty() && !done_) {
      busy_ = true;
      try {
        Fill();
      } catch (...) {
        busy_ = false;
        throw;
      }
      busy_ = false;
    }
    if (batch_.empty()) {
      if (buf_) buf_->RaiseError();
      for (const quillet::Problem& p : reader_->problems()) {
        if (p.kind == quillet::Problem::Kind::kReadError) {
          PyErr_SetString(PyExc_OSError, (name_ + ": " + reader_->readError()).c_str());
          throw py::error_already_set();
        }
      }
      // Bytes and no record: the input is not of the format read. Only for
      // an input from its start: a block cut out of a file may hold none.
      if (given_ == 0 && start_ == 0 && reader_->position() > 0 && !told_) {
        told_ = true;
        throw py::value_error(name_ + ": " + quillet::noRecordMessage(reader_->format(), head_));
      }
      throw py::stop_iteration();
    }
    py::object r = NewRecord(std::move(batch_.front()));
    batch_.pop_front();
    ++given_;
    return r;
  }

  // What belongs to no record: junk after the last one, a read error. Not
  // while another thread frames: the list may be growing.
  std::vector<PyProblem> Problems() const {
    if (busy_) throw py::value_error("the reader is reading in another thread; ask after it");
    std::vector<PyProblem> out;
    for (quillet::Problem p : reader_->problems()) {
      p.offset += start_;
      out.push_back(MakeProblem(p));
    }
    return out;
  }

 private:
  void Fill() {
    py::gil_scoped_release release;
    quillet::RecordView rec;
    std::vector<quillet::Problem> framing;
    std::size_t bytes = 0;
    while (batch_.size() < kBatchRecords && bytes < kBatchBytes) {
      if (!reader_->next(rec)) {
        done_ = true;
        break;
      }
      const std::string_view b = rec.bytes();
      framing.assign(rec.problems().begin(), rec.problems().end());
      for (quillet::Problem& p : framing) p.offset += start_;
      batch_.push_back(std::make_shared<const RecordData>(
          b.data(), b.size(), rec.offset() + start_,
          quillet::Span<quillet::Problem>(framing.data(), framing.data() + framing.size()), text_));
      bytes += b.size();
    }
  }

  quillet::TextOptions text_;
  std::uint64_t start_;  // added to every offset
  std::string name_;
  py::object keep_;   // the bytes read from
  std::string copy_;  // a copy of a mutable buffer read from
  std::unique_ptr<PyFileBuf> buf_;
  std::unique_ptr<std::istream> stream_;
  std::unique_ptr<quillet::Reader> reader_;
  std::deque<std::shared_ptr<const RecordData>> batch_;
  std::string head_;         // the input's first bytes
  std::uint64_t given_ = 0;  // records handed out
  bool told_ = false;        // that the input holds no record
  bool done_ = false;
  bool busy_ = false;  // framing a batch; read and written with the GIL held
};

}  // namespace

void BindReader(py::module_& m) {
  py::class_<Reader>(m, "Reader", R"(Records of an input, in file order (see quillet.read()).

After the last record, ``problems`` lists what belongs to no record, such as
bytes after it that are no record.)")
      .def(py::init<py::object, const std::string&, bool, bool, bool, std::uint64_t,
                    const std::string&>(),
           py::arg("source"), py::kw_only(), py::arg("charset") = "auto", py::arg("raw") = false,
           py::arg("nfc") = false, py::arg("strict") = false, py::arg("start") = 0,
           py::arg("format") = "auto")
      .def("__iter__", [](Reader& r) -> Reader& { return r; })
      .def("__next__", &Reader::Next)
      .def_property_readonly("problems", &Reader::Problems);
}

}  // namespace quillet_python
