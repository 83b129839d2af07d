// quillet-dump's reading and formatting, in every mode and format, from
// memory and from a stream; the first byte chooses the options.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "dump.h"

namespace {

// Discards what it is given: the fuzzer only cares that formatting runs.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class NullOutput : public quillet_dump::Output {
 public:
  void Write(const char*, std::size_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t choice = data[0];
  ++data;
  --size;

  quillet_dump::Options options;
  options.mode = static_cast<quillet_dump::Mode>(choice & 3);
  options.format = static_cast<quillet::Format>((choice >> 2) % 5);
  if (choice & 0x10) options.strict = true;
  if (choice & 0x20) options.filter = quillet::TagFilter({"245", "00X", "6.."});
  if (choice & 0x40) options.offset = 1;
  if (choice & 0x80) options.limit = 2;

  NullBuffer null;
  std::ostream err(&null);
  NullOutput out;
  quillet_dump::Dumper dumper(options, out, err);
  // An exact copy, so that reading past the input is an overflow.
  std::unique_ptr<char[]> exact(new char[size]);
  if (size) std::memcpy(exact.get(), data, size);
  quillet::Reader from_memory(exact.get(), size);
  dumper.Dump("fuzz", from_memory);

  std::istringstream in(std::string(exact.get(), size));
  quillet::Reader from_stream(in);
  dumper.Dump("<stdin>", from_stream);
  return 0;
}
