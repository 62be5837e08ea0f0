// Running applications, gathered from the accessibility registry and the X client list. The
// application key is the id the process publishes (GTK's application id, else its Flatpak id),
// else the id of a known install location, else its executable's name; owning a top-level
// window makes an application regular.
#include "platform/linux/linux_workspace.h"

#include <algorithm>
#include <map>
#include <string_view>

#include "platform/linux/proc_records.h"

namespace velmaris::platform::linux_desktop {
namespace {

// Programs that publish no id of their own but always install their executable at one fixed
// place, keyed as on their other platforms and in their Flatpaks, so that one program has one
// key however it was installed. Exact paths: a program merely named like one of these is not it.
struct InstalledApplication {
  std::string_view executable;
  std::string_view key;
};
constexpr InstalledApplication kInstalledApplications[] = {
    // Google Chrome's deb and rpm packages, by release channel.
    {"/opt/google/chrome/chrome", "com.google.Chrome"},
    {"/opt/google/chrome-beta/chrome", "com.google.Chrome.beta"},
    {"/opt/google/chrome-unstable/chrome", "com.google.Chrome.dev"},
    {"/opt/google/chrome-canary/chrome", "com.google.Chrome.canary"},
    // Debian's Chromium: the same id as its Flatpak, and not Google Chrome.
    {"/usr/lib/chromium/chromium", "org.chromium.Chromium"},
};

struct Owner {
  bool ownsWindow = false;
  std::string applicationId;  // from the first of its windows that has one
};

std::optional<std::string> bundleIdentifier(std::int32_t pid, const Owner& owner) {
  if (!owner.applicationId.empty()) return owner.applicationId;
  if (auto flatpak = flatpakApplicationId(pid)) return flatpak;
  if (auto path = executablePath(pid)) {
    for (const auto& installed : kInstalledApplications)
      if (*path == installed.executable) return std::string(installed.key);
  }
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

bool LinuxWorkspace::preflightScreenCaptureAccess() { return display_->captureAllowed(); }

}  // namespace velmaris::platform::linux_desktop
