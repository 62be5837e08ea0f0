// Latency of "windows" through the real velmaris-gui on the GTK fixture with three windows.
// Five runs of many requests each; prints every run's median and the median of those.
// Run it on a desktop with an accessibility bus, e.g.:
//
//   scripts/virtual-desktop -- build/bin/bench_windows_latency [requests per run]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "median.h"

namespace {

}  // namespace

int main(int argc, char** argv) {
  using velmaris::testing::Fixture;
  using velmaris::testing::Helper;
  const int requests = argc > 1 ? std::atoi(argv[1]) : 200;
  Fixture fixture({"--app-id=org.velmaris.Bench", "--title=Bench", "--windows=3"}, 3);
  std::vector<double> runMedians;
  for (int run = 0; run < 5; ++run) {
    Helper helper;
    const nlohmann::json request = {{"id", 1}, {"method", "windows"}, {"app", "org.velmaris.Bench"}};
    helper.request(request);  // start-up and first contact are not measured
    std::vector<double> times;
    for (int i = 0; i < requests; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const nlohmann::json response = helper.request(request);
      const auto end = std::chrono::steady_clock::now();
      if (!response.contains("result")) {
        std::fprintf(stderr, "unexpected response: %s\n", response.dump().c_str());
        return 1;
      }
      times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    runMedians.push_back(median(times));
    std::printf("run %d: median %.3f ms over %d requests\n", run + 1, runMedians.back(), requests);
  }
  std::printf("windows latency: median of 5 run medians %.3f ms\n", median(runMedians));
  return 0;
}
