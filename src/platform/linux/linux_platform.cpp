// The Linux backends, sharing one accessibility bus connection and the request's time, by
// which every X wait ends.
#include "platform/linux/linux_platform.h"

#include <memory>

#include "platform/linux/atspi_accessibility.h"
#include "platform/linux/linux_workspace.h"
#include "platform/linux/screen_capture_x11.h"
#include "platform/linux/window_server.h"

namespace velmaris::platform {

Platform makeLinuxPlatform() {
  auto bus = std::make_shared<linux_desktop::AccessibilityBus>();
  Platform platform;
  auto display = std::make_shared<linux_desktop::X11Desktop>(platform.requestTime);
  platform.accessibility = std::make_unique<linux_desktop::AtspiAccessibility>(
      bus, [display](std::int32_t pid) { return display->placementsOf(pid); });
  platform.workspace = std::make_unique<linux_desktop::LinuxWorkspace>(bus, display);
  platform.clock = makeSystemClock();
  platform.windowServer = makeLinuxWindowServer(platform.requestTime);
  platform.screenCapture = makeX11ScreenCapture(platform.requestTime);
  return platform;
}

}  // namespace velmaris::platform
