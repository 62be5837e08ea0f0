// "press", "action", "set_value" and their selector forms, of the real helper on a virtual
// desktop, against the GTK fixture's "actions" widgets: what a press, a write or a page
// scroll changes in the application, seen through the next observation; each refusal a
// real application gives cause for; and a hung application that must not hang the helper.
#include <gtest/gtest.h>

#include <signal.h>

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
  void TearDown() override {
    // The fixture logs a CRITICAL for any call it should never have been sent.
    if (fixture) {
      EXPECT_EQ(fixture->process().errorText(), "");
    }
  }
  void startFixture() {
    fixture.emplace(
        std::vector<std::string>{"--app-id=" + app, "--title=Actions", "--widgets=actions"});
  }

  // The whole response: a result or an error.
  Json send(const std::string& method, Json members = Json::object(), Millis timeout = 5000ms) {
    Json request = {{"id", nextID++}, {"method", method}, {"app", app}};
    if (method != "windows") request["window_id"] = window;
    request.update(members);
    return helper->request(request, timeout);
  }
  Json observe() {
    Json response = send("observe");
    EXPECT_TRUE(response.contains("result")) << response.dump().substr(0, 400);
    return response.value("result", Json::object());
  }
  // The element ref of the node with `identifier` in `observation`.
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
  // Observes until `done` holds for the tree (actions run in the application's own time).
  Json observeUntil(const std::function<bool(const Json&)>& done) {
    const auto until = Clock::now() + 3s;
    Json observation = observe();
    while (!done(observation["tree"]) && Clock::now() < until) {
      std::this_thread::sleep_for(50ms);
      observation = observe();
    }
    return observation;
  }
  static bool hasLabel(const Json& tree, const std::string& label) {
    return findNode(tree, "label", label) != nullptr;
  }
  static std::vector<double> scrollBarValues(const Json& tree) {
    std::vector<double> values;
    eachNode(tree, [&](const Json& node, int) {
      if (node["role"] == "AXScrollBar" && node["value"].is_number())
        values.push_back(node["value"].get<double>());
    });
    return values;
  }
};

void expectRefused(const Json& response, const std::string& code,
                   std::optional<bool> inputAttempted) {
  ASSERT_TRUE(response.contains("error")) << response.dump().substr(0, 400);
  EXPECT_EQ(response["error"]["code"], code) << response.dump();
  if (inputAttempted) {
    EXPECT_EQ(response["error"]["input_attempted"], *inputAttempted) << response.dump();
  } else {
    EXPECT_FALSE(response["error"].contains("input_attempted")) << response.dump();
  }
}

TEST_F(ActionsTest, PressingAButtonChangesTheApplication) {
  Json observation = observe();
  ASSERT_TRUE(hasLabel(observation["tree"], "Pressed 0"));
  Json response = onElement("press", observation, "fixture.press");
  ASSERT_TRUE(response.contains("result")) << response.dump();
  EXPECT_EQ(response["result"], (Json{{"process_id", fixture->pid()},
                                      {"window_id", window},
                                      {"observation_id", observation["observation_id"]},
                                      {"element_ref", ref(observation, "fixture.press")},
                                      {"action", "AXPress"},
                                      {"action_accepted", true},
                                      {"postcondition_verified", false}}));
  EXPECT_TRUE(hasLabel(observeUntil([](const Json& t) { return hasLabel(t, "Pressed 1"); })["tree"],
                       "Pressed 1"));

  // The observation was consumed by the press.
  expectRefused(onElement("press", observation, "fixture.press"), "observation_unavailable", false);

  // By role and label; the counter moves once more.
  response = send("press_target", {{"observation_id", observe()["observation_id"]},
                                   {"role", "AXButton"},
                                   {"label", "Press me"}});
  ASSERT_TRUE(response.contains("result")) << response.dump();
  EXPECT_EQ(response["result"]["action"], "AXPress");
  EXPECT_TRUE(hasLabel(observeUntil([](const Json& t) { return hasLabel(t, "Pressed 2"); })["tree"],
                       "Pressed 2"));

  // "action" with the platform's other actions: a step on the spin button.
  response = onElement("action", observe(), "fixture.spin", {{"action", "AXIncrement"}});
  ASSERT_TRUE(response.contains("result")) << response.dump();
  Json after = observe();
  EXPECT_EQ((*findNode(after["tree"], "identifier", "fixture.spin"))["value"], 6.0);
  response = onElement("action", after, "fixture.entry", {{"action", "AXConfirm"}});
  EXPECT_EQ(response["result"]["action_accepted"], true) << response.dump();
}

TEST_F(ActionsTest, WritingValuesIsReadBackAtOnce) {
  Json observation = observe();
  Json response =
      onElement("set_value", observation, "fixture.entry", {{"value", "typed by velmaris"}});
  ASSERT_TRUE(response.contains("result")) << response.dump();
  EXPECT_EQ(response["result"], (Json{{"process_id", fixture->pid()},
                                      {"window_id", window},
                                      {"observation_id", observation["observation_id"]},
                                      {"element_ref", ref(observation, "fixture.entry")},
                                      {"enabled", true},
                                      {"enabled_provided", true},
                                      {"enabled_state", "known"},
                                      {"enabled_ax_status", 0},
                                      {"value_verified", true},
                                      {"persistence_verified", false}}));
  Json after = observe();
  EXPECT_EQ((*findNode(after["tree"], "identifier", "fixture.entry"))["value"], "typed by velmaris");

  // A D-Bus string ends at a NUL: such a value is refused whole, and nothing is written.
  response = onElement("set_value", after, "fixture.entry", {{"value", std::string("cut\0off", 7)}});
  expectRefused(response, "ax_error", true);
  EXPECT_EQ(response["error"]["ax_status"], -25201) << response.dump();
  after = observe();
  EXPECT_EQ((*findNode(after["tree"], "identifier", "fixture.entry"))["value"], "typed by velmaris");

  // Numbers into ranges: an integer read back as the real the range holds is the same value.
  response = onElement("set_value", after, "fixture.spin", {{"value", 42}});
  EXPECT_EQ(response["result"]["value_verified"], true) << response.dump();
  response = onElement("set_value", observe(), "fixture.slider", {{"value", 60.5}});
  EXPECT_EQ(response["result"]["value_verified"], true) << response.dump();
  after = observe();
  EXPECT_EQ((*findNode(after["tree"], "identifier", "fixture.spin"))["value"], 42.0);
  EXPECT_EQ((*findNode(after["tree"], "identifier", "fixture.slider"))["value"], 60.5);

  // The spin button keeps to its range: the write is taken, but not as written.
  response = onElement("set_value", after, "fixture.spin", {{"value", 150}});
  EXPECT_EQ(response["result"]["value_verified"], false) << response.dump();
  EXPECT_EQ((*findNode(observe()["tree"], "identifier", "fixture.spin"))["value"], 100.0);

  // By role and identifier.
  response = send("set_value_target", {{"observation_id", observe()["observation_id"]},
                                       {"role", "AXTextField"},
                                       {"identifier", "fixture.entry"},
                                       {"value", ""}});
  EXPECT_EQ(response["result"]["value_verified"], true) << response.dump();
  EXPECT_EQ((*findNode(observe()["tree"], "identifier", "fixture.entry"))["value"], "");
}

TEST_F(ActionsTest, PageScrollMovesTheList) {
  Json observation = observe();
  const Json* pane = findNode(observation["tree"], "identifier", "fixture.scroll");
  ASSERT_NE(pane, nullptr);
  EXPECT_EQ((*pane)["role"], "AXScrollArea");
  EXPECT_EQ(scrollBarValues(observation["tree"]), (std::vector<double>{0, 0}));

  Json response =
      onElement("action", observation, "fixture.scroll", {{"action", "AXScrollDownByPage"}});
  ASSERT_TRUE(response.contains("result")) << response.dump();
  EXPECT_EQ(response["result"]["action"], "AXScrollDownByPage");
  // One page is what the viewport shows.
  const double page = (*pane)["children"][0]["bounds"]["height"];
  Json after = observe();
  std::vector<double> values = scrollBarValues(after["tree"]);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(std::max(values[0], values[1]), page);

  response = onElement("action", after, "fixture.scroll", {{"action", "AXScrollUpByPage"}});
  ASSERT_TRUE(response.contains("result")) << response.dump();
  EXPECT_EQ(scrollBarValues(observe()["tree"]), (std::vector<double>{0, 0}));
}

TEST_F(ActionsTest, RefusalsARealApplicationGivesCauseFor) {
  // Two buttons share a label: no guess at which one is meant, and nothing is consumed.
  Json observation = observe();
  expectRefused(send("press_target", {{"observation_id", observation["observation_id"]},
                                      {"role", "AXButton"},
                                      {"label", "Same"}}),
                "target_ambiguous", std::nullopt);
  expectRefused(onElement("press", observation, "fixture.disabled"), "element_not_enabled", false);

  // The application changed the entry after it was observed.
  observation = observe();
  ASSERT_EQ(fixture->command("set-entry changed by the app"), "ok");
  expectRefused(onElement("set_value", observation, "fixture.entry", {{"value", "ours"}}),
                "value_changed", false);
  EXPECT_EQ((*findNode(observe()["tree"], "identifier", "fixture.entry"))["value"],
            "changed by the app");

  // The button is gone.
  observation = observe();
  ASSERT_EQ(fixture->command("destroy-widget fixture.doomed"), "ok");
  expectRefused(onElement("press", observation, "fixture.doomed"), "element_unavailable", false);
  EXPECT_EQ(findNode(observe()["tree"], "identifier", "fixture.doomed"), nullptr);

  // The application was restarted: same application, same window title, another process.
  observation = observe();
  const pid_t before = fixture->pid();
  fixture.reset();
  startFixture();
  ASSERT_NE(fixture->pid(), before);
  expectRefused(onElement("press", observation, "fixture.press"), "process_identity_changed",
                false);
}

TEST_F(ActionsTest, AHungApplicationDoesNotHangTheHelper) {
  Json observation = observe();
  Json targets = send("observe_targets")["result"];
  fixture->process().signal(SIGSTOP);

  // Every kind of request is answered, with a code that says why, within the request
  // deadline plus one messaging timeout.
  struct Attempt {
    std::string method;
    Json members;
  };
  const std::vector<Attempt> attempts = {
      {"press",
       {{"observation_id", observation["observation_id"]},
        {"element_ref", ref(observation, "fixture.press")}}},
      {"set_value",
       {{"observation_id", targets["observation_id"]},
        {"element_ref", targets["targets"][0]["element_ref"]},
        {"value", "x"}}},
      {"windows", Json::object()},
      {"observe", Json::object()},
      {"observe_targets", Json::object()},
  };
  std::vector<std::string> codes;
  std::vector<Json> errors;
  for (const auto& attempt : attempts) {
    SCOPED_TRACE(attempt.method);
    const auto started = Clock::now();
    Json response = send(attempt.method, attempt.members, 10000ms);
    const auto took = std::chrono::duration_cast<Millis>(Clock::now() - started);
    ASSERT_TRUE(response.contains("error")) << response.dump().substr(0, 300);
    codes.push_back(response["error"]["code"]);
    errors.push_back(response["error"]);
    // The slack is for the pipes and the scheduler of a loaded machine.
    EXPECT_LT(took, 3250ms + 150ms);
    RecordProperty("hung_" + attempt.method + "_ms", static_cast<int>(took.count()));
  }
  // The press found its observation, then could not reach the application; the write's
  // observation had been consumed by that press.
  ASSERT_EQ(codes, (std::vector<std::string>{"ax_error", "observation_unavailable", "ax_error",
                                             "ax_error", "ax_error"}));
  EXPECT_EQ(errors[0]["ax_status"], -25204);
  EXPECT_EQ(errors[0]["input_attempted"], false);
  EXPECT_EQ(errors[1]["input_attempted"], false);
  EXPECT_EQ(errors[3]["ax_status"], -25204);

  fixture->process().signal(SIGCONT);
  // Served normally again: late answers of the application are not taken for new ones.
  observation = observe();
  ASSERT_TRUE(hasLabel(observation["tree"], "Pressed 0"));
  Json response = onElement("press", observation, "fixture.press");
  ASSERT_TRUE(response.contains("result")) << response.dump();
  EXPECT_TRUE(hasLabel(observeUntil([](const Json& t) { return hasLabel(t, "Pressed 1"); })["tree"],
                       "Pressed 1"));
}

}  // namespace
}  // namespace velmaris::testing
