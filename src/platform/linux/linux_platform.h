// Builds the backends the product runs on: AT-SPI over D-Bus, /proc and the X display.
// Building never fails and never prints; an unreachable bus only makes trust read false.
#pragma once

#include "platform/platform.h"

namespace velmaris::platform {

Platform makeLinuxPlatform();

}  // namespace velmaris::platform
