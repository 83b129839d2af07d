#ifndef QUILLET_RECORD_RECORD_LAYOUT_H_
#define QUILLET_RECORD_RECORD_LAYOUT_H_

namespace quillet {

// Fixed positions and widths of the record label (leader) and directory.
constexpr unsigned kLeaderLength = 24;
constexpr unsigned kRecordLengthWidth = 5;
constexpr unsigned kMinRecordLength = 25;
constexpr unsigned kMaxRecordLength = 99999;
constexpr int kBaseAddressOffset = 12;
constexpr unsigned kBaseAddressWidth = 5;
constexpr unsigned kDirectoryEntryLength = 12;
constexpr unsigned kTagWidth = 3;
constexpr unsigned kFieldLengthWidth = 4;
constexpr unsigned kStartPositionWidth = 5;
constexpr unsigned kMinDataFieldLength = 4;  // two indicators, a delimiter, a terminator

// Extra room given to a stream buffer when it grows, so that a run of
// records of similar length reuses it.
constexpr unsigned kBufferHeadroom = 1000;

}  // namespace quillet

#endif  // QUILLET_RECORD_RECORD_LAYOUT_H_
