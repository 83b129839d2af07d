#ifndef QUILLET_VIEWS_RECORD_PARSER_H_
#define QUILLET_VIEWS_RECORD_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillet/view.h"

namespace quillet {

// Takes one framed record apart: leader, directory, fields in directory
// order, and the problems found in them. Directories that cannot address
// their fields are repaired by cutting the data at field terminators.
//
// Made for one Run() over one record; holds pointers into the record's
// bytes and references to the lists it fills, which must outlive it. One
// thread at a time.
class RecordParser {
 public:
  // Will parse the `size` bytes at `data`, which stand at `offset` in the
  // input. Run() replaces nothing: `fields` must be empty; problems are
  // appended.
  RecordParser(const char* data, std::size_t size, std::uint64_t offset,
               std::vector<FieldView>& fields, std::vector<Problem>& problems)
      : p_(data), size_(size), offset_(offset), fields_(fields), problems_(problems) {}

  // Reads nothing outside [data, data + size).
  void Run();

 private:
  const char* Entry(std::size_t i) const;
  void Report(Problem::Kind kind, std::size_t at, std::int32_t entry, const char* tag,
              std::uint64_t value = 0);
  bool FindBase();
  bool Decode(std::size_t i, std::size_t* start, std::size_t* length) const;
  void Add(const char* tag, std::size_t from, std::size_t to);
  bool ByDirectory();
  std::size_t Segments() const;
  void BySplitting();
  void ByGoodEntries(bool add);

  const char* const p_;
  const std::size_t size_;
  const std::uint64_t offset_;
  std::vector<FieldView>& fields_;
  std::vector<Problem>& problems_;
  unsigned indicators_ = 2;
  unsigned code_length_ = 2;
  std::size_t data_end_ = 0;  // the record terminator, or the end
  std::size_t base_ = 0;
  std::size_t entries_ = 0;
};

}  // namespace quillet

#endif  // QUILLET_VIEWS_RECORD_PARSER_H_
