// The X display as the workspace sees it: top-level client windows, the processes owning
// them, and whether windows can be captured. Owns one bounded connection, opened on first use
// and again after it broke; every wait ends by the request's time. Without a display, or
// when it does not answer in time, every answer is empty. One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/linux/x11_connection.h"

namespace velmaris::platform::linux_desktop {

struct ClientWindow {
  std::uint32_t window = 0;
  std::int32_t pid = 0;               // _NET_WM_PID, 0 when unset
  std::string applicationId;          // _GTK_APPLICATION_ID, empty when unset
};

// Where a top-level client window is: its own rectangle and its top-level ancestor's (the
// window manager's frame, or itself when unmanaged), in root coordinates, and the shadow a
// client-side decorated GTK window draws inside its own rectangle (_GTK_FRAME_EXTENTS).
struct WindowPlacement {
  std::int32_t x = 0, y = 0, width = 0, height = 0;
  std::int32_t frameX = 0, frameY = 0, frameWidth = 0, frameHeight = 0;
  std::int32_t insetLeft = 0, insetRight = 0, insetTop = 0, insetBottom = 0;
  std::optional<std::string> title;  // as the desktop shows it (windowTitle)
};

class X11Desktop {
 public:
  explicit X11Desktop(std::shared_ptr<const RequestTime> requestTime);
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  // The top-level client windows: the window manager's client list when one manages the
  // display, else the root's mapped children that are not override-redirect.
  std::vector<ClientWindow> clientWindows();
  // The placements of the top-level client windows owned by `pid`; empty when the server
  // did not answer them all in time.
  std::vector<WindowPlacement> placementsOf(std::int32_t pid);
  // Whether windows can be captured on the display (compositeAllowsCapture).
  bool captureAllowed();

 private:
  struct Session;
  std::vector<xcb_window_t> topLevelWindows(Session& session, Deadline deadline);
  std::vector<ClientWindow> clientWindows(Session& session, Deadline deadline);

  std::shared_ptr<const RequestTime> requestTime_;
  X11Connection connection_;
};

}  // namespace velmaris::platform::linux_desktop
