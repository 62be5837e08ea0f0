// EVP_EncodeBlock writes whole groups with padding and no line breaks, which is exactly the
// standard form; the output length is known in advance, so one allocation suffices.
#include "common/base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace velmaris {

std::string base64Encode(std::string_view bytes) {
  if (bytes.empty()) return {};
  // Room for the terminating NUL that every call writes after its output.
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  // One call takes an int length; larger inputs go in slices of whole groups.
  constexpr std::size_t slice = 3 * (1u << 28);
  std::size_t written = 0;
  for (std::size_t done = 0; done < bytes.size(); done += slice) {
    const std::size_t n = std::min(slice, bytes.size() - done);
    written += std::size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                           reinterpret_cast<const unsigned char*>(bytes.data() + done),
                                           int(n)));
  }
  out.resize(written);
  return out;
}

}  // namespace velmaris
