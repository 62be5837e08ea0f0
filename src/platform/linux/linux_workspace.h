// The workspace on a Linux desktop: running applications are the processes registered with
// the AT-SPI registry plus those owning a top-level X window; records come from /proc.
// Shares the accessibility bus with the accessibility backend. One thread at a time.
#pragma once

#include <memory>

#include "platform/linux/atspi_bus.h"
#include "platform/linux/x11_desktop.h"
#include "platform/workspace.h"

namespace velmaris::platform::linux_desktop {

class LinuxWorkspace final : public Workspace {
 public:
  LinuxWorkspace(std::shared_ptr<AccessibilityBus> bus, std::shared_ptr<X11Desktop> display);

  std::vector<RunningApplication> runningApplications() override;
  std::optional<RunningApplication> runningApplication(std::int32_t pid) override;
  bool isTerminated(const RunningApplication& app) override;
  std::optional<ProcessRecord> processRecord(std::int32_t pid) override;
  bool preflightScreenCaptureAccess() override;

 private:
  std::shared_ptr<AccessibilityBus> bus_;
  std::shared_ptr<X11Desktop> display_;
};

}  // namespace velmaris::platform::linux_desktop
