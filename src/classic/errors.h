#ifndef QUILLET_CLASSIC_ERRORS_H_
#define QUILLET_CLASSIC_ERRORS_H_

namespace quillet {

// Every message the library throws. Callers compare them byte for byte, so
// they live here once.
extern const char kBytesToIntError[];
extern const char kToAsciiNullError[];
extern const char kUnableToReadLength[];
extern const char kUnableToReadRecord[];
extern const char kInvalidRecordLength[];
extern const char kInvalidInputParameters[];
extern const char kBufferTooSmall[];
extern const char kLengthBeyondBuffer[];
extern const char kInvalidBaseOffset[];
extern const char kFieldOutOfBuffer[];
extern const char kMissingField001[];

// Throws MrcException(message). Out of line so that the hot paths that may
// throw stay small.
[[noreturn]] void ThrowError(const char* message);

}  // namespace quillet

#endif  // QUILLET_CLASSIC_ERRORS_H_
