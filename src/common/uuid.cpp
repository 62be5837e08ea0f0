// Random UUIDs from libuuid, drawn from the kernel's random source and rendered in lower
// case. No state of ours; libuuid is safe from any thread.
#include "common/uuid.h"

#include <uuid/uuid.h>

namespace velmaris {

std::string randomUUID() {
  uuid_t raw;
  uuid_generate_random(raw);
  char text[37];
  uuid_unparse_lower(raw, text);
  return std::string(text, 36);
}

}  // namespace velmaris
