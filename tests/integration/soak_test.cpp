// A long run of the real helper against the GTK fixture: 10 000 mixed requests (observations
// with images, presses, value writes, selector presses, refusals) must leave its resident
// memory, open descriptors and threads where they were after a warm-up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "harness.h"
#include "readback.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

struct Usage {
  long residentKiB = 0;
  long threads = 0;
  long descriptors = 0;
};

Usage usageOf(pid_t pid) {
  Usage usage;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) usage.residentKiB = std::stol(line.substr(6));
    if (line.rfind("Threads:", 0) == 0) usage.threads = std::stol(line.substr(8));
  }
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  usage.descriptors = std::distance(fds, std::filesystem::directory_iterator());
  return usage;
}

TEST(Soak, TenThousandMixedRequestsLeaveNoTrace) {
  const std::string app = "org.velmaris.Soak";
  Fixture fixture({"--app-id=" + app, "--title=Soak", "--widgets=actions"});
  Helper helper;
  int id = 0;
  auto send = [&](Json request) {
    request["id"] = ++id;
    request["app"] = app;
    return helper.request(request, 10000ms);
  };
  const std::int64_t window = helper.onlyWindow(app);
  auto onWindow = [&](Json request) {
    request["window_id"] = window;
    return send(request);
  };
  auto refOf = [](const Json& observation, const std::string& identifier) {
    const Json* node = findNode(observation["tree"], "identifier", identifier);
    return node ? node->value("element_ref", "gone") : std::string("gone");
  };

  // One round of twenty requests; every answer is checked for its kind only. An application
  // slow to answer under load (-25204) is an answer too.
  int failures = 0;
  auto expect = [&](const Json& response, const char* key, const char* code = nullptr) {
    const Json error = response.value("error", Json::object());
    const bool ok = (response.contains(key) &&
                     (!code || error.value("code", "") == std::string(code))) ||
                    error.value("ax_status", 0) == -25204;
    if (!ok && ++failures <= 5) ADD_FAILURE() << response.dump().substr(0, 300);
  };
  // An observation's result; nothing when the application was too slow to answer, and the
  // requests that would act through it are left out.
  auto observe = [&](Json request) -> std::optional<Json> {
    Json response = onWindow(std::move(request));
    expect(response, "result");
    if (!response.contains("result")) return std::nullopt;
    return response["result"];
  };
  auto round = [&](int n) {
    if (auto seen = observe({{"method", "observe"}, {"include_image", true}}))
      expect(onWindow({{"method", "press"},
                       {"observation_id", (*seen)["observation_id"]},
                       {"element_ref", refOf(*seen, "fixture.press")}}),
             "result");
    const auto plain = observe({{"method", "observe"}});
    auto write = [&](const char* value) {
      return onWindow({{"method", "set_value"},
                       {"observation_id", (*plain)["observation_id"]},
                       {"element_ref", refOf(*plain, "fixture.entry")},
                       {"value", value}});
    };
    if (plain) expect(write(("soak " + std::to_string(n)).c_str()), "result");
    if (auto targets = observe({{"method", "observe_targets"}}))
      expect(onWindow({{"method", "press_target"},
                       {"observation_id", (*targets)["observation_id"]},
                       {"role", "AXButton"},
                       {"label", "Press me"}}),
             "result");
    expect(send({{"method", "windows"}}), "result");
    // Refusals: a spent observation, a line that is no JSON, a method that does not exist.
    if (plain) expect(write("late"), "error", "observation_unavailable");
    for (int i = 0; i < 4; ++i) {
      ++id;
      expect(Json::parse(helper.ask("{\"id\":").value_or("{}")), "error", "invalid_json");
      expect(onWindow({{"method", "scroll"}}), "error", "unknown_method");
      expect(onWindow({{"method", "press"}, {"observation_id", "x"}}), "error", "invalid_input");
    }
  };

  const auto start = std::chrono::steady_clock::now();
  for (int n = 0; n < 150; ++n) round(n);  // warm-up: bounded caches filled, pools, the capture's threads
  const Usage warm = usageOf(helper.pid());
  for (int n = 150; n < 500; ++n) round(n);
  const Usage after = usageOf(helper.pid());
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(failures, 0);
  EXPECT_LE(after.residentKiB - warm.residentKiB, 2048)
      << warm.residentKiB << " KiB after warm-up, " << after.residentKiB << " KiB at the end";
  EXPECT_LE(after.descriptors, warm.descriptors);
  EXPECT_LE(after.threads, warm.threads);
  std::printf("soak: %d requests in %.1f s; resident %ld -> %ld KiB, descriptors %ld -> %ld, "
              "threads %ld -> %ld\n",
              id, std::chrono::duration<double>(took).count(), warm.residentKiB, after.residentKiB,
              warm.descriptors, after.descriptors, warm.threads, after.threads);
}

}  // namespace
}  // namespace velmaris::testing
