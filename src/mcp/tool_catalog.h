// The tools velmaris-mcp offers: one per helper method, named as the method, each with the
// input schema of the members that method takes (kinds and limits as the dispatcher checks
// them) and a description an agent can act on. Immutable after first use; any thread.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

namespace velmaris::mcp {

using Json = nlohmann::json;

// The "tools" array of a tools/list result, in a fixed order.
const Json& toolList();

bool isTool(std::string_view name);

}  // namespace velmaris::mcp
