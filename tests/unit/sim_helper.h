// A helper built on the simulated desktop, for the unit tests of the request methods, and one
// element of it for the tests of the attribute readers.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "gui/ax_helper.h"
#include "platform/sim/sim_desktop.h"

namespace velmaris::testing {

struct SimHelper {
  platform::sim::SimDesktop desktop;
  platform::sim::TestClock clock;
  platform::Platform platform = desktop.platform(clock);
  std::optional<gui::AXHelper> helper;

  gui::AXHelper& ax() {
    if (!helper) helper.emplace(platform);
    return *helper;
  }
  gui::RequestDeadline deadline() { return gui::RequestDeadline(*platform.clock); }
};

// One button of one application, for the tests of the readers that take the platform itself.
struct ElementTest : ::testing::Test {
  SimHelper s;
  platform::Element e;
  void SetUp() override {
    s.desktop.addProcess(10, "org.example.App");
    e = s.desktop.addElement(10, "AXButton");
  }
  platform::Accessibility& ax() { return *s.platform.accessibility; }
};

// Runs `body` and returns the code of the HelperFailure it throws ("" if none).
template <typename F>
gui::HelperFailure failureOf(F&& body) {
  try {
    body();
  } catch (const gui::HelperFailure& f) {
    return f;
  }
  return gui::HelperFailure{};
}

// A failure in one line, so that one expectation states all of it: its code, stage,
// attribute and status ("-" for each it lacks), and whether input was attempted when that
// is known; "" for none.
inline std::string failureText(const gui::HelperFailure& f) {
  if (f.code.empty()) return "";
  std::string line = f.code + ' ' + f.stage.value_or("-") + ' ' + f.attribute.value_or("-") + ' ' +
                     (f.axStatus ? std::to_string(*f.axStatus) : "-");
  if (f.inputAttempted) line += *f.inputAttempted ? " input" : " no-input";
  return line;
}

// The failure `body` throws, in one line.
template <typename F>
std::string failureLine(F&& body) {
  return failureText(failureOf(std::forward<F>(body)));
}

}  // namespace velmaris::testing
