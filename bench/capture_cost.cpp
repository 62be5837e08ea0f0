// The cost of a window image: "observe" with and without "include_image" through the real
// velmaris-gui, on fixture windows of 800 × 600 and 1600 × 1000 points (client area; the
// window manager's decorations come on top), alternating run by run. Prints, per size, the
// medians in milliseconds and the median cost of the image as one JSON line.
// Run it on a desktop with an accessibility bus and Composite, e.g.:
//
//   scripts/virtual-desktop -- build/bin/bench_capture_cost [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "median.h"

namespace {

using Json = nlohmann::json;
using velmaris::testing::Fixture;
using velmaris::testing::Helper;

// Milliseconds for one request; exits when the answer lacks what a good one carries.
double timed(Helper& helper, const Json& request, const char* expectKey) {
  const auto start = std::chrono::steady_clock::now();
  Json response = helper.request(request);
  const auto end = std::chrono::steady_clock::now();
  if (!response.contains("result") || !response["result"].contains(expectKey)) {
    std::fprintf(stderr, "unexpected response: %.400s\n", response.dump().c_str());
    std::exit(1);
  }
  return std::chrono::duration<double, std::milli>(end - start).count();
}

Json measure(const std::string& size, int runs) {
  const std::string app = "org.velmaris.CaptureBench.w" + size;
  Fixture fixture({"--app-id=" + app, "--title=Capture bench", "--widgets=basic", "--size=" + size});
  Helper helper;
  Json windows = helper.request({{"id", 1}, {"method", "windows"}, {"app", app}});
  const std::int64_t window = windows["result"]["windows"][0]["window_id"];
  const Json plain = {{"id", 2}, {"method", "observe"}, {"app", app}, {"window_id", window}};
  Json withImage = plain;
  withImage["include_image"] = true;

  // Warm-up, also past the first second in which freshly redirected windows are waited for.
  for (int i = 0; i < 3; ++i) {
    timed(helper, plain, "tree");
    timed(helper, withImage, "visual");
  }
  std::vector<double> without, with;
  Json visual;
  for (int i = 0; i < runs; ++i) {
    without.push_back(timed(helper, plain, "tree"));
    const auto start = std::chrono::steady_clock::now();
    Json response = helper.request(withImage);
    with.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (!response["result"].contains("visual")) {
      std::fprintf(stderr, "no image: %.400s\n", response.dump().c_str());
      std::exit(1);
    }
    visual = response["result"]["visual"];
  }
  // Each pair ran back to back, so the median of the pairs' differences is the image's cost
  // with the machine's drift between pairs left out.
  std::vector<double> differences;
  for (std::size_t i = 0; i < with.size(); ++i) differences.push_back(with[i] - without[i]);
  const double a = median(without), b = median(with);
  return {{"client_size", size},
          {"image", std::to_string(visual["width"].get<int>()) + "x" +
                        std::to_string(visual["height"].get<int>())},
          {"jpeg_bytes", visual["bytes"]},
          {"observe_ms", a},
          {"observe_with_image_ms", b},
          {"image_cost_ms", median(differences)},
          {"runs", runs}};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  Json results = Json::array();
  for (const char* size : {"800x600", "1600x1000"}) results.push_back(measure(size, runs));
  std::printf("%s\n", results.dump().c_str());
  return 0;
}
