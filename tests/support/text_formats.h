#ifndef QUILLET_TESTS_SUPPORT_TEXT_FORMATS_H_
#define QUILLET_TESTS_SUPPORT_TEXT_FORMATS_H_

// Writing records in the text formats and reading them back, for the tests
// of the readers: what a writer writes must read back as the same record.

#include <quillet/formats.h>
#include <quillet/text.h>
#include <quillet/view.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quillet_test {

// The records of some input, each as its bytes, and every problem
// described ("record N: ..." for record N from 1, "none: ..." for the
// reader's own).
struct Read {
  std::vector<std::string> records;
  std::vector<std::string> problems;
};

// The records of `text` read as `format` in chunks of `chunk` bytes, from an
// exact copy of it.
Read ReadAll(const std::string& text, quillet::InputFormat format, std::size_t chunk = 1 << 16);

// `records` written in `format` through a RecordText of `charset`.
std::string WriteAll(const std::vector<std::string>& records, quillet::Format format,
                     quillet::Charset charset);

// The record as the record writer builds it from its leader and fields:
// the same bytes for a record whose fields' data stand in directory order.
std::string Rebuilt(const std::string& bytes);

// Whether the leader and every tag, indicator and subfield code of the
// record is ASCII: other bytes cannot be written as UTF-8 text one byte each.
bool PlainCodes(const quillet::RecordView& rec);

// Whether leader/10-11 read as two indicators and one-byte codes, as they
// do when they are `22` or no digits: the shape the ISO 2709 writer gives
// every record it writes anew.
bool TwoIndicatorsOneByteCodes(const quillet::RecordView& rec);

// Reads every real file below `dir`; its well-formed records (no problem,
// PlainCodes(), nothing `format` has no room for) are written in `format`,
// read back as `input`, and compared with what they must be: the same
// fields as read when written raw (for JSON, the records that are UTF-8),
// the record the ISO 2709 writer converts when written decoded. Returns one line
// per record that differs (empty when all agree), and in `*compared` how
// many records were compared (0 when there is no corpus).
std::vector<std::string> RoundTripCorpus(const std::string& dir, quillet::Format format,
                                         quillet::InputFormat input, std::size_t* compared);

}  // namespace quillet_test

#endif  // QUILLET_TESTS_SUPPORT_TEXT_FORMATS_H_
