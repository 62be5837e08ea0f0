// Real applications of the toolkits whose accessibility differs most from the GTK 3 fixture's
// (Qt 6, GTK 4): the helper must never harm them, must report what a user can use as enabled,
// and must place elements in screen coordinates. One application per case, on this test's
// virtual desktop; each step is followed by a check that the application still runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "readback.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

struct RealApplication {
  const char* name;
  std::vector<std::string> command;
  const char* key;
  const char* pressRole;   // an enabled, visible button-like element, found by role and label;
                           // pressing it must show the write target
  const char* pressLabel;
  const char* writeRole;   // the first enabled, settable element of this role
  Json value;
  int disabled;  // elements the application itself shows disabled, at most
};

// Why these two: Qt's adaptor crashed on a whole-interface property read, and its top level is
// a filler, not a frame; GTK 4 publishes "sensitive" but never "enabled".
const RealApplication kApplications[] = {
    {"qt6ct", {"qt6ct"}, "qt6ct", "AXRadioButton", "Interface", "AXIncrementor", 500, 8},
    {"gnome_calculator", {"gnome-calculator"}, "org.gnome.Calculator", "AXButton", "7 7",
     "AXTextArea", "12+3", 0},
};

class RealApplications : public ::testing::TestWithParam<RealApplication> {};

TEST_P(RealApplications, SurviveEveryMethodAndReportEnabledElementsOnScreen) {
  const RealApplication& spec = GetParam();
  Application app(spec.command);
  Helper helper;
  std::int64_t id = 0;
  auto ask = [&](Json request) {
    request["id"] = ++id;
    request["app"] = spec.key;
    Json response = helper.request(request, 10000ms);
    EXPECT_FALSE(app.ended()) << spec.name << " died after " << request["method"];
    return response;
  };
  // Hidden widgets (Qt keeps the other pages of a tab widget) have no bounds: only shown ones.
  auto find = [](const Json& targets, const char* role, const char* label, const char* flag) {
    for (const auto& target : targets)
      if (target["role"] == role && target[flag] == true && target.contains("bounds") &&
          (!label || target["label"] == label))
        return target;
    return Json();
  };

  Json r;
  eventually([&] {  // registration follows the window
    r = ask({{"method", "windows"}});
    return r.contains("result") && !r["result"]["windows"].empty();
  }, 10s, 200ms);
  ASSERT_FALSE(r["result"]["windows"].empty()) << r.dump();
  const Json window = r["result"]["windows"][0]["window_id"];

  r = ask({{"method", "observe"}, {"window_id", window}});
  ASSERT_TRUE(r.contains("result")) << r.dump();
  int nodes = 0, enabled = 0;
  eachNode(r["result"]["tree"], [&](const Json& n, int) { ++nodes, enabled += n["enabled"] == true; });
  EXPECT_LE(nodes - enabled, spec.disabled) << nodes << " elements";

  r = ask({{"method", "observe_targets"}, {"window_id", window}});
  ASSERT_TRUE(r.contains("result")) << r.dump();
  const Json pressTarget = find(r["result"]["targets"], spec.pressRole, spec.pressLabel, "pressable");
  ASSERT_FALSE(pressTarget.is_null()) << r.dump();
  EXPECT_EQ(pressTarget["enabled"], true);
  // Screen coordinates: inside the application's window where the X server has it, which the
  // window manager placed away from the screen's origin.
  XDesktop desktop;
  const auto client = desktop.box(desktop.windowsOf(app.pid()).at(0));
  ASSERT_GT(client.x + client.y, 40);
  EXPECT_TRUE(inside(pressTarget["bounds"], client)) << pressTarget.dump();

  Json pressed = ask({{"method", "press"},
                      {"window_id", window},
                      {"observation_id", r["result"]["observation_id"]},
                      {"element_ref", pressTarget["element_ref"]}});
  EXPECT_EQ(pressed["result"]["action_accepted"], true) << pressed.dump();

  // The application may still be redrawing what the press changed, so a write can find the
  // value moved since its observation ("value_changed"): observe again and write once more.
  Json written;
  for (int attempt = 0; attempt < 3; attempt++) {
    r = ask({{"method", "observe_targets"}, {"window_id", window}});
    const Json writeTarget = find(r["result"]["targets"], spec.writeRole, nullptr, "settable");
    ASSERT_FALSE(writeTarget.is_null()) << r.dump();
    EXPECT_EQ(writeTarget["enabled"], true);
    EXPECT_TRUE(inside(writeTarget["bounds"], client)) << writeTarget.dump();
    written = ask({{"method", "set_value"},
                   {"window_id", window},
                   {"observation_id", r["result"]["observation_id"]},
                   {"element_ref", writeTarget["element_ref"]},
                   {"value", spec.value}});
    if (written.value("error", Json::object()).value("code", "") != "value_changed") break;
  }
  EXPECT_EQ(written["result"]["value_verified"], true) << written.dump();

  r = ask({{"method", "observe"}, {"window_id", window}});
  EXPECT_TRUE(r.contains("result")) << r.dump();
}

INSTANTIATE_TEST_SUITE_P(Toolkits, RealApplications, ::testing::ValuesIn(kApplications),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmaris::testing
