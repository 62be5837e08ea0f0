// Message checks, revision selection and the methods. A request that names its revision
// in "_meta" is served on its own; one that does not is served under the revision its
// connection's "initialize" settled on. Every answer is built here, in one of two shapes:
// the stateless revision adds "resultType" and the server's identity to each result.
#include "mcp/protocol.h"

#include "mcp/tool_catalog.h"

#ifndef VELMARIS_VERSION
#define VELMARIS_VERSION "0"
#endif

namespace velmaris::mcp {
namespace {

constexpr const char* kVersionKey = "io.modelcontextprotocol/protocolVersion";

// How long a host may keep the tool list: it is fixed for the life of the binary.
constexpr int kToolListTTLMillis = 3600000;

constexpr const char* kInstructions =
    "Controlled access to the applications of this desktop. Call \"windows\" with an "
    "application key to get window handles, then \"observe\" or \"observe_targets\" on a "
    "window, then act on what it returned: \"press\", \"action\" or \"set_value\" by "
    "element_ref, \"press_target\" or \"set_value_target\" by role and label or identifier. "
    "Each press, action or value write uses up every observation, so observe again before the "
    "next one. Every call ends within 3 seconds; a refusal is a tool error whose structured "
    "content is {\"error\": {\"code\": ...}} with a machine-readable code.";

Json serverInfo() {
  return {{"name", "velmaris-mcp"}, {"title", "velmaris"}, {"version", VELMARIS_VERSION}};
}

Json versionList() {
  Json versions = Json::array();
  for (const auto v : supportedVersions) versions.push_back(std::string(v));
  return versions;
}

bool validID(const Json& id) { return id.is_string() || id.is_number_integer(); }

const Json* member(const Json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

bool isSupported(const Json& version) {
  if (!version.is_string()) return false;
  for (const auto v : supportedVersions)
    if (v == version.get_ref<const std::string&>()) return true;
  return false;
}

Json invalidParams(const Json& id, const std::string& what) {
  return errorResponse(id, kInvalidParams, "Invalid params: " + what);
}

}  // namespace

Json errorResponse(const std::optional<Json>& id, int code, std::string message,
                   std::optional<Json> data) {
  Json error = {{"code", code}, {"message", std::move(message)}};
  if (data) error["data"] = std::move(*data);
  Json response = {{"jsonrpc", "2.0"}, {"error", std::move(error)}};
  if (id) response["id"] = *id;
  return response;
}

std::optional<Json> requestID(const Json& message) {
  const Json* method = member(message, "method");
  const Json* id = member(message, "id");
  if (method == nullptr || !method->is_string() || id == nullptr || !validID(*id))
    return std::nullopt;
  return *id;
}

std::optional<Json> cancelledRequest(const Json& message) {
  const Json* method = member(message, "method");
  if (method == nullptr || *method != "notifications/cancelled" || message.contains("id"))
    return std::nullopt;
  const Json* params = member(message, "params");
  const Json* id = params != nullptr ? member(*params, "requestId") : nullptr;
  if (id == nullptr || !validID(*id)) return std::nullopt;
  return *id;
}

std::optional<Json> Session::handle(const Json& message) {
  if (!message.is_object())
    return errorResponse(std::nullopt, kInvalidRequest, "Invalid Request: not a JSON object");
  const Json* method = member(message, "method");
  const Json* id = member(message, "id");
  const std::optional<Json> echo =
      id != nullptr && validID(*id) ? std::optional<Json>(*id) : std::nullopt;
  if (message.value("jsonrpc", Json()) != "2.0")
    return errorResponse(echo, kInvalidRequest, "Invalid Request: \"jsonrpc\" must be \"2.0\"");
  if (method == nullptr) {
    // A response to a request of ours: this server sends none, so there is nothing to match.
    if (message.contains("result") || message.contains("error")) return std::nullopt;
    return errorResponse(echo, kInvalidRequest, "Invalid Request: no \"method\"");
  }
  if (!method->is_string())
    return errorResponse(echo, kInvalidRequest, "Invalid Request: \"method\" must be a string");
  if (id != nullptr && !echo)
    return errorResponse(std::nullopt, kInvalidRequest,
                         "Invalid Request: \"id\" must be a string or an integer");
  // Notifications are never answered: "initialized" needs nothing, a cancellation has
  // already been applied where messages are queued, and the rest do not concern tools.
  if (id == nullptr) return std::nullopt;

  static const Json noParams = Json::object();
  const Json* params = member(message, "params");
  if (params == nullptr) params = &noParams;
  if (!params->is_object()) return invalidParams(*id, "\"params\" must be an object");
  const std::string& name = method->get_ref<const std::string&>();
  if (name == "initialize") return initialize(*id, *params);

  std::string version;
  const Json* meta = member(*params, "_meta");
  if (const Json* named = meta != nullptr ? member(*meta, kVersionKey) : nullptr) {
    if (!isSupported(*named))
      return errorResponse(*id, kUnsupportedProtocolVersion, "Unsupported protocol version",
                           Json{{"supported", versionList()}, {"requested", *named}});
    version = named->get<std::string>();
  } else if (negotiated_) {
    version = *negotiated_;
  } else if (name == "server/discover") {
    version = statelessVersion;  // what a client asks before it knows any version
  } else if (name == "ping") {
    version = handshakeVersion;  // allowed before the handshake
  } else {
    return errorResponse(*id, kInvalidRequest,
                         "Invalid Request: send \"initialize\" first, or name the protocol "
                         "version in params._meta");
  }
  return serve(*id, name, *params, version);
}

Json Session::initialize(const Json& id, const Json& params) {
  const Json* requested = member(params, "protocolVersion");
  if (requested == nullptr || !requested->is_string())
    return invalidParams(id, "\"protocolVersion\" must be a string");
  // Only the older revision has a handshake, so that is what a handshake settles on,
  // whichever version the client asked for; a client that cannot speak it disconnects.
  negotiated_ = std::string(handshakeVersion);
  return {{"jsonrpc", "2.0"},
          {"id", id},
          {"result",
           {{"protocolVersion", *negotiated_},
            {"capabilities", {{"tools", {{"listChanged", false}}}}},
            {"serverInfo", serverInfo()},
            {"instructions", kInstructions}}}};
}

Json Session::serve(const Json& id, const std::string& method, const Json& params,
                    const std::string& version) {
  const bool stateless = version == statelessVersion;
  Json result;
  if (method == "ping" && !stateless) {
    result = Json::object();
  } else if (method == "server/discover") {
    result = {{"supportedVersions", versionList()},
              {"capabilities", {{"tools", Json::object()}}},
              {"instructions", kInstructions},
              {"ttlMs", kToolListTTLMillis},
              {"cacheScope", "public"}};
  } else if (method == "tools/list") {
    // One page holds every tool, so no cursor was ever handed out.
    if (params.contains("cursor")) return invalidParams(id, "unknown cursor");
    result = {{"tools", toolList()}};
    if (stateless) {
      result["ttlMs"] = kToolListTTLMillis;
      result["cacheScope"] = "public";
    }
  } else if (method == "tools/call") {
    const Json* tool = member(params, "name");
    if (tool == nullptr || !tool->is_string()) return invalidParams(id, "\"name\" must be a string");
    const std::string& name = tool->get_ref<const std::string&>();
    if (!isTool(name)) return errorResponse(id, kInvalidParams, "Unknown tool: " + name);
    const Json* arguments = member(params, "arguments");
    if (arguments != nullptr && !arguments->is_object())
      return invalidParams(id, "\"arguments\" must be an object");
    result = callTool_(name, arguments != nullptr ? *arguments : Json::object());
  } else {
    return errorResponse(id, kMethodNotFound, "Method not found: " + method);
  }
  if (stateless || method == "server/discover") {
    result["resultType"] = "complete";
    result["_meta"] = {{"io.modelcontextprotocol/serverInfo", serverInfo()}};
  }
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

}  // namespace velmaris::mcp
