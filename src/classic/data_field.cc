#include <memory>

#include "classic/object_pool.h"
#include "common/find_separator.h"
#include "quillet/iso2709.h"
#include "quillet/quillet.h"

namespace quillet {

using iso2709::kFieldTerminator;

namespace {

// Room reserved at the first parse; most fields have fewer subfields.
constexpr std::size_t kReservedSubfields = 10;

// Position of the first subfield's first data byte: after the two
// indicators, the opening delimiter and the first code, none of which the
// parser reads.
constexpr unsigned kFirstDataPosition = 4;

}  // namespace

DataField::DataField(const char* data, unsigned int length)
    : Field(data, length), subfields_(NewSubfieldList()) {}

DataField::~DataField() {
  clear();
  DeleteSubfieldList(subfields_);
}

bool DataField::isControl() const { return false; }

DataField::const_iterator DataField::getSFListBegin() {
  readSubfields();
  return subfields_->cbegin();
}

DataField::const_iterator DataField::getSFListEnd() {
  readSubfields();
  return subfields_->cend();
}

DataField::const_iterator DataField::getSubfield(char code, const_iterator from) {
  readSubfields();
  const const_iterator end = subfields_->cend();
  for (; from != end; ++from) {
    if ((*from)->getCode() == code) break;
  }
  return from;
}

// Scans positions 4 .. length-1 from separator to separator. Data runs from
// two bytes after a delimiter (past the code) up to the next separator, and
// from position 4 for the first subfield; runs of no bytes (a code right
// before a separator, repeated delimiters, a code that is itself a
// separator) are not listed. The first 0x1E ends the scan; data still open
// when the length runs out has no terminator and is dropped.
void DataField::readSubfields() {
  if (!subfields_->empty()) return;
  subfields_->reserve(kReservedSubfields);
  const unsigned n = length_;
  if (n <= kFirstDataPosition) return;

  const char* const p = data_;
  unsigned start = kFirstDataPosition;  // where the current subfield's data begins
  unsigned from = kFirstDataPosition;   // where the search for the next separator begins
  try {
    while (from < n) {
      const unsigned at = static_cast<unsigned>(FindSeparator(p, p + from, p + n) - p);
      if (at == n) return;
      if (start < at) {
        std::unique_ptr<Subfield> s(new Subfield(p + start, at - start));
        subfields_->push_back(s.get());
        s.release();
      }
      if (p[at] == kFieldTerminator) return;
      start = at + 2;
      from = at + 1;
    }
  } catch (...) {
    // Out of memory: leave the field unparsed rather than with a list that
    // later calls would take for complete.
    clear();
    throw;
  }
}

void DataField::clear() {
  for (Subfield* s : *subfields_) delete s;
  subfields_->clear();
}

}  // namespace quillet
