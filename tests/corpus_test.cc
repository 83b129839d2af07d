// Every real record file, read as a stream and from memory: whatever the
// damage, only MrcException may come out, and (under AddressSanitizer)
// nothing may be read outside a record.
#include "support/corpus.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "quillet/marc8.h"
#include "support/agreement.h"
#include "support/expect_mrc.h"
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

std::vector<fs::path> CorpusFiles() { return quillet_test::CorpusFiles(QUILLET_CORPUS_DIR); }

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

// Characters of MARC-8 text: bytes, escape sequences left out (an unknown
// one stands for one replacement character), three-byte East Asian
// characters counted once.
std::size_t Marc8Characters(std::string_view text, bool* g0_wide, bool* g1_wide) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b == 0x1B) {
      std::size_t j = i + 1;
      while (j < text.size() && text[j] >= 0x20 && text[j] <= 0x2F) ++j;
      if (j == text.size()) return n + 1;
      const std::string_view inter = text.substr(i + 1, j - i - 1);
      const char f = text[j];
      const bool wide = !inter.empty() && inter[0] == '$';
      const bool known = inter.empty() ? std::string_view("gbps").find(f) != std::string_view::npos
                         : wide        ? f == '1'
                                : std::string_view("BEgbp2NQ34S").find(f) != std::string_view::npos;
      if (known) {
        (inter.find_first_of(")-") != std::string_view::npos ? *g1_wide : *g0_wide) = wide;
      } else {
        ++n;
      }
      i = j + 1;
      continue;
    }
    const bool wide = b > 0x20 && (b < 0x80 ? *g0_wide : (*g1_wide && b >= 0xA1));
    i += wide ? 3 : 1;
    ++n;
  }
  return n;
}

// Every MARC-8 text of the corpus decodes to well-formed UTF-8 with one
// character for each MARC-8 character: nothing is dropped.
TEST(Corpus, Marc8TextDecodesCharacterForCharacter) {
  const std::vector<fs::path> files = CorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no record corpus at " << QUILLET_CORPUS_DIR;
  std::size_t texts = 0;
  Marc8Decoder decoder;
  std::string out;
  for (const fs::path& path : files) {
    SCOPED_TRACE(path.string());
    Reader reader(path.string());
    RecordView rec;
    while (reader.next(rec)) {
      if (guessEncoding(rec).encoding != Encoding::kMarc8) continue;
      for (const FieldView& f : rec.fields()) {
        decoder.reset();
        bool g0_wide = false, g1_wide = false;
        std::vector<std::string_view> values;
        if (f.isControl()) values.push_back(f.data());
        for (const SubfieldView& s : f.subfields()) values.push_back(s.value());
        for (std::string_view value : values) {
          out.clear();
          decoder.decode(value, out);
          ++texts;
          ASSERT_TRUE(isUtf8(out)) << "record at " << rec.offset();
          const std::size_t chars =
              static_cast<std::size_t>(std::count_if(out.begin(), out.end(), [](char c) {
                return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
              }));
          EXPECT_EQ(Marc8Characters(value, &g0_wide, &g1_wide), chars)
              << "record at " << rec.offset();
        }
      }
    }
  }
  std::cout << "[ corpus   ] " << texts << " MARC-8 texts decoded\n";
  EXPECT_GT(texts, 0u);
}

}  // namespace
}  // namespace quillet
