// Random (version 4) UUIDs in their canonical lower-case text form: 36 characters,
// hexadecimal groups of 8, 4, 4, 4 and 12 joined by hyphens. Safe from any thread.
#pragma once

#include <string>

namespace velmaris {

std::string randomUUID();

}  // namespace velmaris
