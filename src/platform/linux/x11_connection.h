// One XCB connection whose every wait ends by a deadline. It is opened on a thread of its own
// (a server that accepts and never answers holds only that thread), and replies are read by
// polling the connection's descriptor against the time left. A reply that did not come in time
// stays behind as a probe: until the server answers it, the connection counts as stalled,
// nothing new is sent on it, and each caller waits for the probe, no longer than its own
// deadline. Safe from any thread; the session it hands out is shared with the caller.
#pragma once

#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/linux/xcb_reply.h"

namespace velmaris::platform::linux_desktop {

using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

// The deadline of the request being served, as a point on the steady clock; a bounded default
// when no request has set one, so no wait is ever endless.
Deadline deadlineOf(const RequestTime& requestTime);

// Whether windows can be captured on this display: it offers Composite 0.2 or later, which
// names a window's own pixmap. The one judgement behind every screen-capture preflight.
// Blocks on the server: call it where waiting is allowed (an opening thread, the probe).
bool compositeAllowsCapture(xcb_connection_t* connection);

// The title the desktop shows for a window: _NET_WM_NAME (UTF-8), else WM_NAME (UTF-8 or
// Latin-1), from their property replies; an empty title counts as none. Window capture and
// the accessibility side read it alike, so that their titles compare exactly.
constexpr std::uint32_t kMaxTitleWords = 16384;  // 64 KiB of title
std::optional<std::string> windowTitle(const xcb_get_property_reply_t* netName,
                                       const xcb_get_property_reply_t* name, xcb_atom_t utf8);

// An open connection and what its owner set up on it. Disconnects when the last user lets go.
struct X11Session {
  X11Session(xcb_connection_t* connection, int screenNumber);
  virtual ~X11Session();
  X11Session(const X11Session&) = delete;
  X11Session& operator=(const X11Session&) = delete;

  xcb_connection_t* const connection;
  const int screenNumber;
  xcb_window_t root = XCB_WINDOW_NONE;  // of screenNumber
};

class X11Connection {
 public:
  // Runs on the opening thread with a fresh connection (owned by the session it returns) and
  // may take its time; answers null when the display is of no use, which is tried again at
  // the earliest a second later.
  using Setup = std::function<std::shared_ptr<X11Session>(xcb_connection_t*, int screenNumber)>;

  explicit X11Connection(Setup setup);
  // Ends every wait; an opening still under way finishes on its own and is dropped.
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // Starts opening unless open or opening, without waiting.
  void open();
  // The session, open, unbroken and answering: null when it could not be had by `deadline`.
  std::shared_ptr<X11Session> session(Deadline deadline);
  // The session as it is, without waiting or checking that the server answers.
  std::shared_ptr<X11Session> current();
  // Waits for the answer to request `sequence` of `session` until `deadline` (or `cancelled`);
  // unless the connection is stalled, at least a tenth of a second, so the last reads of a
  // request still find an answering server.
  // True when it came: the reply (or null for a request without one) and any error are the
  // caller's to free. False when it did not come in time or the connection broke.
  bool wait(X11Session& session, unsigned sequence, Deadline deadline, void** reply,
            xcb_generic_error_t** error, const std::atomic<bool>* cancelled = nullptr);
  template <typename T>
  Reply<T> reply(X11Session& session, unsigned sequence, Deadline deadline,
                 xcb_generic_error_t** error = nullptr,
                 const std::atomic<bool>* cancelled = nullptr) {
    void* raw = nullptr;
    if (!wait(session, sequence, deadline, &raw, error, cancelled)) return nullptr;
    return Reply<T>(static_cast<T*>(raw));
  }
  // Whether a request without a reply succeeded: false with its error, or with none when the
  // answer did not come in time.
  bool check(X11Session& session, xcb_void_cookie_t cookie, Deadline deadline,
             xcb_generic_error_t** error, const std::atomic<bool>* cancelled = nullptr);
  // Whether a request of `session` went unanswered or the connection broke: answers read
  // from it since may be missing some.
  bool stalled(const X11Session& session);
  // Whether a caller is waiting for a reply now. Another reader of the socket (an event loop)
  // should keep off it meanwhile: the bytes it took would wake no waiter's poll.
  bool waiting() const { return waiters_ > 0; }
  // Ends every wait at once, now and later.
  void close();

 private:
  struct Opening;

  void startOpeningLocked();
  bool poll(X11Session& session, unsigned sequence, Deadline deadline, void** reply,
            xcb_generic_error_t** error, const std::atomic<bool>* cancelled);

  const Setup setup_;
  std::mutex mutex_;
  std::shared_ptr<X11Session> session_;
  std::shared_ptr<Opening> opening_;
  std::optional<unsigned> probe_;  // the request of session_ that did not answer in time
  std::chrono::steady_clock::time_point retryAt_{};
  std::atomic<bool> closed_{false};
  std::atomic<int> waiters_{0};
};

}  // namespace velmaris::platform::linux_desktop
