// Standard Base64 (RFC 4648, with padding, no line breaks) through libcrypto. Pure function;
// safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace velmaris {

std::string base64Encode(std::string_view bytes);

}  // namespace velmaris
