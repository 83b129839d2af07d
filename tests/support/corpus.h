#ifndef QUILLET_TESTS_SUPPORT_CORPUS_H_
#define QUILLET_TESTS_SUPPORT_CORPUS_H_

// The real record files tests read when the corpus folder sits beside the
// checkout.

#include <filesystem>
#include <string>
#include <vector>

namespace quillet_test {

// Every record file below `dir` (not its README or manifest), in a stable
// order; none when `dir` is not there.
std::vector<std::filesystem::path> CorpusFiles(const std::string& dir);

// The whole content of the file at `path`.
std::string ReadFile(const std::filesystem::path& path);

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_CORPUS_H_
