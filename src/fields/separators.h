#ifndef QUILLET_FIELDS_SEPARATORS_H_
#define QUILLET_FIELDS_SEPARATORS_H_

namespace quillet {

// Separator bytes of the exchange format.
constexpr char kSubfieldDelimiter = 0x1F;
constexpr char kFieldTerminator = 0x1E;   // also ends the directory
constexpr char kRecordTerminator = 0x1D;  // never examined by the reader

}  // namespace quillet

#endif  // QUILLET_FIELDS_SEPARATORS_H_
