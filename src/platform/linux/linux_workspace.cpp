// Running applications, gathered from the accessibility registry and the X client list. The
// application key is the id the process publishes (GTK's application id, else its Flatpak id),
// else its executable's name; owning a top-level window makes an application regular.
#include "platform/linux/linux_workspace.h"

#include <algorithm>
#include <map>

#include "platform/linux/proc_records.h"

namespace velmaris::platform::linux_desktop {
namespace {

struct Owner {
  bool ownsWindow = false;
  std::string applicationId;  // from the first of its windows that has one
};

std::optional<std::string> bundleIdentifier(std::int32_t pid, const Owner& owner) {
  if (!owner.applicationId.empty()) return owner.applicationId;
  if (auto flatpak = flatpakApplicationId(pid)) return flatpak;
  return executableName(pid);
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(std::shared_ptr<AccessibilityBus> bus,
                               std::shared_ptr<X11Desktop> display)
    : bus_(std::move(bus)), display_(std::move(display)) {}

std::vector<RunningApplication> LinuxWorkspace::runningApplications() {
  std::vector<std::int32_t> order;  // first seen first: registry order, then window order
  std::map<std::int32_t, Owner> owners;
  auto see = [&](std::int32_t pid) -> Owner& {
    auto [it, added] = owners.try_emplace(pid);
    if (added) order.push_back(pid);
    return it->second;
  };

  std::vector<BusObject> registered;
  if (bus_->registeredApplications(registered) == kAXErrorSuccess) {
    for (const auto& application : registered) {
      std::int32_t pid = 0;
      if (bus_->connectionPid(application.owner, pid) == kAXErrorSuccess && pid > 0) see(pid);
    }
  }
  for (const auto& window : display_->clientWindows()) {
    if (window.pid <= 0) continue;
    Owner& owner = see(window.pid);
    owner.ownsWindow = true;
    if (owner.applicationId.empty()) owner.applicationId = window.applicationId;
  }

  std::vector<RunningApplication> applications;
  for (std::int32_t pid : order) {
    const Owner& owner = owners[pid];
    RunningApplication application;
    application.pid = pid;
    application.bundleID = bundleIdentifier(pid, owner);
    application.activationPolicy =
        owner.ownsWindow ? ActivationPolicy::Regular : ActivationPolicy::Accessory;
    application.terminated = processGone(pid);
    applications.push_back(std::move(application));
  }
  return applications;
}

std::optional<RunningApplication> LinuxWorkspace::runningApplication(std::int32_t pid) {
  for (auto& application : runningApplications()) {
    if (application.pid == pid) return application;
  }
  return std::nullopt;
}

bool LinuxWorkspace::isTerminated(const RunningApplication& app) { return processGone(app.pid); }

std::optional<ProcessRecord> LinuxWorkspace::processRecord(std::int32_t pid) {
  return readProcessRecord(pid);
}

bool LinuxWorkspace::preflightScreenCaptureAccess() { return display_->hasComposite(); }

}  // namespace velmaris::platform::linux_desktop
