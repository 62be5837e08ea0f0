// The X display as the workspace sees it: top-level client windows, the processes owning
// them, and whether windows can be captured. Owns one XCB connection, opened on first use
// and again after it broke; without a display every answer is empty. One thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <xcb/xcb.h>

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
};

class X11Desktop {
 public:
  X11Desktop() = default;
  ~X11Desktop();
  X11Desktop(const X11Desktop&) = delete;
  X11Desktop& operator=(const X11Desktop&) = delete;

  // The top-level client windows: the window manager's client list when one manages the
  // display, else the root's mapped children that are not override-redirect.
  std::vector<ClientWindow> clientWindows();
  // The placements of the top-level client windows owned by `pid`.
  std::vector<WindowPlacement> placementsOf(std::int32_t pid);
  // Whether the display opens and offers the Composite extension.
  bool hasComposite();

 private:
  bool connect();
  void disconnect();
  bool windowManagerRunning();
  std::vector<xcb_window_t> topLevelWindows();

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  xcb_atom_t netClientList_ = 0;
  xcb_atom_t netWmPid_ = 0;
  xcb_atom_t netSupportingWmCheck_ = 0;
  xcb_atom_t gtkApplicationId_ = 0;
  xcb_atom_t utf8String_ = 0;
  xcb_atom_t gtkFrameExtents_ = 0;
};

}  // namespace velmaris::platform::linux_desktop
