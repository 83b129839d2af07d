#include "classic/errors.h"
#include "quillet/quillet.h"

namespace quillet {

const char kBytesToIntError[] = "BytesToInt Error";
const char kToAsciiNullError[] = "FieldTag::ToAscii() Error. !pcTag";
const char kUnableToReadLength[] = "Unable to read record length";
const char kUnableToReadRecord[] = "Unable to read record";
const char kInvalidRecordLength[] = "Invalid record length";
const char kInvalidInputParameters[] = "Invalid input parameters";
const char kBufferTooSmall[] = "Buffer size is too small";
const char kLengthBeyondBuffer[] = "Record length longer than buffer size";
const char kInvalidBaseOffset[] = "Invalid base offset";
const char kFieldOutOfBuffer[] = "Field out of buffer.";
const char kMissingField001[] = "Missing field 001";

void ThrowError(const char* message) { throw MrcException(message); }

MrcException::MrcException(const std::string& message) : message_(message) {}

MrcException::MrcException(const MrcException& other) = default;

MrcException& MrcException::operator=(const MrcException& other) = default;

MrcException::~MrcException() = default;

const char* MrcException::what() const noexcept { return message_.c_str(); }

}  // namespace quillet
