#ifndef QUILLET_FORMATS_MNEMONIC_READER_H_
#define QUILLET_FORMATS_MNEMONIC_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "formats/text_record_stream.h"

namespace quillet {

// Reads mnemonic text as writeMnemonic() writes it: a record is an =LDR
// line and one =TAG line per field, records are separated by blank lines
// (or start at the next =LDR); control fields and indicators write blanks
// as '\'; '$' opens a subfield, "$$" is a delimiter without a code; {0xHH},
// {lcub}, {rcub}, {dollar} and {bsol} stand for the bytes they name. The
// bytes of the text are the record's (UTF-8 when it was written decoded:
// the leader then says so). What cannot be read as it stands is reported
// with its line and column, and the rest of the record is kept.
//
// Owns its input; one thread at a time.
class MnemonicReader : public TextRecordStream {
 public:
  using TextRecordStream::TextRecordStream;

 protected:
  bool Produce() override;

 private:
  // One line, without its line end, that starts at `offset`.
  void Line(std::string_view line, std::uint64_t offset);
  void Leader(std::string_view text, std::uint64_t offset);
  void Field(std::string_view line, std::uint64_t offset);
  void Report(Problem::Kind kind, std::uint64_t offset, std::size_t column, std::string detail);

  std::string buffer_;               // input not yet parsed: a line cut by the chunk's end
  std::uint64_t buffer_offset_ = 0;  // where buffer_ starts in the input
  std::uint32_t line_ = 0;           // the number of the line being parsed
  unsigned indicators_ = 2;          // the indicator count the leader states
  unsigned code_length_ = 2;         // the subfield code length it states, delimiter included
  std::string content_;              // the field being built
};

}  // namespace quillet

#endif  // QUILLET_FORMATS_MNEMONIC_READER_H_
