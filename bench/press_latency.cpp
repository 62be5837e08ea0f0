// Latency of a verified press through the real velmaris-gui on the fixture's "Press me"
// button: "observe", "press_target" by role and label, and confirming observations until the
// counter's new text shows, side by side with a dogtail-style find + press + read of the same
// button through pyatspi (bench/reference_walk.py "press"); the two alternate, run by run.
// Prints the medians in milliseconds and the ratio as one JSON line. Run it on a desktop with
// an accessibility bus, e.g.:
//
//   scripts/virtual-desktop -- build/bin/bench_press_latency [runs [--each]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "median.h"

namespace {

using Json = nlohmann::json;
using velmaris::testing::Fixture;
using velmaris::testing::Helper;
using velmaris::testing::Process;

bool hasLabel(const Json& node, const std::string& label) {
  if (node.value("label", Json()) == label) return true;
  for (const Json& child : node.value("children", Json::array()))
    if (hasLabel(child, label)) return true;
  return false;
}

[[noreturn]] void fail(const std::string& what, const Json& response) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), response.dump().c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::string app = "org.velmaris.Press";
  Fixture fixture({"--app-id=" + app, "--title=Press", "--widgets=observe"});
  Helper helper;
  Json windows = helper.request({{"id", 1}, {"method", "windows"}, {"app", app}});
  const std::int64_t window = windows["result"]["windows"][0]["window_id"];
  const Json observe = {{"id", 2}, {"method", "observe"}, {"app", app}, {"window_id", window}};

  Process reference({"/usr/bin/python3", std::string(VELMARIS_SOURCE_DIR) + "/bench/reference_walk.py",
                     std::to_string(fixture.pid())});
  if (!reference.readLine(std::chrono::milliseconds(60000))) {
    std::fprintf(stderr, "reference did not start: %s\n", reference.errorText().c_str());
    return 1;
  }

  int presses = 0;  // the counter reads "Pressed N" after N presses
  auto helperPress = [&] {
    const std::string expected = "Pressed " + std::to_string(++presses);
    Json first = helper.request(observe);
    if (!first.contains("result")) fail("observe", first);
    Json pressed = helper.request({{"id", 3},
                                   {"method", "press_target"},
                                   {"app", app},
                                   {"window_id", window},
                                   {"observation_id", first["result"]["observation_id"]},
                                   {"role", "AXButton"},
                                   {"label", "Press me"}});
    if (!pressed.contains("result")) fail("press_target", pressed);
    for (int i = 0; i < 200; ++i) {
      Json confirm = helper.request(observe);
      if (!confirm.contains("result")) fail("observe", confirm);
      if (hasLabel(confirm["result"]["tree"], expected)) return;
    }
    fail("the press never showed", Json(expected));
  };
  auto referencePress = [&] {
    const std::string expected = "Pressed " + std::to_string(++presses);
    if (!reference.write("press Press me\t" + expected + "\n")) fail("reference", Json());
    auto line = reference.readLine(std::chrono::milliseconds(60000));
    if (!line) fail("reference", Json(reference.errorText()));
    Json answer = Json::parse(*line);
    if (!answer.value("changed", false)) fail("reference press never showed", answer);
  };
  auto timed = [](const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  };

  helperPress();  // warm-up of both
  referencePress();
  std::vector<double> helperMs, referenceMs;
  for (int i = 0; i < runs; ++i) {
    helperMs.push_back(timed(helperPress));
    referenceMs.push_back(timed(referencePress));
  }
  const double h = median(helperMs), r = median(referenceMs);
  Json report = {{"runs", runs},
                 {"verified_press_median_ms", h},
                 {"reference_press_median_ms", r},
                 {"reference_over_verified_press", r / h}};
  if (argc > 2 && std::string(argv[2]) == "--each") {
    report["verified_press_ms"] = helperMs;
    report["reference_ms"] = referenceMs;
  }
  std::printf("%s\n", report.dump().c_str());
  return 0;
}
