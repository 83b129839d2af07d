// Every real record file, read as a stream and from memory: whatever the
// damage, only MrcException may come out, and (under AddressSanitizer)
// nothing may be read outside a record.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/expect_mrc.h"
#include "support/agreement.h"
#include "support/record_walk.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

// Parses everything a record has; returns the number of subfields seen.
std::size_t Walk(Record& rec) {
  unsigned char digest[16];
  rec.getMD5(digest);
  try {
    rec.getId();
  } catch (const MrcException&) {
  }
  return quillet_test::WalkRecord(rec).subfields;
}

std::vector<fs::path> CorpusFiles() {
  std::vector<fs::path> files;
  const fs::path dir(QUILLET_CORPUS_DIR);
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() && ext != ".md" && ext != ".tsv") files.push_back(entry.path());
  }
  return files;
}

TEST(Corpus, OnlyMrcExceptionEscapes) {
  const std::vector<fs::path> files = CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  std::size_t records = 0, errors = 0, subfields = 0;
  for (const fs::path& path : files) {
    SCOPED_TRACE(path.string());
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});

    // As a stream: read until the end or the first error that stops it.
    std::istringstream in(bytes);
    Record rec;
    try {
      while (in >> rec) {
        ++records;
        try {
          subfields += Walk(rec);
        } catch (const MrcException&) {
          ++errors;
        }
      }
    } catch (const MrcException&) {
      ++errors;
    }

    // From memory: every offset where a record could start, each copied into
    // a buffer that ends exactly where the file does.
    for (std::size_t offset = 0; offset + 5 <= bytes.size(); ++offset) {
      if (offset != 0 && bytes[offset - 1] != '\x1D') continue;
      const std::size_t size = bytes.size() - offset;
      std::unique_ptr<char[]> exact(new char[size]);
      std::memcpy(exact.get(), bytes.data() + offset, size);
      try {
        Record mem(exact.get(), static_cast<unsigned>(size));
        subfields += Walk(mem);
      } catch (const MrcException&) {
        ++errors;
      }
    }
  }
  std::cout << "[ corpus   ] " << files.size() << " files, " << records << " stream records, "
            << subfields << " subfields, " << errors << " MrcExceptions\n";
  EXPECT_GT(records, 0u);
}

// Every record the classic interface reads from each file agrees with its
// view wherever the views find no problem.
TEST(Corpus, ViewsAgreeWithTheClassicInterface) {
  const std::vector<fs::path> files = CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  std::size_t compared = 0, skipped = 0;
  for (const fs::path& path : files) {
    SCOPED_TRACE(path.string());
    std::ifstream in(path, std::ios::binary);
    Record rec;
    try {
      while (in >> rec) {
        bool agrees = false;
        if (!quillet_test::AgreementApplies(rec, &agrees)) {
          ++skipped;
          continue;
        }
        ++compared;
        EXPECT_TRUE(agrees) << "record at " << in.tellg();
      }
    } catch (const MrcException&) {
    }
  }
  std::cout << "[ corpus   ] " << compared << " records agree, " << skipped
            << " with problems or classic errors\n";
  EXPECT_GT(compared, 0u);
}

}  // namespace
}  // namespace quillet
