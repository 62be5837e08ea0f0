// A simulated application with one registered window, and small builders for element
// trees under it, for the tests of observation, targets and selectors.
#pragma once

#include <optional>
#include <string>

#include "sim_helper.h"

namespace velmaris::testing {

struct TreeTest : ::testing::Test {
  SimHelper s;
  const std::string app = "org.example.App";
  platform::Element window;

  void SetUp() override {
    s.desktop.addProcess(10, app);
    window = s.desktop.addWindow(10, "Main");
  }

  // The window's handle, registered through "windows" on first use.
  std::int64_t windowID() {
    if (!registered_) {
      s.ax().windowsResult(app, s.deadline());
      registered_ = true;
    }
    return 1;
  }

  platform::Element add(const platform::Element& parent, const std::string& role,
                        std::optional<std::string> title = std::nullopt) {
    platform::Element e = s.desktop.addElement(10, role, std::move(title));
    s.desktop.addChild(parent, e);
    return e;
  }
  platform::Element button(const platform::Element& parent, const std::string& title) {
    platform::Element b = add(parent, "AXButton", title);
    s.desktop.element(b).actions = {"AXPress"};
    s.desktop.attribute(b, "AXEnabled").value = platform::AttributeValue::ofBoolean(true);
    return b;
  }
  platform::Element textField(const platform::Element& parent, const std::string& text) {
    platform::Element f = add(parent, "AXTextField");
    s.desktop.setString(f, "AXValue", text);
    s.desktop.attribute(f, "AXValue").settable = true;
    s.desktop.attribute(f, "AXEnabled").value = platform::AttributeValue::ofBoolean(true);
    return f;
  }
  // `count` plain groups under `parent`.
  void fill(const platform::Element& parent, int count) {
    for (int i = 0; i < count; ++i) add(parent, "AXGroup");
  }
  // A chain of `levels` groups below `parent`; returns the deepest.
  platform::Element chain(platform::Element parent, int levels) {
    for (int i = 0; i < levels; ++i) parent = add(parent, "AXGroup");
    return parent;
  }

  gui::Json observe() { return s.ax().observeResult(app, windowID(), s.deadline()); }
  gui::Json targets() { return s.ax().observeTargetsResult(app, windowID(), s.deadline()); }
  const gui::ObservationRecord& record(const gui::Json& result) {
    return s.ax().observations.at(result["observation_id"].get<std::string>());
  }

 private:
  bool registered_ = false;
};

// Counts the nodes of an observed tree.
inline int nodeCount(const gui::Json& node) {
  int n = 1;
  for (const auto& child : node["children"]) n += nodeCount(child);
  return n;
}

}  // namespace velmaris::testing
