// SHA-256 of a byte string (FIPS 180-4), through libcrypto: the fingerprints the helper
// keeps of element values and identities. Pure function; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace velmaris {

// The 32-byte digest of `bytes`, as raw bytes.
std::string sha256(std::string_view bytes);

}  // namespace velmaris
