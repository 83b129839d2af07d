#ifndef QUILLET_TESTS_SUPPORT_MRK_READER_H_
#define QUILLET_TESTS_SUPPORT_MRK_READER_H_

// Reads the mnemonic text form of records (=LDR / =TAG lines, records
// separated by blank lines) and builds each record with the record builder.

#include <istream>
#include <string>
#include <vector>

namespace quillet_test {

// Every record of the text, built; throws std::runtime_error with the line
// number on a malformed line. The leader's length and base address are
// computed, whatever the text says.
std::vector<std::string> CompileMrk(std::istream& in);

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_MRK_READER_H_
