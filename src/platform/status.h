// Statuses of the accessibility platform. Every backend answers with these values and
// the meanings the helper gives them; nothing else crosses the platform seam as an error.
#pragma once

#include <cstdint>

namespace velmaris::platform {

using AXError = std::int32_t;

inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
// The process takes no part in accessibility at all (as against -25204: it does, but did
// not answer in time).
inline constexpr AXError kAXErrorNotImplemented = -25208;
inline constexpr AXError kAXErrorNoValue = -25212;

}  // namespace velmaris::platform
