// Process identity: an application key resolved to one living process, pinned by its pid
// and kernel start time, and confirmed again before a stored identity is trusted.
#include "gui/processes/process_identity.h"

#include "gui/ax_helper.h"

namespace velmaris::gui {

using platform::ActivationPolicy;
using platform::RunningApplication;

AXHelper::AXHelper(platform::Platform& platform)
    : timeoutConfigured(platform.accessibility->setMessagingTimeout(axMessagingTimeout) ==
                        platform::kAXErrorSuccess),
      platform_(platform) {}

std::pair<std::uint64_t, std::uint64_t> processStart(platform::Workspace& workspace,
                                                     std::int32_t pid) {
  if (pid >= 0) {
    auto record = workspace.processRecord(pid);
    if (record && record->pid == pid && record->startSeconds != 0 &&
        record->startMicroseconds < 1000000)
      return {record->startSeconds, record->startMicroseconds};
  }
  raise("process_identity_unavailable");
}

void AXHelper::requireAXPermission() const {
  if (!timeoutConfigured) raise("ax_error", "set_timeout");
  if (!platform_.accessibility->isProcessTrusted()) raise("accessibility_required");
}

ResolvedProcess AXHelper::resolveProcess(const std::string& app) {
  std::vector<RunningApplication> candidates;
  for (RunningApplication& a : workspace().runningApplications())
    if (a.bundleID && *a.bundleID == app && !a.terminated) candidates.push_back(std::move(a));
  RunningApplication chosen = uniqueGUIProcess(candidates, [](const RunningApplication& a) {
    return a.activationPolicy == ActivationPolicy::Regular;
  });
  if (workspace().isTerminated(chosen) || chosen.pid < 1) raise("process_identity_unavailable");
  auto start = processStart(workspace(), chosen.pid);

  // Read everything a second time: a process that exited or was replaced while we looked
  // must not be mistaken for the one we chose.
  auto again = workspace().runningApplication(chosen.pid);
  if (workspace().isTerminated(chosen) || !again || again->terminated ||
      workspace().isTerminated(*again) || again->bundleID != app ||
      again->activationPolicy != chosen.activationPolicy)
    raise("process_identity_changed");
  if (processStart(workspace(), chosen.pid) != start) raise("process_identity_changed");

  ProcessIdentity identity{app, chosen.pid, start.first, start.second};
  Element element = ax().createApplication(chosen.pid);
  return {std::move(chosen), std::move(identity), std::move(element)};
}

Element AXHelper::confirmProcess(const ProcessIdentity& expected) {
  ResolvedProcess resolved = resolveProcess(expected.bundleID);
  if (workspace().isTerminated(resolved.application) || !(resolved.identity == expected))
    raise("process_identity_changed");
  return std::move(resolved.appElement);
}

}  // namespace velmaris::gui
