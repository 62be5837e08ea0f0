// velmaris-mcp's protocol mapping: JSON-RPC refusals, the two revisions, tool results built
// from helper responses, tool calls through the helper on the simulated desktop, and the
// transport's queue with its cancellations, bytes in and bytes out.
#include <gtest/gtest.h>

#include "mcp/protocol.h"
#include "mcp/stdio_server.h"
#include "mcp/tool_call.h"
#include "tree_helper.h"

namespace velmaris::mcp {
namespace {

const std::string kMeta = R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"})";

Json stubCall(const std::string& name, const Json& arguments) {
  return {{"content", Json::array()}, {"structuredContent", {{name, arguments}}}, {"isError", false}};
}

std::optional<Json> send(Session& session, const std::string& line) {
  return session.handle(Json::parse(line));
}

Session initialized() {
  Session session(stubCall);
  send(session, R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25"}})");
  return session;
}

TEST(McpProtocol, MalformedMessagesAreJSONRPCErrors) {
  struct Case {
    const char* line;
    int code;
    bool echoesID;
  };
  const Case cases[] = {
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kInvalidRequest, false},
      {R"({"jsonrpc":"1.0","id":1,"method":"ping"})", kInvalidRequest, true},
      {R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})", kInvalidRequest, false},
      {R"({"jsonrpc":"2.0","id":1,"method":5})", kInvalidRequest, true},
      {R"({"jsonrpc":"2.0","id":1})", kInvalidRequest, true},
      {R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})", kMethodNotFound, true},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":[]})", kInvalidParams, true},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":3}})", kInvalidParams, true},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"click"}})", kInvalidParams, true},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"windows","arguments":[]}})", kInvalidParams, true},
      {R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{"cursor":"2"}})", kInvalidParams, true},
      {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})", kInvalidParams, true},
      // The stateless revision has no ping; a version nobody serves is named back.
      {R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})", kMethodNotFound, true},
      {R"({"jsonrpc":"2.0","id":"a","method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2024-11-05"}}})", kUnsupportedProtocolVersion, true},
  };
  for (const auto& c : cases) {
    Session session = initialized();
    const auto answer = send(session, c.line);
    ASSERT_TRUE(answer) << c.line;
    EXPECT_EQ((*answer)["error"]["code"], c.code) << c.line;
    EXPECT_EQ(answer->contains("id"), c.echoesID) << c.line;
    EXPECT_FALSE(answer->contains("result")) << c.line;
  }
  Session session = initialized();
  const auto unsupported = send(session, cases[std::size(cases) - 1].line);
  EXPECT_EQ((*unsupported)["error"]["data"],
            (Json{{"supported", {"2026-07-28", "2025-11-25"}}, {"requested", "2024-11-05"}}));
  // Notifications and stray responses get no answer.
  EXPECT_FALSE(send(session, R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
  EXPECT_FALSE(send(session, R"({"jsonrpc":"2.0","id":9,"result":{}})"));
}

TEST(McpProtocol, TheHandshakeSettlesOnTheRevisionThatHasOne) {
  for (const char* asked : {"2025-11-25", "2025-06-18", "2026-07-28", "1.0"}) {
    Session session(stubCall);
    const auto answer = send(session, std::string(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":")") + asked + "\"}}");
    EXPECT_EQ((*answer)["result"]["protocolVersion"], "2025-11-25") << asked;
    EXPECT_EQ((*answer)["result"]["capabilities"], (Json{{"tools", {{"listChanged", false}}}}));
  }
  // Before it, only ping and discovery are served, unless the request names its revision.
  Session fresh(stubCall);
  EXPECT_EQ((*send(fresh, R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"))["error"]["code"], kInvalidRequest);
  EXPECT_EQ((*send(fresh, R"({"jsonrpc":"2.0","id":2,"method":"ping"})"))["result"], Json::object());
  const auto discovered = send(fresh, R"({"jsonrpc":"2.0","id":3,"method":"server/discover"})");
  EXPECT_EQ((*discovered)["result"]["supportedVersions"], (Json{"2026-07-28", "2025-11-25"}));
  EXPECT_EQ((*discovered)["result"]["resultType"], "complete");
}

TEST(McpProtocol, EachRevisionShapesItsResults) {
  Session session = initialized();
  const auto legacy = send(session, R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
  const auto stateless = send(session, R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{)" + kMeta + "}}");
  EXPECT_EQ((*legacy)["result"]["tools"], (*stateless)["result"]["tools"]);
  EXPECT_FALSE((*legacy)["result"].contains("resultType"));
  EXPECT_EQ((*stateless)["result"]["resultType"], "complete");
  EXPECT_EQ((*stateless)["result"]["cacheScope"], "public");

  // A call reaches the tool caller with its arguments, an absent object as empty.
  const auto called = send(session, R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"windows",)" + kMeta + "}}");
  EXPECT_EQ((*called)["result"]["structuredContent"], (Json{{"windows", Json::object()}}));
  EXPECT_EQ((*called)["result"]["resultType"], "complete");
}

TEST(McpToolResult, StructuredContentTextAndImages) {
  const Json visual = {{"width", 2}, {"bytes", 3}};
  const Json image = {{"type", "image"}, {"mimeType", "image/jpeg"}, {"data", "/9j/"}};
  Json pictured = toolResult({{"id", 1}, {"result", {{"observation_id", "o"}, {"content", {image}}, {"visual", visual}}}});
  EXPECT_EQ(pictured["structuredContent"], (Json{{"observation_id", "o"}, {"visual", visual}}));
  ASSERT_EQ(pictured["content"].size(), 2u);
  EXPECT_EQ(pictured["content"][0]["text"], R"({"observation_id":"o","visual":{"bytes":3,"width":2}})");
  EXPECT_EQ(pictured["content"][1], image);
  EXPECT_EQ(pictured["isError"], false);

  Json refused = toolResult({{"error", {{"code", "ax_error"}, {"ax_status", -25204}}}, {"id", 1}});
  EXPECT_EQ(refused["isError"], true);
  EXPECT_EQ(refused["structuredContent"], (Json{{"error", {{"code", "ax_error"}, {"ax_status", -25204}}}}));
  EXPECT_EQ(refused["content"][0]["text"], R"({"error":{"ax_status":-25204,"code":"ax_error"}})");
}

TEST(McpToolCall, OneHelperRequestThroughTheHelpersEntryPoint) {
  testing::SimApp sim;
  sim.button(sim.window, "OK");
  const Json window = {{"app", sim.app}, {"window_id", sim.windowID()}};
  const Json observed = callTool(sim.s.ax(), "observe", window);
  ASSERT_EQ(observed["isError"], false) << observed.dump();
  EXPECT_TRUE(sim.s.ax().observations().records().contains(
      observed["structuredContent"]["observation_id"].get<std::string>()));

  auto code = [&](const std::string& tool, const Json& arguments) {
    return callTool(sim.s.ax(), tool, arguments)["structuredContent"]["error"].value("code", "");
  };
  EXPECT_EQ(code("windows", {{"app", sim.app}, {"id", 5}}), "invalid_input");
  EXPECT_EQ(code("windows", {{"app", sim.app}, {"method", "observe"}}), "invalid_input");
  EXPECT_EQ(code("windows", {{"app", "org.example.Gone"}}), "process_not_found");
}

// The transport on scripted input; a call can add input while it runs.
struct Transport {
  std::string input;
  std::string output;
  std::vector<std::string> calls;
  std::function<void(const std::string&)> duringCall = [](const std::string&) {};

  std::vector<Json> run() {
    StdioServer server(
        [this](char* buffer, std::size_t size) {
          const std::size_t n = std::min(size, input.size());
          input.copy(buffer, n);
          input.erase(0, n);
          return static_cast<ssize_t>(n);
        },
        [] { return true; },
        [this](const std::string& name, const Json& arguments) {
          calls.push_back(arguments.value("tag", name));
          duringCall(calls.back());
          return stubCall(name, arguments);
        },
        [this](std::string_view bytes) { output.append(bytes); });
    server.run();
    std::vector<Json> lines;
    for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(Json::parse(output.substr(start, end - start)));
    return lines;
  }
};

std::string callLine(int id, const std::string& tag) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"windows","arguments":{"tag":")" + tag + "\"}," + kMeta + "}}\n";
}
std::string cancelLine(int id) {
  return R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" + std::to_string(id) + "}}\n";
}

TEST(McpTransport, CancelledRequestsAreNeverAnswered) {
  Transport t;
  // Cancelled while queued: never served. Cancelled while served: not answered.
  t.input = callLine(1, "queued") + cancelLine(1) + callLine(2, "running") + callLine(3, "kept");
  t.duringCall = [&t](const std::string& tag) {
    if (tag == "running") t.input += cancelLine(2) + cancelLine(99);
  };
  const auto lines = t.run();
  EXPECT_EQ(t.calls, (std::vector<std::string>{"running", "kept"}));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["id"], 3);
}

TEST(McpTransport, FramingErrorsKeepTheirPlaceAndEndOfInputAnswersTheLastLine) {
  Transport t;
  t.input = "\n  \r\n" + std::string(70000, ' ') + "\nnot json\n" + std::string("{}\0{", 4) + "\n" + callLine(1, "a") +
            callLine(2, "last").substr(0, callLine(2, "last").size() - 1);
  const auto lines = t.run();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0]["error"]["code"], kInvalidRequest);
  EXPECT_EQ(lines[0]["error"]["data"]["max_bytes"], 65536);
  EXPECT_EQ(lines[1]["error"]["code"], kParseError);
  EXPECT_FALSE(lines[1].contains("id"));
  EXPECT_EQ(lines[2]["error"]["code"], kParseError);
  EXPECT_EQ(lines[3]["id"], 1);
  EXPECT_EQ(lines[4]["id"], 2);
}

}  // namespace
}  // namespace velmaris::mcp
