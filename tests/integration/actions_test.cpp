// "press", "action" and "set_value" of the real helper on a virtual desktop, against the GTK
// fixture's "actions" widgets: what a press, a write or a page scroll changes in the
// application, seen through the next observation; a hung application that must not hang the
// helper, and one restarted under the same name.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "readback.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

struct ActionsTest : ::testing::Test {
  const std::string app = "org.velmaris.Actions";
  std::optional<Fixture> fixture;
  std::optional<Helper> helper;
  std::int64_t window = 0;
  int nextID = 1;

  void SetUp() override {
    startFixture();
    helper.emplace();
    Json windows = send("windows");
    ASSERT_EQ(windows["result"]["windows"].size(), 1u) << windows.dump();
    window = windows["result"]["windows"][0]["window_id"];
  }
  void startFixture() {
    fixture.emplace(std::vector<std::string>{"--app-id=" + app, "--title=Actions", "--widgets=actions"});
  }

  // The whole response: a result or an error.
  Json send(const std::string& method, Json members = Json::object(), Millis timeout = 5000ms) {
    Json request = {{"id", nextID++}, {"method", method}, {"app", app}};
    if (method != "windows") request["window_id"] = window;
    request.update(members);
    return helper->request(request, timeout);
  }
  Json observe() { return send("observe").value("result", Json::object()); }
  static std::string ref(const Json& observation, const std::string& identifier) {
    const Json* node = findNode(observation["tree"], "identifier", identifier);
    EXPECT_NE(node, nullptr) << identifier;
    return node ? (*node)["element_ref"].get<std::string>() : "";
  }
  Json onElement(const std::string& method, const Json& observation, const std::string& identifier,
                 Json members = Json::object()) {
    members["observation_id"] = observation["observation_id"];
    members["element_ref"] = ref(observation, identifier);
    return send(method, members);
  }
  Json valueOf(const std::string& identifier) {
    const Json observation = observe();
    const Json* node = findNode(observation["tree"], "identifier", identifier);
    return node ? (*node)["value"] : Json("missing");
  }
  // Whether the counter shows `label` within 3 s (a press runs in the application's own time).
  bool shows(const std::string& label) {
    return eventually([&] { return findNode(observe()["tree"], "label", label) != nullptr; }, 3s, 50ms);
  }
  static std::vector<double> scrollBarValues(const Json& tree) {
    std::vector<double> values;
    eachNode(tree, [&](const Json& node, int) {
      if (node["role"] == "AXScrollBar" && node["value"].is_number()) values.push_back(node["value"]);
    });
    return values;
  }
};

std::string codeOf(const Json& response) {
  return response.value("error", Json::object()).value("code", response.contains("result") ? "ok" : "?");
}

TEST_F(ActionsTest, PressesActionsWritesAndPageScrollsChangeTheApplication) {
  Json response = onElement("press", observe(), "fixture.press");
  EXPECT_EQ(response["result"]["action_accepted"], true) << response.dump();
  EXPECT_TRUE(shows("Pressed 1"));

  response = onElement("action", observe(), "fixture.spin", {{"action", "AXIncrement"}});
  EXPECT_EQ(codeOf(response), "ok") << response.dump();
  EXPECT_EQ(valueOf("fixture.spin"), 6.0);
  response = onElement("action", observe(), "fixture.entry", {{"action", "AXConfirm"}});
  EXPECT_EQ(response["result"]["action_accepted"], true) << response.dump();

  // Writes are read back at once.
  struct Case {
    const char* identifier;
    Json value;
    Json verified;  // null: refused with the platform's illegal-argument status
    Json after;
  } cases[] = {
      {"fixture.entry", "typed by velmaris", true, "typed by velmaris"},
      // A D-Bus string ends at a NUL: such a value is refused whole, and nothing is written.
      {"fixture.entry", std::string("cut\0off", 7), nullptr, "typed by velmaris"},
      // Numbers into ranges: an integer read back as the real the range holds is the same value.
      {"fixture.spin", 42, true, 42.0},
      {"fixture.slider", 60.5, true, 60.5},
      // The spin button keeps to its range: the write is taken, but not as written.
      {"fixture.spin", 150, false, 100.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Json(c.value).dump());
    response = onElement("set_value", observe(), c.identifier, {{"value", c.value}});
    if (c.verified.is_null()) {
      EXPECT_EQ(response["error"]["ax_status"], -25201) << response.dump();
    } else {
      EXPECT_EQ(response["result"]["value_verified"], c.verified) << response.dump();
    }
    EXPECT_EQ(valueOf(c.identifier), c.after);
  }

  // One page is what the viewport shows, across or down; each direction moves its own bar.
  Json observation = observe();
  const Json* pane = findNode(observation["tree"], "identifier", "fixture.scroll");
  ASSERT_NE(pane, nullptr);
  const double across = (*pane)["children"][0]["bounds"]["width"];
  const double down = (*pane)["children"][0]["bounds"]["height"];
  ASSERT_NE(across, down);
  const std::pair<const char*, std::vector<double>> steps[] = {
      {"AXScrollDownByPage", {0, down}}, {"AXScrollRightByPage", {down, across}},
      {"AXScrollLeftByPage", {0, down}}, {"AXScrollUpByPage", {0, 0}}};
  for (const auto& [action, values] : steps) {
    response = onElement("action", observation, "fixture.scroll", {{"action", action}});
    EXPECT_EQ(codeOf(response), "ok") << response.dump();
    observation = observe();
    std::vector<double> now = scrollBarValues(observation["tree"]);
    std::vector<double> want = values;
    std::sort(now.begin(), now.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(now, want) << action;
  }
}

TEST_F(ActionsTest, AHungApplicationDoesNotHangTheHelperNorARestartedOneFoolIt) {
  Json observation = observe();
  Json targets = send("observe_targets")["result"];
  fixture->process().signal(SIGSTOP);

  // Every kind of request is answered, with a code that says why, within the request
  // deadline plus one messaging timeout (and slack for the pipes of a loaded machine). The
  // press found its observation, then could not reach the application; the write's
  // observation had been consumed by that press.
  struct Attempt {
    std::string method;
    Json members;
    const char* code;
  };
  const std::vector<Attempt> attempts = {
      {"press", {{"observation_id", observation["observation_id"]}, {"element_ref", ref(observation, "fixture.press")}}, "ax_error"},
      {"set_value", {{"observation_id", targets["observation_id"]}, {"element_ref", targets["targets"][0]["element_ref"]}, {"value", "x"}}, "observation_unavailable"},
      {"windows", Json::object(), "ax_error"},
      {"observe", Json::object(), "ax_error"},
      {"observe_targets", Json::object(), "ax_error"},
  };
  for (const auto& attempt : attempts) {
    SCOPED_TRACE(attempt.method);
    const auto started = Clock::now();
    Json response = send(attempt.method, attempt.members, 10000ms);
    EXPECT_LT(Clock::now() - started, 3400ms);
    EXPECT_EQ(codeOf(response), attempt.code) << response.dump().substr(0, 300);
    if (attempt.method == "press") {
      EXPECT_EQ(response["error"]["ax_status"], -25204);
    }
  }

  fixture->process().signal(SIGCONT);
  // Served normally again: late answers of the application are not taken for new ones.
  Json response = onElement("press", observe(), "fixture.press");
  EXPECT_EQ(codeOf(response), "ok") << response.dump();
  EXPECT_TRUE(shows("Pressed 1"));

  // Restarted: same application, same window title, another process.
  observation = observe();
  fixture.reset();
  startFixture();
  EXPECT_EQ(codeOf(onElement("press", observation, "fixture.press")), "process_identity_changed");
}

}  // namespace
}  // namespace velmaris::testing
