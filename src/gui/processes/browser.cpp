// "browser_status" and "browser_reveal": one browser process, named by pid and start time,
// checked against the kernel and the workspace, optionally brought forward, and reported
// through the window server. No Accessibility calls, so no trust is needed. Runs on the
// request thread; the reveal waits there in short run-loop slices.
#include <array>
#include <cmath>
#include <string_view>

#include "gui/ax_helper.h"
#include "gui/channel/dispatcher.h"

namespace velmaris::gui {
namespace {

constexpr std::string_view browserBundleID = "com.google.Chrome";
constexpr auto browserRequestKeys =
    std::to_array<const char*>({"id", "method", "app", "process_id", "process_started"});
constexpr std::int64_t maxProcessID = 2147483647;
// The kernel keeps start times in microseconds; a client's double may be a rounding away.
constexpr double startTimeTolerance = 0.000002;
constexpr double revealSliceSeconds = 0.05;

const Json* member(const Json& request, const char* key) {
  const auto found = request.find(key);
  return found == request.end() ? nullptr : &*found;
}

}  // namespace

Json AXHelper::browserApplicationResult(const Json& request, bool reveal,
                                        const RequestDeadline& deadline) {
  // Exactly the five members: keys of a parsed object are unique, so size plus presence
  // is set equality.
  if (!request.is_object() || request.size() != browserRequestKeys.size()) raise("invalid_input");
  for (const char* key : browserRequestKeys)
    if (member(request, key) == nullptr) raise("invalid_input");

  const Json& app = *member(request, "app");
  if (!app.is_string() || app.get_ref<const std::string&>() != browserBundleID)
    raise("invalid_input");

  const Json& started = *member(request, "process_started");  // booleans are not numbers here
  if (!started.is_number()) raise("invalid_input");
  const double processStarted = started.get<double>();
  if (!std::isfinite(processStarted) || !(processStarted > 0)) raise("invalid_input");

  const std::int64_t requestedPid = positiveInt(member(request, "process_id"));
  if (requestedPid > maxProcessID) raise("invalid_input");
  const auto pid = static_cast<std::int32_t>(requestedPid);

  const auto start = processStart(workspace(), pid);
  const double kernelStarted =
      static_cast<double>(start.first) + static_cast<double>(start.second) / 1000000.0;
  if (!(std::fabs(kernelStarted - processStarted) < startTimeTolerance))
    raise("process_identity_changed");

  const auto application = workspace().runningApplication(pid);
  if (!application || application->terminated || application->bundleID != browserBundleID)
    raise("process_identity_changed");

  if (!platform_.windowServer) raise("internal_error");
  platform::WindowServer& windowServer = *platform_.windowServer;

  if (reveal) {
    deadline.check();
    if (processStart(workspace(), pid) != start) raise("process_identity_changed");
    windowServer.unhide(pid);
    windowServer.activate(pid);
    // The hidden and active states only change while the window system's events are
    // processed. Running out of time is no failure: the result tells what came of it.
    while ((windowServer.isHidden(pid) || !windowServer.isActive(pid)) &&
           deadline.remaining() > revealSliceSeconds)
      windowServer.runLoopFor(revealSliceSeconds);
  }

  if (workspace().isTerminated(*application)) raise("process_identity_changed");
  if (processStart(workspace(), pid) != start) raise("process_identity_changed");

  std::int64_t windowCount = 0;
  for (const platform::OnScreenWindow& w : windowServer.onScreenWindows())
    if (w.ownerPid == pid && w.layer == 0) ++windowCount;

  const bool hidden = windowServer.isHidden(pid);
  const bool active = windowServer.isActive(pid);
  const bool verified = !windowServer.isHidden(pid) && windowServer.isActive(pid) && windowCount > 0;
  return Json{{"process_id", requestedPid},
              {"process_hidden", hidden},
              {"process_active", active},
              {"onscreen_window_count", windowCount},
              {"foreground_verified", verified}};
}

}  // namespace velmaris::gui
