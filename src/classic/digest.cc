#include "common/md5_digest.h"
#include "quillet/quillet.h"

namespace quillet {

// Hashes exactly the record's bytes; with no record held, zero bytes.
void Record::getMD5(unsigned char digest[16]) const { Md5Digest(buffer_, length_, digest); }

}  // namespace quillet
