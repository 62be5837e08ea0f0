// One tool call as exactly one helper request: the arguments become the request's members,
// the tool's name its method, and the request goes through the same entry point as a line
// of velmaris-gui (deadline, checks, refusals, response limits). The helper's answer then
// becomes a tool result. Runs on the request thread, like the helper.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace velmaris::gui {
class AXHelper;
}

namespace velmaris::mcp {

using Json = nlohmann::json;

// The helper's request for a call of tool `name` with `arguments` (an object).
Json helperRequest(const std::string& name, const Json& arguments);

// The tool result for one helper response envelope ({"id", "result"} or {"error", "id"}):
// the result object as structured content and as its JSON text, a window image moved out
// into image content; a refusal as an error result whose structured content is
// {"error": {"code", ...}}.
Json toolResult(Json response);

// Serves one call through `helper` and returns its tool result.
Json callTool(gui::AXHelper& helper, const std::string& name, const Json& arguments);

}  // namespace velmaris::mcp
