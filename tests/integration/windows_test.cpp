// "windows" of the real helper on a virtual desktop, against the GTK fixture: titles and
// handles of real windows, and top-level accessible children that are no windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>

#include "harness.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

const char* const kApp = "org.velmaris.WindowsTest";

Json windows(Helper& helper) {
  return helper.request(Json{{"id", 1}, {"method", "windows"}, {"app", kApp}});
}

std::vector<std::int64_t> handles(const Json& response) {
  std::vector<std::int64_t> out;
  for (const Json& w : response["result"]["windows"]) out.push_back(w["window_id"].get<std::int64_t>());
  return out;
}

// The same AT-SPI window is the same element on every request: it keeps its handle. Top-level
// accessible children that are no windows (fillers without an X window) are not listed.
TEST(Windows, ListsTheFixturesWindowsWithStableHandles) {
  Fixture fixture({"--app-id=" + std::string(kApp), "--title=Alpha", "--windows=2", "--top-level-children=120"}, 2);
  Helper helper;

  Json r = windows(helper);
  ASSERT_EQ(r["result"]["windows"].size(), 2u) << r.dump();
  std::set<std::string> titles;
  for (const Json& w : r["result"]["windows"]) titles.insert(w["title"].get<std::string>());
  EXPECT_EQ(titles, (std::set<std::string>{"Alpha 1", "Alpha 2"}));
  EXPECT_EQ(r["result"]["capabilities"]["screen_capture"], true);  // Xvfb has Composite

  const auto first = handles(r);
  ASSERT_EQ(fixture.ask("open-window Beta"), "ok");
  ASSERT_TRUE(fixture.waitForWindows(3));
  auto third = handles(windows(helper));
  std::sort(third.begin(), third.end());
  EXPECT_EQ(third, (std::vector<std::int64_t>{first[0], first[1], std::max(first[0], first[1]) + 1}));
}

// Thousands of top-level children are refused as too many, in time, without reading them all.
TEST(Windows, HugeListsOfTopLevelsAreRefusedInTime) {
  Fixture fixture({"--app-id=" + std::string(kApp), "--title=Solo", "--top-level-children=5000"});
  Helper helper;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(windows(helper)["error"]["code"], "window_limit_exceeded");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3500ms);
}

}  // namespace
}  // namespace velmaris::testing
