// "observe" and "observe_targets" of the real helper on a virtual desktop, against the GTK
// fixture's widget sets: how a real GTK window maps to the tree and the target list, and
// elements the application destroys while a scan runs.
#include <gtest/gtest.h>

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
  Json call(const std::string& method) {
    Json response = helper->request({{"id", 2}, {"method", method}, {"app", app}, {"window_id", window}});
    EXPECT_TRUE(response.contains("result")) << response.dump().substr(0, 400);
    return response.value("result", Json::object());
  }
};

// Bounds in screen points, inside the window's own, with a real size.
void expectPlausibleBounds(const Json& node, const Json& window) {
  ASSERT_TRUE(node.contains("bounds")) << node.dump();
  const Json &b = node["bounds"], &w = window["bounds"];
  EXPECT_EQ(b["origin"], "global_top_left");
  const double x = b["x"], y = b["y"], width = b["width"], height = b["height"];
  EXPECT_TRUE(width > 0 && height > 0 && x >= w["x"].get<double>() && y >= w["y"].get<double>() &&
              x + width <= w["x"].get<double>() + w["width"].get<double>() &&
              y + height <= w["y"].get<double>() + w["height"].get<double>())
      << b.dump() << " in " << w.dump();
}

TEST_F(ObserveTest, TreeAndTargetsOfARealWindow) {
  start("observe");
  Json r = call("observe");
  EXPECT_EQ(r["truncated"], false);
  const Json& tree = r["tree"];
  EXPECT_EQ(r["visited_elements"], nodeCount(tree));
  EXPECT_EQ(tree["role"], "AXWindow");
  EXPECT_EQ(tree["label"], "Observe");

  struct Expected {
    std::string identifier, role;
    Json label, value, actions;
    bool enabled, settable;
  };
  const std::vector<Expected> widgets = {
      {"fixture.press", "AXButton", "Press me", nullptr, {"AXPress"}, true, false},
      {"fixture.entry", "AXTextField", nullptr, "hello", {"AXConfirm"}, true, true},
      {"fixture.check", "AXCheckBox", "Check me", 0, {"AXPress"}, true, false},
      {"fixture.spin", "AXIncrementor", nullptr, 5.0, {"AXConfirm", "AXDecrement", "AXIncrement"}, true, true},
      {"fixture.slider", "AXSlider", "30", 30.0, {"AXDecrement", "AXIncrement"}, true, true},
      {"fixture.disabled", "AXButton", "Disabled", nullptr, {"AXPress"}, false, false},
      {"fixture.same.a", "AXButton", "Same", nullptr, {"AXPress"}, true, false},
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
    expectPlausibleBounds(*node, tree);
  }
  // Plain text: no actions, not settable, so its identifier is not shown.
  const Json* heading = findNode(tree, "label", "Pressed 0");
  ASSERT_NE(heading, nullptr);
  EXPECT_EQ((*heading)["role"], "AXStaticText");
  EXPECT_EQ((*heading)["value"], "Pressed 0");
  EXPECT_TRUE((*heading)["identifier"].is_null());
  // A closed menu has no items.
  const Json* menu = findNode(tree, "identifier", "fixture.menu");
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ((*menu)["role"], "AXMenu");
  EXPECT_EQ((*menu)["children"].size(), 0u);
  int disabledDepth = 0;  // its box of one child only passes it on
  eachNode(tree, [&](const Json& n, int d) { if (n["identifier"] == "fixture.disabled") disabledDepth = d; });
  EXPECT_EQ(disabledDepth, 2);

  r = call("observe_targets");
  using Target = std::tuple<std::string, Json, Json>;  // role, label, identifier
  std::multiset<Target> listed;
  for (const auto& t : r["targets"]) listed.insert(Target(t["role"], t["label"], t["identifier"]));
  // A scrolled window's scroll bars have a value that can be written: they and their pane
  // are targets too; the lines of text they scroll are not.
  const std::multiset<Target> expected = {
      {"AXButton", "Press me", "fixture.press"},
      {"AXTextField", nullptr, "fixture.entry"},
      {"AXCheckBox", "Check me", "fixture.check"},
      {"AXIncrementor", nullptr, "fixture.spin"},
      {"AXSlider", "30", "fixture.slider"},
      {"AXButton", "Disabled", "fixture.disabled"},
      {"AXButton", "Same", "fixture.same.a"},
      {"AXButton", "Same", "fixture.same.b"},
      {"AXButton", "Doomed", "fixture.doomed"},
      {"AXMenu", "File", "fixture.menu"},  // its closed menu's items are none
      // and the hidden "fixture.hidden" button is no child at all
      {"AXScrollArea", nullptr, "fixture.scroll"},
      {"AXScrollBar", nullptr, nullptr},
      {"AXScrollBar", nullptr, nullptr},
  };
  EXPECT_EQ(listed, expected);
}

TEST_F(ObserveTest, ElementsDestroyedDuringAScan) {
  start("churn");
  int truncated = 0;
  for (int i = 0; i < 40; ++i) {
    const Json result = call("observe_targets");
    if (result["truncated"] == true) ++truncated;
    for (const auto& t : result["targets"]) EXPECT_TRUE(t["role"].is_string());
  }
  // Some scans met a button that was gone by the time its own reads came.
  EXPECT_GT(truncated, 0);
}

}  // namespace
}  // namespace velmaris::testing
