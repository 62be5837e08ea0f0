// "windows" and the request channel of the real helper on a virtual desktop, against the
// GTK fixture: handles, restarts, process resolution, a missing accessibility bus, and a
// hundred-megabyte line through a real pipe.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <set>
#include <string>

#include "harness.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

const char* const kApp = "org.velmaris.WindowsTest";

Json windows(Helper& helper, const std::string& app = kApp) {
  return helper.request(Json{{"id", 1}, {"method", "windows"}, {"app", app}});
}

std::vector<std::int64_t> handles(const Json& response) {
  std::vector<std::int64_t> out;
  for (const Json& w : response["result"]["windows"]) out.push_back(w["window_id"].get<std::int64_t>());
  return out;
}

// Peak resident memory of a process, in kB.
long peakResidentKB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST(Windows, ListsTheFixturesWindowsWithStableHandles) {
  Fixture fixture({"--app-id=" + std::string(kApp), "--title=Alpha", "--windows=2"}, 2);
  Helper helper;

  Json r = windows(helper);
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_EQ(r["result"]["process_id"], fixture.pid());
  ASSERT_EQ(r["result"]["windows"].size(), 2u) << r.dump();
  std::set<std::string> titles;
  for (const Json& w : r["result"]["windows"]) {
    EXPECT_EQ(w["role"], "AXWindow");
    titles.insert(w["title"].get<std::string>());
  }
  EXPECT_EQ(titles, (std::set<std::string>{"Alpha 1", "Alpha 2"}));
  const Json& caps = r["result"]["capabilities"];
  EXPECT_EQ(caps.size(), 8u);
  EXPECT_EQ(caps["screen_capture"], true);  // Xvfb has Composite
  EXPECT_EQ(caps["press"], true);

  const auto first = handles(r);
  EXPECT_EQ(handles(windows(helper)), first);

  fixture.openWindow("Beta");
  ASSERT_TRUE(fixture.waitForWindows(3));
  const auto third = handles(windows(helper));
  ASSERT_EQ(third.size(), 3u);
  EXPECT_EQ(std::count(third.begin(), third.end(), first[0]), 1);
  EXPECT_EQ(std::count(third.begin(), third.end(), first[1]), 1);
  EXPECT_GT(*std::max_element(third.begin(), third.end()), *std::max_element(first.begin(), first.end()));
  EXPECT_EQ(helper.errorText(), "");
}

// Top-level accessible children that are no windows (fillers without an X window) are not
// listed; thousands of them are refused as too many, in time, without reading them all.
TEST(Windows, TopLevelsWithoutAWindowAndHugeListsOfThem) {
  struct Case {
    int extra;
    const char* code;  // null: listed
  } cases[] = {{120, nullptr}, {5000, "window_limit_exceeded"}};
  for (const Case& c : cases) {
    Fixture fixture({"--app-id=" + std::string(kApp), "--title=Solo",
                     "--top-level-children=" + std::to_string(c.extra)});
    Helper helper;
    const auto start = std::chrono::steady_clock::now();
    Json r = windows(helper);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
    if (c.code) {
      EXPECT_EQ(r["error"]["code"], c.code) << r.dump();
    } else {
      ASSERT_EQ(r["result"]["windows"].size(), 1u) << r.dump();
      EXPECT_EQ(r["result"]["windows"][0]["title"], "Solo");
    }
  }
}

TEST(Windows, ARestartedApplicationGetsNewHandles) {
  Helper helper;
  std::vector<std::int64_t> before;
  {
    Fixture fixture({"--app-id=" + std::string(kApp), "--title=Gamma"});
    before = handles(windows(helper));
    ASSERT_EQ(before.size(), 1u);
  }
  Fixture again({"--app-id=" + std::string(kApp), "--title=Gamma"});
  const auto after = handles(windows(helper));
  ASSERT_EQ(after.size(), 1u);
  EXPECT_GT(after[0], before[0]);
  // The old handle names a window of a process that is gone.
  Json r = helper.request(Json{{"id", 2}, {"method", "observe"}, {"app", kApp}, {"window_id", before[0]}});
  EXPECT_EQ(r["error"]["code"], "process_identity_changed") << r.dump();
}

TEST(Windows, ResolvesExactlyOneProcess) {
  Helper helper;
  EXPECT_EQ(windows(helper, "org.velmaris.NotRunning")["error"]["code"], "process_not_found");

  Fixture one({"--app-id=" + std::string(kApp), "--title=One"});
  Fixture two({"--app-id=" + std::string(kApp), "--title=Two"});
  Json r = windows(helper);
  EXPECT_EQ(r["error"]["code"], "ambiguous_process") << r.dump();

  // A program without an application id is known by its executable's name.
  Fixture plain({"--title=Plain"});
  r = windows(helper, "velmaris-fixture");
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_EQ(r["result"]["process_id"], plain.pid());
}

TEST(Windows, WithoutAnAccessibilityBusOnlyAccessibilityMethodsAreRefused) {
  Fixture fixture({"--app-id=" + std::string(kApp), "--title=Delta"});
  const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  Helper helper;
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);

  EXPECT_EQ(windows(helper)["error"]["code"], "accessibility_required");
  const Json refused[] = {
      {{"id", 2}, {"method", "observe"}, {"app", kApp}, {"window_id", 1}},
      {{"id", 2}, {"method", "observe_targets"}, {"app", kApp}, {"window_id", 1}},
      {{"id", 2}, {"method", "press"}, {"app", kApp}, {"window_id", 1}, {"observation_id", "o"},
       {"element_ref", "e"}},
      {{"id", 2}, {"method", "action"}, {"app", kApp}, {"window_id", 1}, {"observation_id", "o"},
       {"element_ref", "e"}, {"action", "AXPress"}},
      {{"id", 2}, {"method", "set_value"}, {"app", kApp}, {"window_id", 1}, {"observation_id", "o"},
       {"element_ref", "e"}, {"value", "v"}},
  };
  for (const Json& request : refused)
    EXPECT_EQ(helper.request(request)["error"]["code"], "accessibility_required") << request.dump();

  EXPECT_EQ(helper.errorText(), "");
}

TEST(Framing, AHundredMegabyteLineKeepsMemoryBounded) {
  Helper helper;
  ASSERT_TRUE(helper.requestLine(R"({"id":0})"));  // started and serving
  const long before = peakResidentKB(helper.process().pid());
  const std::string chunk(1 << 20, '[');
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(helper.writeRaw(chunk));
  EXPECT_EQ(helper.requestLine(""), R"({"error":{"code":"input_too_large"},"id":null})");
  const long after = peakResidentKB(helper.process().pid());
  EXPECT_LT(after - before, 2048) << "peak resident grew from " << before << " to " << after << " kB";

  // End of input ends the helper with status 0.
  helper.process().closeInput();
  EXPECT_EQ(helper.process().wait(5000ms), 0);
  EXPECT_EQ(helper.errorText(), "");
}

}  // namespace
}  // namespace velmaris::testing
