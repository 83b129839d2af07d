// mrk2mrc [IN.mrk [OUT.mrc]]: builds ISO 2709 records from mnemonic text,
// the form quillet-dump prints by default, through the library's mnemonic
// reader. "-" or nothing is standard input and output. What cannot be read
// as it stands is reported with its line and the run goes on.
#include <quillet/view.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

namespace {

constexpr int kExitClean = 0;
constexpr int kExitProblems = 1;
constexpr int kExitFailure = 2;

const char kUsage[] =
    "Usage: mrk2mrc [IN.mrk [OUT.mrc]]\n"
    "Builds ISO 2709 records from mnemonic text (=LDR, =245  10$a...), the form\n"
    "quillet-dump prints by default. IN and OUT default to standard input and\n"
    "output (also as -). Lengths, base address and directory are computed; what\n"
    "the text holds that cannot be read as it stands is reported with its line.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 clean, 1 some text reported and repaired or skipped, 2 failure.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::string in = argc > 1 ? argv[1] : "-";
  const std::string out = argc > 2 ? argv[2] : "-";
  if (in == "-h" || in == "--help") {
    std::cout << kUsage;
    return kExitClean;
  }
  if (in == "--version") {
    std::cout << "mrk2mrc " << QUILLET_VERSION << '\n';
    return kExitClean;
  }
  if (argc > 3 || (!in.empty() && in[0] == '-' && in != "-")) {
    std::cerr << kUsage;
    return kExitFailure;
  }
  quillet::Reader::Options options;
  options.format = quillet::InputFormat::kMnemonic;
  // The records are not taken apart: what is reported is what was found in
  // the text, not damage the records faithfully carry over.
  options.fields = false;
  std::unique_ptr<quillet::Reader> reader;
  try {
    reader.reset(new quillet::Reader(in == "-" ? "/dev/stdin" : in, options));
  } catch (const std::system_error& e) {
    std::cerr << "mrk2mrc: cannot open " << in << ": " << std::strerror(e.code().value()) << '\n';
    return kExitFailure;
  }
  std::FILE* file = out == "-" ? stdout : std::fopen(out.c_str(), "wb");
  if (file == nullptr) {
    std::cerr << "mrk2mrc: cannot open " << out << ": " << std::strerror(errno) << '\n';
    return kExitFailure;
  }
  bool problems = false;
  auto report = [&](const std::string& where, const quillet::Problem& p) {
    problems = true;
    std::cerr << "mrk2mrc: " << in << ": " << where << p.describe() << '\n';
  };
  quillet::RecordView rec;
  std::uint64_t n = 0;
  while (reader->next(rec)) {
    ++n;
    for (const quillet::Problem& p : rec.problems()) {
      report("record " + std::to_string(n) + ": ", p);
    }
    const std::string_view bytes = rec.bytes();
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) break;
  }
  for (const quillet::Problem& p : reader->problems()) report("", p);
  // Written only when flushed and closed: a full disk shows there.
  const bool written = std::ferror(file) == 0 && std::fflush(file) == 0;
  const int error = errno;
  if ((file != stdout ? std::fclose(file) : 0) != 0 || !written) {
    std::cerr << "mrk2mrc: cannot write " << out << ": " << std::strerror(written ? errno : error)
              << '\n';
    return kExitFailure;
  }
  return problems ? kExitProblems : kExitClean;
}
