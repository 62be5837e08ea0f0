// "observe" and "observe_targets" of the real helper on a virtual desktop, against the GTK
// fixture's widget sets: how a real GTK window maps to the tree and the target list, values
// the application changes between two observations, elements the application destroys
// while a scan runs, and a stopped application.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"
#include "readback.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

struct ObserveTest : ::testing::Test {
  const std::string app = "org.velmaris.Observe";
  std::optional<Fixture> fixture;
  std::optional<Helper> helper;
  std::int64_t window = 0;

  void start(const std::string& widgets) {
    fixture.emplace(std::vector<std::string>{"--app-id=" + app, "--title=Observe",
                                             "--widgets=" + widgets});
    helper.emplace();
    Json windows = helper->request({{"id", 1}, {"method", "windows"}, {"app", app}});
    ASSERT_EQ(windows["result"]["windows"].size(), 1u) << windows.dump();
    window = windows["result"]["windows"][0]["window_id"];
  }
  // The helper ends at the end of its input and has written nothing to standard error
  // (under the sanitizers, that includes their reports).
  void TearDown() override {
    if (!helper) return;
    helper->process().closeInput();
    EXPECT_EQ(helper->process().wait(5000ms), 0);
    EXPECT_EQ(helper->errorText(), "");
  }
  Json call(const std::string& method, Json extra = Json::object()) {
    Json request = {{"id", 2}, {"method", method}, {"app", app}, {"window_id", window}};
    request.update(extra);
    Json response = helper->request(request);
    EXPECT_TRUE(response.contains("result")) << response.dump().substr(0, 400);
    return response.contains("result") ? response["result"] : Json::object();
  }
};

// Bounds inside the window's own, with a real size.
void expectPlausibleBounds(const Json& node, const Json& window) {
  ASSERT_TRUE(node.contains("bounds")) << node.dump();
  const Json& b = node["bounds"];
  const Json& w = window["bounds"];
  EXPECT_EQ(b["coordinate_unit"], "point");
  EXPECT_EQ(b["origin"], "global_top_left");
  EXPECT_GT(b["width"].get<double>(), 0);
  EXPECT_GT(b["height"].get<double>(), 0);
  EXPECT_GE(b["x"].get<double>(), w["x"].get<double>());
  EXPECT_GE(b["y"].get<double>(), w["y"].get<double>());
  EXPECT_LE(b["x"].get<double>() + b["width"].get<double>(),
            w["x"].get<double>() + w["width"].get<double>());
  EXPECT_LE(b["y"].get<double>() + b["height"].get<double>(),
            w["y"].get<double>() + w["height"].get<double>());
}

TEST_F(ObserveTest, TreeOfARealWindow) {
  start("observe");
  Json r = call("observe");
  EXPECT_EQ(r["truncated"], false);
  EXPECT_EQ(r["process_id"], fixture->pid());
  EXPECT_EQ(r["window_id"], window);
  EXPECT_EQ(r["ttl_seconds"], 60);
  const Json& tree = r["tree"];
  EXPECT_EQ(r["visited_elements"], nodeCount(tree));
  EXPECT_EQ(tree["role"], "AXWindow");
  EXPECT_EQ(tree["label"], "Observe");
  ASSERT_TRUE(tree.contains("bounds"));

  struct Expected {
    std::string identifier, role;
    Json label, value, actions;
    bool enabled, settable, pressable;
  };
  const std::vector<Expected> widgets = {
      {"fixture.press", "AXButton", "Press me", nullptr, {"AXPress"}, true, false, true},
      {"fixture.entry", "AXTextField", nullptr, "hello", {"AXConfirm"}, true, true, false},
      {"fixture.check", "AXCheckBox", "Check me", 0, {"AXPress"}, true, false, true},
      {"fixture.spin", "AXIncrementor", nullptr, 5.0, {"AXConfirm", "AXDecrement", "AXIncrement"},
       true, true, false},
      {"fixture.slider", "AXSlider", "30", 30.0, {"AXDecrement", "AXIncrement"}, true, true, false},
      {"fixture.disabled", "AXButton", "Disabled", nullptr, {"AXPress"}, false, false, true},
      {"fixture.same.a", "AXButton", "Same", nullptr, {"AXPress"}, true, false, true},
      {"fixture.same.b", "AXButton", "Same", nullptr, {"AXPress"}, true, false, true},
  };
  for (const auto& w : widgets) {
    SCOPED_TRACE(w.identifier);
    const Json* node = findNode(tree, "identifier", w.identifier);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ((*node)["role"], w.role);
    EXPECT_EQ((*node)["label"], w.label);
    EXPECT_EQ((*node)["value"], w.value);
    EXPECT_EQ((*node)["actions"], w.actions);
    EXPECT_EQ((*node)["enabled"], w.enabled);
    EXPECT_EQ((*node)["settable"], w.settable);
    EXPECT_EQ((*node)["pressable"], w.pressable);
    EXPECT_FALSE(node->contains("label_truncated"));
    expectPlausibleBounds(*node, tree);
  }

  // Plain text: no actions, not settable, so its identifier is not shown.
  const Json* heading = findNode(tree, "label", "Pressed 0");
  ASSERT_NE(heading, nullptr);
  EXPECT_EQ((*heading)["role"], "AXStaticText");
  EXPECT_EQ((*heading)["value"], "Pressed 0");
  EXPECT_TRUE((*heading)["identifier"].is_null());
  EXPECT_EQ((*heading)["actions"], Json::array());

  // The scrolled list: a scroll area holding a list of cells.
  std::multiset<std::string> roles;
  eachNode(tree, [&](const Json& node, int) { roles.insert(node["role"].is_string() ? node["role"].get<std::string>() : "-"); });
  EXPECT_EQ(roles.count("AXScrollArea"), 1u);
  EXPECT_EQ(roles.count("AXList"), 1u);
  EXPECT_EQ(roles.count("AXCell"), 3u);
  // A closed menu has no items.
  const Json* menu = findNode(tree, "identifier", "fixture.menu");
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ((*menu)["role"], "AXMenu");
  EXPECT_EQ((*menu)["children"].size(), 0u);
  EXPECT_EQ(roles.count("AXMenuItem"), 0u);
}

TEST_F(ObserveTest, TargetsAreWhatCanBeActedOn) {
  start("observe");
  Json r = call("observe_targets");
  EXPECT_EQ(r["tree_omitted"], true);
  EXPECT_FALSE(r.contains("tree"));
  EXPECT_EQ(r["truncated"], false);
  using Target = std::tuple<std::string, Json, Json>;  // role, label, identifier
  std::multiset<Target> listed;
  for (const auto& t : r["targets"]) {
    listed.insert(Target(t["role"], t["label"], t["identifier"]));
    EXPECT_EQ(t["label_truncated"], false);
    EXPECT_EQ(t["identifier_truncated"], false);
    EXPECT_EQ(t["element_ref"].get<std::string>().size(), 36u);
    EXPECT_TRUE(t["enabled"].is_boolean());
  }
  // GTK publishes a scrolled window's scroll bars even when they are hidden, with a value
  // that can be written: they and their pane are targets too.
  const std::multiset<Target> expected = {
      {"AXButton", "Press me", "fixture.press"},
      {"AXTextField", nullptr, "fixture.entry"},
      {"AXCheckBox", "Check me", "fixture.check"},
      {"AXIncrementor", nullptr, "fixture.spin"},
      {"AXSlider", "30", "fixture.slider"},
      {"AXButton", "Disabled", "fixture.disabled"},
      {"AXButton", "Same", "fixture.same.a"},
      {"AXButton", "Same", "fixture.same.b"},
      {"AXMenu", "File", "fixture.menu"},  // its closed menu's items are none
      {"AXScrollArea", nullptr, "fixture.scroll"},
      {"AXScrollBar", nullptr, nullptr},
      {"AXScrollBar", nullptr, nullptr},
  };
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(r["visited_elements"].get<int>(), call("observe")["visited_elements"].get<int>());
}

TEST_F(ObserveTest, ValuesAreReadFresh) {
  start("observe");
  const Json* entry = nullptr;
  Json first = call("observe");
  entry = findNode(first["tree"], "identifier", "fixture.entry");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ((*entry)["value"], "hello");

  EXPECT_EQ(fixture->command("set-entry changed by the app"), "ok");
  Json second = call("observe");
  entry = findNode(second["tree"], "identifier", "fixture.entry");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ((*entry)["value"], "changed by the app");
  EXPECT_NE(second["observation_id"], first["observation_id"]);
}

TEST_F(ObserveTest, ElementsDestroyedDuringAScan) {
  start("churn");
  EXPECT_EQ(fixture->command("churn-start"), "ok");
  int truncated = 0;
  for (int i = 0; i < 40; ++i) {
    Json response = helper->request(
        {{"id", 3}, {"method", "observe_targets"}, {"app", app}, {"window_id", window}});
    ASSERT_TRUE(response.contains("result")) << response.dump();
    if (response["result"]["truncated"] == true) ++truncated;
    for (const auto& t : response["result"]["targets"]) EXPECT_TRUE(t["role"].is_string());
  }
  EXPECT_EQ(fixture->command("churn-stop"), "ok");
  // Some scans met a button that was gone by the time its own reads came.
  EXPECT_GT(truncated, 0);
  RecordProperty("truncated_scans", truncated);
}

TEST_F(ObserveTest, HungApplicationFailsAfterTheMessagingTimeout) {
  start("observe");
  ASSERT_EQ(kill(fixture->pid(), SIGSTOP), 0);
  const auto started = std::chrono::steady_clock::now();
  Json response = helper->request(
      {{"id", 4}, {"method", "observe"}, {"app", app}, {"window_id", window}});
  const auto took = std::chrono::steady_clock::now() - started;
  kill(fixture->pid(), SIGCONT);
  EXPECT_EQ(response["error"]["code"], "ax_error") << response.dump();
  EXPECT_EQ(response["error"]["ax_status"], -25204);
  EXPECT_LT(took, 1500ms);
  // Once the application answers again, so does the helper.
  EXPECT_EQ(call("observe")["tree"]["role"], "AXWindow");
}

}  // namespace
}  // namespace velmaris::testing
