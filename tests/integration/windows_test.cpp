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

// The same AT-SPI window is the same element on every request: it keeps its handle.
TEST(Windows, ListsTheFixturesWindowsWithStableHandles) {
  Fixture fixture({"--app-id=" + std::string(kApp), "--title=Alpha", "--windows=2"}, 2);
  Helper helper;

  Json r = windows(helper);
  ASSERT_EQ(r["result"]["windows"].size(), 2u) << r.dump();
  EXPECT_EQ(r["result"]["process_id"], fixture.pid());
  std::set<std::string> titles;
  for (const Json& w : r["result"]["windows"]) titles.insert(w["title"].get<std::string>());
  EXPECT_EQ(titles, (std::set<std::string>{"Alpha 1", "Alpha 2"}));
  EXPECT_EQ(r["result"]["capabilities"]["screen_capture"], true);  // Xvfb has Composite

  const auto first = handles(r);
  fixture.openWindow("Beta");
  ASSERT_TRUE(fixture.waitForWindows(3));
  auto third = handles(windows(helper));
  std::sort(third.begin(), third.end());
  EXPECT_EQ(third, (std::vector<std::int64_t>{first[0], first[1], std::max(first[0], first[1]) + 1}));
  EXPECT_EQ(helper.errorText(), "");
}

// Top-level accessible children that are no windows (fillers without an X window) are not
// listed; thousands of them are refused as too many, in time, without reading them all.
TEST(Windows, TopLevelsWithoutAWindowAndHugeListsOfThem) {
  for (const int extra : {120, 5000}) {
    Fixture fixture({"--app-id=" + std::string(kApp), "--title=Solo",
                     "--top-level-children=" + std::to_string(extra)});
    Helper helper;
    const auto start = std::chrono::steady_clock::now();
    Json r = windows(helper);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
    if (extra == 5000) {
      EXPECT_EQ(r["error"]["code"], "window_limit_exceeded") << r.dump();
    } else {
      ASSERT_EQ(r["result"]["windows"].size(), 1u) << r.dump();
      EXPECT_EQ(r["result"]["windows"][0]["title"], "Solo");
    }
  }
}

}  // namespace
}  // namespace velmaris::testing
