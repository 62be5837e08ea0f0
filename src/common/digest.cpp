// SHA-256 through libcrypto's one-shot EVP digest; no state is kept between calls, so it is
// safe from any thread.
#include "common/digest.h"

#include <openssl/evp.h>

#include <new>

namespace velmaris {

std::string sha256(std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  // EVP_Digest fails only when the library cannot allocate.
  if (EVP_Digest(bytes.data(), bytes.size(), out, &length, EVP_sha256(), nullptr) != 1 ||
      length != 32)
    throw std::bad_alloc();
  return std::string(reinterpret_cast<const char*>(out), length);
}

}  // namespace velmaris
