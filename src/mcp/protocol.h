// The Model Context Protocol as velmaris-mcp speaks it: JSON-RPC 2.0 envelopes, the two
// protocol revisions (the stateless one, named in every request's "_meta", and the one that
// opens with an "initialize" handshake), and the methods a tools-only server answers. Knows
// nothing of the helper: tool calls go to the ToolCaller it is given. Request thread only.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velmaris::mcp {

using Json = nlohmann::json;

// Newest first. The first is served per request; the second after an "initialize".
inline constexpr auto supportedVersions =
    std::to_array<std::string_view>({"2026-07-28", "2025-11-25"});
inline constexpr std::string_view statelessVersion = supportedVersions[0];
inline constexpr std::string_view handshakeVersion = supportedVersions[1];

// JSON-RPC and protocol error codes.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kUnsupportedProtocolVersion = -32022;

// Serves one tool call: `name` is a listed tool, `arguments` an object.
using ToolCaller = std::function<Json(const std::string& name, const Json& arguments)>;

// An error response; `id` is left out when the request's id could not be read.
Json errorResponse(const std::optional<Json>& id, int code, std::string message,
                   std::optional<Json> data = std::nullopt);

// The id of `message` when it is a request (an object with a "method" and a string or
// integer "id"); nothing for notifications, responses and malformed messages.
std::optional<Json> requestID(const Json& message);

// The request id a "notifications/cancelled" message cancels, or nothing when `message`
// is not such a notification.
std::optional<Json> cancelledRequest(const Json& message);

class Session {
 public:
  explicit Session(ToolCaller callTool) : callTool_(std::move(callTool)) {}

  // The response to one parsed message, or nothing for notifications and responses.
  std::optional<Json> handle(const Json& message);

  // The revision an "initialize" settled on, if one came.
  const std::optional<std::string>& negotiatedVersion() const { return negotiated_; }

 private:
  Json serve(const Json& id, const std::string& method, const Json& params,
             const std::string& version);
  Json initialize(const Json& id, const Json& params);

  ToolCaller callTool_;
  std::optional<std::string> negotiated_;
};

}  // namespace velmaris::mcp
