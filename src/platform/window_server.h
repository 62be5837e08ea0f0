// The window server as the browser methods see it: whether an application's windows are
// hidden or frontmost, asking for them to be restored and brought forward, and the list of
// on-screen windows with their owners and layers. No Accessibility is involved.
// Used from the request thread only; runLoopFor is the one place that waits.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace velmaris::platform {

// One window that is on screen now. Layer 0 is the normal layer of application windows;
// panels kept above or below, docks and the like sit on other layers.
struct OnScreenWindow {
  std::int32_t ownerPid = 0;
  std::int32_t layer = 0;
};

class WindowServer {
 public:
  virtual ~WindowServer() = default;

  // Whether the application of `pid` is hidden: it has windows and none of them is shown.
  virtual bool isHidden(std::int32_t pid) = 0;
  // Whether the application of `pid` is the active (frontmost) one.
  virtual bool isActive(std::int32_t pid) = 0;
  // Requests only: their effect shows later, while the window system's events are processed.
  virtual void unhide(std::int32_t pid) = 0;
  virtual void activate(std::int32_t pid) = 0;
  // Processes window-system events for `seconds`, so the states above come up to date.
  virtual void runLoopFor(double seconds) = 0;
  // The on-screen windows, desktop elements left out; empty when the list cannot be read.
  virtual std::vector<OnScreenWindow> onScreenWindows() = 0;
};

}  // namespace velmaris::platform
