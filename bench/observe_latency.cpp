// Latency of "observe" and "observe_targets" through the real velmaris-gui on a fixture
// window of 128 elements, side by side in the same run with a reference walk of the same
// window that reads the same attributes through pyatspi (bench/reference_walk.py, run with
// Debian's python3); the three alternate, run by run. Prints the medians in milliseconds,
// the ratios, and the CPU time the application and the client (helper or pyatspi) spent per
// observation and per walk (the scheduler's count of every thread), as one JSON line.
// Run it on a desktop with an accessibility bus, e.g.:
//
//   scripts/virtual-desktop -- build/bin/bench_observe_latency [runs [--each]]
//
// With --each, every run's times are printed too.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "median.h"

namespace {

using Json = nlohmann::json;
using velmaris::testing::Fixture;
using velmaris::testing::Helper;
using velmaris::testing::Process;

// CPU time of a process, all threads, in milliseconds: the scheduler's nanosecond count of
// each thread (/proc/PID/task/TID/schedstat), precise enough for one observation; the clock
// ticks of /proc/PID/stat (10 ms) only meant something summed over many runs.
double cpuMs(pid_t pid) {
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  double total = 0;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "schedstat");
    double ns = 0;
    if (in >> ns) total += ns / 1e6;
  }
  return total;
}

// CPU spent by each of `pids` while `work` runs, added to `sums`.
template <typename Work>
void addCpu(const std::vector<pid_t>& pids, std::vector<double>& sums, Work&& work) {
  std::vector<double> before;
  for (pid_t pid : pids) before.push_back(cpuMs(pid));
  work();
  for (std::size_t i = 0; i < pids.size(); ++i) sums[i] += cpuMs(pids[i]) - before[i];
}

double timedRequest(Helper& helper, const Json& request, const char* expectKey) {
  const auto start = std::chrono::steady_clock::now();
  Json response = helper.request(request);
  const auto end = std::chrono::steady_clock::now();
  if (!response.contains("result") || !response["result"].contains(expectKey)) {
    std::fprintf(stderr, "unexpected response: %s\n", response.dump().c_str());
    std::exit(1);
  }
  return std::chrono::duration<double, std::milli>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  const std::string app = "org.velmaris.Bench";
  Fixture fixture({"--app-id=" + app, "--title=Bench", "--widgets=bench"});
  Helper helper;
  Json windows = helper.request({{"id", 1}, {"method", "windows"}, {"app", app}});
  const std::int64_t window = windows["result"]["windows"][0]["window_id"];
  const Json observe = {{"id", 2}, {"method", "observe"}, {"app", app}, {"window_id", window}};
  const Json targets = {
      {"id", 3}, {"method", "observe_targets"}, {"app", app}, {"window_id", window}};

  // The reference walk works on the same window in the same run, one walk per line it
  // reads, so that its walks alternate with the helper's requests under the same load.
  Process reference({"/usr/bin/python3", std::string(VELMARIS_SOURCE_DIR) + "/bench/reference_walk.py",
                     std::to_string(fixture.pid())});
  auto walkOnce = [&]() -> Json {
    if (!reference.write("walk\n")) return nullptr;
    auto line = reference.readLine(std::chrono::milliseconds(60000));
    if (!line) return nullptr;
    return Json::parse(*line);
  };
  if (!reference.readLine(std::chrono::milliseconds(60000))) {
    std::fprintf(stderr, "reference walk did not start: %s\n", reference.errorText().c_str());
    return 1;
  }

  // Warm-up of both, and the element counts.
  Json first = helper.request(observe);
  helper.request(targets);
  Json firstWalk = walkOnce();
  if (firstWalk.is_null()) {
    std::fprintf(stderr, "reference walk failed: %s\n", reference.errorText().c_str());
    return 1;
  }
  const auto visited = first["result"]["visited_elements"];
  std::vector<double> observeMs, targetsMs, referenceMs;
  // CPU sums: [application, client] during observes and during reference walks.
  std::vector<double> observeCpu(2), walkCpu(2);
  const pid_t helperPid = helper.pid();
  for (int i = 0; i < runs; ++i) {
    addCpu({fixture.pid(), helperPid}, observeCpu,
           [&] { observeMs.push_back(timedRequest(helper, observe, "tree")); });
    targetsMs.push_back(timedRequest(helper, targets, "targets"));
    Json walk;
    addCpu({fixture.pid(), reference.pid()}, walkCpu, [&] { walk = walkOnce(); });
    if (walk.is_null()) return 1;
    referenceMs.push_back(walk["ms"].get<double>());
  }
  Json walk = firstWalk;

  const double o = median(observeMs), t = median(targetsMs), r = median(referenceMs);
  Json report = {{"runs", runs},
                 {"visited_elements", visited},
                 {"reference_nodes", walk["nodes"]},
                 {"observe_median_ms", o},
                 {"observe_targets_median_ms", t},
                 {"reference_walk_median_ms", r},
                 {"reference_over_observe", r / o},
                 {"reference_over_observe_targets", r / t},
                 {"observe_app_cpu_ms", observeCpu[0] / runs},
                 {"observe_helper_cpu_ms", observeCpu[1] / runs},
                 {"reference_app_cpu_ms", walkCpu[0] / runs},
                 {"reference_client_cpu_ms", walkCpu[1] / runs}};
  if (argc > 2 && std::string(argv[2]) == "--each") {
    report["observe_ms"] = observeMs;
    report["observe_targets_ms"] = targetsMs;
    report["reference_ms"] = referenceMs;
  }
  std::printf("%s\n", report.dump().c_str());
  return 0;
}
