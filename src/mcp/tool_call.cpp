// The tool call's way through the helper. The response is taken from the line the
// helper's response writer produced, so the response size limits and the fallbacks of
// velmaris-gui apply unchanged; that line is then read back into the tool result.
#include "mcp/tool_call.h"

#include <algorithm>

#include "common/json_writer.h"
#include "gui/ax_helper.h"
#include "gui/channel/json_lines.h"
#include "gui/channel/response_writer.h"

namespace velmaris::mcp {
namespace {

// Every helper request of this process carries the same id: one request is served at a
// time, and the id never leaves the process.
const Json kRequestID = 1;

Json textBlock(const Json& value) {
  return {{"type", "text"}, {"text", writeJSON(value).value_or("{}")}};
}

bool isImageBlock(const Json& block) {
  return block.is_object() && block.value("type", Json()) == "image";
}

}  // namespace

Json helperRequest(const std::string& name, const Json& arguments) {
  Json request = arguments;
  request["id"] = kRequestID;
  request["method"] = name;
  return request;
}

Json toolResult(Json response) {
  if (const auto error = response.find("error"); error != response.end()) {
    Json structured = {{"error", *error}};
    return {{"content", Json::array({textBlock(structured)})},
            {"structuredContent", std::move(structured)},
            {"isError", true}};
  }
  Json result = Json::object();
  if (const auto found = response.find("result"); found != response.end() && found->is_object())
    result = std::move(*found);
  Json images = Json::array();
  if (const auto content = result.find("content");
      content != result.end() && content->is_array() && !content->empty() &&
      std::all_of(content->begin(), content->end(), isImageBlock)) {
    images = std::move(*content);
    result.erase("content");
  }
  Json content = Json::array({textBlock(result)});
  for (auto& image : images) content.push_back(std::move(image));
  return {{"content", std::move(content)}, {"structuredContent", std::move(result)},
          {"isError", false}};
}

Json callTool(gui::AXHelper& helper, const std::string& name, const Json& arguments) {
  std::string line;
  gui::ResponseWriter writer([&line](std::string_view bytes) { line.append(bytes); });
  if (arguments.contains("id") || arguments.contains("method")) {
    // The request's own members: an argument may not name them.
    writer.emitError(kRequestID, "invalid_input");
  } else {
    gui::answerRequest(helperRequest(name, arguments), kRequestID,
                       [&helper](const Json& request) { return helper.handle(request); }, writer);
  }
  Json response = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!response.is_object()) response = {{"error", {{"code", "internal_error"}}}};
  return toolResult(std::move(response));
}

}  // namespace velmaris::mcp
