// A simulated application with one registered window, and small builders for element
// trees under it, for the tests of observation, targets, selectors and mutations.
#pragma once

#include <optional>
#include <string>

#include "common/json_writer.h"
#include "readback.h"
#include "sim_helper.h"

namespace velmaris::testing {

// The application and its window, built on construction; usable outside a fixture too.
struct SimApp {
  SimHelper s;
  const std::string app = "org.example.App";
  platform::Element window;

  SimApp() {
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
  // `n` elements below the window, in groups of at most 32.
  void spread(int n) {
    while (n > 0) {
      const int leaves = std::min(n - 1, 31);
      fill(add(window, "AXGroup"), leaves);
      n -= 1 + leaves;
    }
  }
  // A chain of `levels` groups below `parent`; returns the deepest.
  platform::Element chain(platform::Element parent, int levels) {
    for (int i = 0; i < levels; ++i) parent = add(parent, "AXGroup");
    return parent;
  }

  gui::Json observe() { return s.ax().observeResult(app, windowID(), s.deadline()); }
  gui::Json targets() { return s.ax().observeTargetsResult(app, windowID(), s.deadline()); }
  const gui::ObservationRecord& record(const gui::Json& result) {
    return s.ax().observations().records().at(result["observation_id"].get<std::string>());
  }
  // The ref under which `observation` recorded `e`.
  std::string refOf(const gui::Json& observation, const platform::Element& e) {
    for (const auto& [ref, observed] : record(observation).elements)
      if (observed.element.equals(e)) return ref;
    ADD_FAILURE() << "element not observed";
    return "";
  }

 private:
  bool registered_ = false;
};

struct TreeTest : ::testing::Test, SimApp {};

// A node or a target without its ref and its children: the refs differ on every run.
inline gui::Json stable(gui::Json node) {
  node.erase("element_ref");
  node.erase("children");
  return node;
}

// What the byte budget charges for a node (its children not yet added) or a target.
inline std::int64_t charge(const gui::Json& node) {
  return static_cast<std::int64_t>(writeJSON(node)->size()) + 4;
}

}  // namespace velmaris::testing
