#include "common/md5_digest.h"

#include <md5.h>

namespace quillet {

static_assert(MD5_DIGEST_LENGTH == kMd5DigestLength, "MD5 digests are 16 bytes");

void Md5Digest(const void* data, std::size_t size, unsigned char digest[kMd5DigestLength]) {
  MD5_CTX context;
  MD5Init(&context);
  if (size != 0) MD5Update(&context, static_cast<const uint8_t*>(data), size);
  MD5Final(digest, &context);
}

}  // namespace quillet
