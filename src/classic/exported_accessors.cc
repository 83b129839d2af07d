// The accessors the public header defines inline are part of the library's
// interface too: taking their addresses here makes the library carry an
// exported copy of each, for callers that link to them rather than inline
// them (another language's bindings, a debugger).
#include "quillet/quillet.h"

namespace quillet {
namespace {

struct ExportedAccessors {
  char (Subfield::*subfield_code)() const;
  const char* (Subfield::*subfield_data)() const;
  unsigned int (Subfield::*subfield_datalen)() const;
  const char* (ControlField::*control_data)() const;
  unsigned int (ControlField::*control_datalen)() const;
  char (DataField::*ind1)() const;
  char (DataField::*ind2)() const;
  unsigned int (DataField::*subfields_count)() const;
  const char* (Record::*record_data)() const;
  const char* (Record::*leader)() const;
  int (Record::*leader_length)() const;
  unsigned (Record::*record_datalen)() const;
};

[[gnu::used]] const ExportedAccessors kExportedAccessors = {
    &Subfield::getCode,        &Subfield::getData,
    &Subfield::getDatalen,     &ControlField::getData,
    &ControlField::getDatalen, &DataField::getInd1,
    &DataField::getInd2,       &DataField::getSubfieldsCount,
    &Record::getData,          &Record::getLeader,
    &Record::getLeaderLength,  &Record::getDatalen,
};

}  // namespace
}  // namespace quillet
