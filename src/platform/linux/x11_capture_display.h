// The X display as window capture needs it: one XCB connection that redirects every top-level
// window offscreen through Composite (automatic redirection, done once, at start), so that a
// window's own pixels can be read even where others cover it; Damage tracking that tells when
// a freshly redirected or mapped window has painted; the capturable windows and monitors; and
// one window's pixels read and scaled. Safe from any thread: every wait for the server ends by
// the caller's deadline and holds no lock, and an event thread of its own keeps the paint
// records up to date.
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

#include "platform/linux/x11_connection.h"
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
  // Starts connecting to $DISPLAY and redirecting, without waiting for either.
  X11CaptureDisplay();
  ~X11CaptureDisplay();
  X11CaptureDisplay(const X11CaptureDisplay&) = delete;
  X11CaptureDisplay& operator=(const X11CaptureDisplay&) = delete;

  // Every call below waits for the server at most until `deadline`, or until `cancelled`.

  // The display is open and allows capture (compositeAllowsCapture).
  bool captureAllowed(Deadline deadline);
  // The active RandR monitors, or the X screen when RandR names none; empty when the display
  // cannot be reached.
  std::vector<ScreenDisplay> monitors(Deadline deadline);
  // The managed top-level windows (the root's viewable children without a window manager):
  // owner pid and title of the client window, frame of its top-level ancestor, decorations
  // included, and the client's own rectangle. An error when the display cannot be reached.
  std::optional<ScreenCaptureError> windows(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                            Deadline deadline, std::vector<CapturableWindow>& out);

  // The top-level ancestor (the root's child) of `client`, shown on screen; else an error.
  std::optional<ScreenCaptureError> viewableFrame(xcb_window_t client, Deadline deadline,
                                                  const std::atomic<bool>& cancelled,
                                                  xcb_window_t& frame);
  // Waits, at most until a second after it was redirected or mapped, until `frame` has
  // painted and stayed still for a moment; returns at once for windows that settled long ago.
  void waitUntilPainted(xcb_window_t frame, Deadline deadline, const std::atomic<bool>& cancelled);
  // The frame's own pixels within `area` (frame coordinates; the whole frame when absent),
  // scaled to width × height. Answers 0, or an X error code.
  std::int32_t readFrame(xcb_window_t frame, const std::optional<ScreenRect>& area,
                         std::int32_t width, std::int32_t height, Deadline deadline,
                         const std::atomic<bool>& cancelled,
                         std::shared_ptr<const WindowImage>& image);
  // Ends every wait, now and later; the display is of no more use.
  void close();

 private:
  struct Painting {
    std::uint32_t damage = 0;
    std::chrono::steady_clock::time_point freshSince;
    bool painted = false;
    std::chrono::steady_clock::time_point lastPaint;
  };
  struct Session;

  std::shared_ptr<Session> session(Deadline deadline);
  static std::shared_ptr<X11Session> open(xcb_connection_t* connection, int screenNumber);
  static void track(Session& session, xcb_window_t window,
                    std::chrono::steady_clock::time_point since);
  void handleEventsLocked(Session& session);
  void eventLoop();
  struct PixelArea {
    std::int16_t x, y;
    std::uint16_t width, height;
  };
  static bool thirtyTwoBitDepth(const Session& session, std::uint8_t depth);
  static void releaseSharedMemory(Session& session);
  // `part` of `drawable`, to be scaled to width × height, by `deadline` unless cancelled.
  struct PixelRead {
    xcb_drawable_t drawable;
    PixelArea part;
    std::int32_t width, height;
    Deadline deadline;
    const std::atomic<bool>& cancelled;
  };
  // Through the session's shared memory, or kNoSharedMemory when it cannot be had.
  std::int32_t readShared(Session& session, const PixelRead& read,
                          std::shared_ptr<const WindowImage>& image);
  std::int32_t readPlain(Session& session, const PixelRead& read,
                         std::shared_ptr<const WindowImage>& image);

  X11Connection connection_;
  std::mutex mutex_;  // guards the paint records of the session; never held across a wait
  std::condition_variable painted_;
  std::mutex shmMutex_;  // guards the session's shared memory while a capture reads through it

  int wakeFd_ = -1;  // written to end the event thread
  std::thread events_;
};

}  // namespace velmaris::platform::linux_desktop
