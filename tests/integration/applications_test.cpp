// Real applications of the toolkits whose accessibility differs most from the GTK 3 fixture's
// (Qt 6, GTK 4): the helper must never harm them, must report what a user can use as enabled,
// and must place elements in screen coordinates. One application per case, on this test's
// virtual desktop; each step is followed by a check that the application still runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

#include "harness.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
  bool contains(const Json& bounds) const {
    const double bx = bounds["x"], by = bounds["y"], bw = bounds["width"], bh = bounds["height"];
    return bw > 0 && bh > 0 && bx >= x && by >= y && bx + bw <= x + width && by + bh <= y + height;
  }
};

// The screen rectangle of the first client window the window manager lists for `pid`.
Rect clientRect(pid_t pid) {
  std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> c(xcb_connect(nullptr, nullptr),
                                                                 &xcb_disconnect);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c.get())).data->root;
  auto atom = [&](const std::string& name) {
    auto* reply = xcb_intern_atom_reply(
        c.get(), xcb_intern_atom(c.get(), 0, std::uint16_t(name.size()), name.c_str()), nullptr);
    const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return value;
  };
  auto property = [&](xcb_window_t window, xcb_atom_t name, xcb_atom_t type) {
    return std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)>(
        xcb_get_property_reply(c.get(), xcb_get_property(c.get(), 0, window, name, type, 0, 4096),
                               nullptr),
        &std::free);
  };
  auto list = property(root, atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
  if (!list) return {};
  const auto* windows = static_cast<xcb_window_t*>(xcb_get_property_value(list.get()));
  for (int i = 0; i < xcb_get_property_value_length(list.get()) / 4; ++i) {
    auto owner = property(windows[i], atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
    if (!owner || xcb_get_property_value_length(owner.get()) != 4 ||
        *static_cast<std::uint32_t*>(xcb_get_property_value(owner.get())) != std::uint32_t(pid))
      continue;
    auto* geometry =
        xcb_get_geometry_reply(c.get(), xcb_get_geometry(c.get(), windows[i]), nullptr);
    auto* origin = xcb_translate_coordinates_reply(
        c.get(), xcb_translate_coordinates(c.get(), windows[i], root, 0, 0), nullptr);
    Rect rect;
    if (geometry && origin) rect = {origin->dst_x, origin->dst_y, geometry->width, geometry->height};
    std::free(geometry);
    std::free(origin);
    return rect;
  }
  return {};
}

void flatten(const Json& node, std::vector<Json>& out) {
  out.push_back(node);
  for (const auto& child : node["children"]) flatten(child, out);
}

struct RealApplication {
  const char* name;
  std::vector<std::string> command;
  const char* key;
  const char* pressRole;   // an enabled, visible button-like element, found by role and label;
                           // pressing it must show the write target
  const char* pressLabel;
  const char* writeRole;   // the first enabled, settable element of this role
  Json value;
};

// Why these two: Qt's adaptor crashed on a whole-interface property read, and its top level is
// a filler, not a frame; GTK 4 publishes "sensitive" but never "enabled".
const RealApplication kApplications[] = {
    {"qt6ct", {"qt6ct"}, "qt6ct", "AXRadioButton", "Interface", "AXIncrementor", 500},
    {"gnome_calculator", {"gnome-calculator"}, "org.gnome.Calculator", "AXButton", "7 7",
     "AXTextArea", "12+3"},
};

void PrintTo(const RealApplication& application, std::ostream* out) { *out << application.name; }

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
  for (int attempt = 0; attempt < 50; ++attempt) {  // registration follows the window
    r = ask({{"method", "windows"}});
    if (r.contains("result") && !r["result"]["windows"].empty()) break;
    std::this_thread::sleep_for(200ms);
  }
  ASSERT_FALSE(r["result"]["windows"].empty()) << r.dump();
  const Json window = r["result"]["windows"][0]["window_id"];

  r = ask({{"method", "observe"}, {"window_id", window}});
  ASSERT_TRUE(r.contains("result")) << r.dump();
  std::vector<Json> nodes;
  flatten(r["result"]["tree"], nodes);
  EXPECT_GT(std::count_if(nodes.begin(), nodes.end(), [](const Json& n) { return n["enabled"] == true; }),
            nodes.size() / 2);

  r = ask({{"method", "observe_targets"}, {"window_id", window}});
  ASSERT_TRUE(r.contains("result")) << r.dump();
  const Json pressTarget = find(r["result"]["targets"], spec.pressRole, spec.pressLabel, "pressable");
  ASSERT_FALSE(pressTarget.is_null()) << r.dump();
  EXPECT_EQ(pressTarget["enabled"], true);
  // Screen coordinates: inside the application's window where the X server has it, which the
  // window manager placed away from the screen's origin.
  const Rect client = clientRect(app.pid());
  ASSERT_GT(client.x + client.y, 40);
  EXPECT_TRUE(client.contains(pressTarget["bounds"])) << pressTarget.dump();

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
    EXPECT_TRUE(client.contains(writeTarget["bounds"])) << writeTarget.dump();
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
  EXPECT_EQ(helper.errorText(), "");
}

INSTANTIATE_TEST_SUITE_P(Toolkits, RealApplications, ::testing::ValuesIn(kApplications),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmaris::testing
