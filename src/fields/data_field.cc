#include <memory>

#include "fields/separators.h"
#include "quillet/quillet.h"

namespace quillet {

namespace {

// Room reserved at the first parse; most fields have fewer subfields.
constexpr std::size_t kReservedSubfields = 10;

// Position of the first subfield's first data byte: after the two
// indicators, the opening delimiter and the first code, none of which the
// parser reads.
constexpr unsigned kFirstDataPosition = 4;

}  // namespace

DataField::DataField(const char* data, unsigned int length)
    : Field(data, length), subfields_(new std::vector<Subfield*>) {}

DataField::~DataField() {
  for (Subfield* s : *subfields_) delete s;
  delete subfields_;
}

bool DataField::isControl() const { return false; }

char DataField::getInd1() const { return data_[0]; }

char DataField::getInd2() const { return data_[1]; }

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

unsigned int DataField::getSubfieldsCount() const {
  return static_cast<unsigned int>(subfields_->size());
}

// Scans positions 4 .. length-1. A 0x1F makes the next byte a code (unless
// it is itself a separator, so runs of 0x1F act as one); any other byte
// after a code starts a subfield's data, which runs to the next 0x1F or 0x1E.
// The first 0x1E ends the scan; data still open when the length runs out
// has no terminator and is dropped. Subfields without data are not listed.
void DataField::readSubfields() {
  if (!subfields_->empty()) return;
  subfields_->reserve(kReservedSubfields);
  const unsigned n = length_;
  if (n <= kFirstDataPosition) return;

  const char* const p = data_;
  unsigned pos = kFirstDataPosition;
  bool at_code = false;
  try {
    while (pos < n) {
      const char b = p[pos];
      if (b == kSubfieldDelimiter) {
        at_code = true;
        ++pos;
        continue;
      }
      if (b == kFieldTerminator) return;
      if (at_code) {
        at_code = false;
        ++pos;
        continue;
      }
      unsigned end = pos + 1;
      while (end < n && p[end] != kSubfieldDelimiter && p[end] != kFieldTerminator) ++end;
      if (end == n) return;
      std::unique_ptr<Subfield> s(new Subfield(p + pos, end - pos));
      subfields_->push_back(s.get());
      s.release();
      pos = end;
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
