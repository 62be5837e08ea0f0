// The X display as window capture needs it: one XCB connection that redirects every top-level
// window offscreen through Composite (automatic redirection, done once, at start), so that a
// window's own pixels can be read even where others cover it; Damage tracking that tells when
// a freshly redirected or mapped window has painted; the capturable windows and monitors; and
// one window's pixels read and scaled. Safe from any thread: one lock guards the connection,
// and an event thread of its own keeps the paint records up to date.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/screen_capture.h"

namespace velmaris::platform::linux_desktop {

// The domain of failures that X reports; its codes are X error codes (8 = BadMatch ...).
inline constexpr const char* x11ErrorDomain = "org.x.Xproto";
// X error codes used where the failure is found without the server saying so.
inline constexpr std::int64_t xBadWindow = 3;
inline constexpr std::int64_t xBadMatch = 8;
inline constexpr std::int64_t xBadImplementation = 17;

class X11CaptureDisplay {
 public:
  // Connects to $DISPLAY and redirects; without a display every answer is empty or an error.
  X11CaptureDisplay();
  ~X11CaptureDisplay();
  X11CaptureDisplay(const X11CaptureDisplay&) = delete;
  X11CaptureDisplay& operator=(const X11CaptureDisplay&) = delete;

  // The display opens and offers Composite 0.2 or later (named window pixmaps).
  bool captureAllowed();
  // The active RandR monitors, or the X screen when RandR names none.
  std::vector<ScreenDisplay> monitors();
  // The managed top-level windows (the root's viewable children without a window manager):
  // owner pid and title of the client window, frame of its top-level ancestor, decorations
  // included. An error when the display cannot be reached.
  std::optional<ScreenCaptureError> windows(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                            std::vector<CapturableWindow>& out);

  // The top-level ancestor (the root's child) of `client`, shown on screen; else an error.
  std::optional<ScreenCaptureError> viewableFrame(xcb_window_t client, xcb_window_t& frame);
  // Waits, at most until a second after it was redirected or mapped, until `frame` has
  // painted and stayed still for a moment; returns at once for windows that settled long ago.
  void waitUntilPainted(xcb_window_t frame, const std::atomic<bool>& cancelled);
  // The frame's own pixels, scaled to width × height. Answers 0, or an X error code.
  std::int32_t readFrame(xcb_window_t frame, std::int32_t width, std::int32_t height,
                         std::shared_ptr<const WindowImage>& image);

 private:
  struct Painting {
    std::uint32_t damage = 0;
    std::chrono::steady_clock::time_point freshSince;
    bool painted = false;
    std::chrono::steady_clock::time_point lastPaint;
  };

  bool connectLocked();
  void disconnectLocked();
  void trackLocked(xcb_window_t window, std::chrono::steady_clock::time_point since);
  void untrackLocked(xcb_window_t window);
  void handleEventsLocked();
  void eventLoop();
  std::int32_t readPixelsLocked(xcb_drawable_t drawable, std::uint16_t width, std::uint16_t height,
                                std::vector<std::uint8_t>& pixels, std::size_t& stride);

  std::mutex mutex_;
  std::condition_variable painted_;
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  bool composite_ = false;
  bool shm_ = false;
  bool lsbFirst_ = true;
  std::uint8_t damageEvent_ = 0;
  std::map<xcb_window_t, Painting> paintings_;  // by top-level window
  std::uint32_t shmSegment_ = 0;                // cached shared memory for reading pixels
  int shmId_ = -1;
  std::uint8_t* shmAddress_ = nullptr;
  std::size_t shmSize_ = 0;
  struct Atoms {
    xcb_atom_t clientList, wmPid, netWmName, utf8, supportingWmCheck, windowType, typeDesktop;
  } atoms_{};

  int wakeFd_ = -1;  // written to end the event thread
  std::thread events_;
};

}  // namespace velmaris::platform::linux_desktop
