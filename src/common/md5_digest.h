#ifndef QUILLET_COMMON_MD5_DIGEST_H_
#define QUILLET_COMMON_MD5_DIGEST_H_

#include <cstddef>

namespace quillet {

constexpr std::size_t kMd5DigestLength = 16;

// Writes the RFC 1321 MD5 digest of `size` bytes at `data` into `digest`.
// `data` may be null when `size` is 0.
void Md5Digest(const void* data, std::size_t size, unsigned char digest[kMd5DigestLength]);

}  // namespace quillet

#endif  // QUILLET_COMMON_MD5_DIGEST_H_
