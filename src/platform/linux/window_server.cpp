// X11 behind the window server interface. The window manager's client list names the
// application windows; a window is shown when it is viewable, the active application is the
// owner of _NET_ACTIVE_WINDOW, and reveals are ICCCM maps and EWMH activation requests the
// window manager carries out. Requests for many windows go out together and their replies
// are collected afterwards, each wait ending by the request's time. One thread at a time.
#include "platform/linux/window_server.h"
#include "platform/linux/x11_connection.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

namespace velmaris::platform::linux_desktop {
namespace {

// Client lists longer than this are cut: no desktop has that many windows, and the requests
// for them all must fit the socket's buffer, or a stopped server would block their sending.
constexpr std::size_t kMaxWindows = 1024;

// Layers in the numbering the original window server uses; applications live on 0.
constexpr std::int32_t kNormalLayer = 0;
constexpr std::int32_t kBelowLayer = -1;
constexpr std::int32_t kFloatingLayer = 3;
constexpr std::int32_t kDockLayer = 20;

double monotonicSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool contains(const xcb_ewmh_get_atoms_reply_t& atoms, xcb_atom_t atom) {
  return std::find(atoms.atoms, atoms.atoms + atoms.atoms_len, atom) != atoms.atoms + atoms.atoms_len;
}

struct ClientWindow {
  xcb_window_t window = XCB_WINDOW_NONE;
  std::int32_t pid = 0;  // _NET_WM_PID; 0 when the window does not say
  bool viewable = false;
  bool desktop = false;  // the desktop background, never listed as on screen
  std::int32_t layer = kNormalLayer;
};

// The connection with the EWMH atoms interned on it; they go with it.
struct EwmhSession final : X11Session {
  using X11Session::X11Session;
  ~EwmhSession() override {
    if (ready) xcb_ewmh_connection_wipe(&ewmh);
  }
  xcb_ewmh_connection_t ewmh{};
  bool ready = false;
};

std::shared_ptr<X11Session> openEwmh(xcb_connection_t* c, int screen) {
  auto session = std::make_shared<EwmhSession>(c, screen);
  xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(c, &session->ewmh);
  if (!cookies) return nullptr;
  // The replies are freed, and on failure the atoms wiped, by the call itself.
  session->ready = xcb_ewmh_init_atoms_replies(&session->ewmh, cookies, nullptr) != 0;
  if (!session->ready || screen < 0 || screen >= session->ewmh.nb_screens ||
      session->root == XCB_WINDOW_NONE)
    return nullptr;
  return session;
}

class X11WindowServer final : public WindowServer {
 public:
  explicit X11WindowServer(std::shared_ptr<const RequestTime> requestTime)
      : requestTime_(std::move(requestTime)), connection_(openEwmh) {}

  // An application without windows has nothing to hide, so it is not hidden.
  bool isHidden(std::int32_t pid) override {
    bool any = false;
    for (const ClientWindow& w : clientWindows()) {
      if (w.pid != pid) continue;
      if (w.viewable) return false;
      any = true;
    }
    return any;
  }

  bool isActive(std::int32_t pid) override {
    const Deadline deadline = deadlineOf(*requestTime_);
    auto session = ewmhSession(deadline);
    if (!session || !windowManagerRunning(*session, deadline)) return false;
    const xcb_window_t active = activeWindow(*session, deadline);
    if (active == XCB_WINDOW_NONE) return false;
    std::uint32_t owner = 0;
    auto reply = propertyReply(*session, xcb_ewmh_get_wm_pid(&session->ewmh, active), deadline);
    return reply && xcb_ewmh_get_cardinal_from_reply(&owner, reply.get()) &&
           owner == static_cast<std::uint32_t>(pid);
  }

  // Mapping an iconified client is how ICCCM asks for it back; the window manager, which
  // redirects the map, restores the window.
  void unhide(std::int32_t pid) override {
    std::shared_ptr<EwmhSession> session;
    bool sent = false;
    for (const ClientWindow& w : clientWindows(&session)) {
      if (w.pid != pid || w.viewable) continue;
      xcb_map_window(session->connection, w.window);
      sent = true;
    }
    if (sent) xcb_flush(session->connection);
  }

  // Activates the topmost window of the application, a shown one when there is one. The
  // request claims to come from a pager, so focus-stealing prevention lets it through.
  void activate(std::int32_t pid) override {
    std::shared_ptr<EwmhSession> session;
    xcb_window_t target = XCB_WINDOW_NONE;
    bool targetViewable = false;
    for (const ClientWindow& w : clientWindows(&session)) {  // bottom to top
      if (w.pid != pid || (targetViewable && !w.viewable)) continue;
      target = w.window;
      targetViewable = w.viewable;
    }
    if (target == XCB_WINDOW_NONE) return;
    const xcb_window_t current = activeWindow(*session, deadlineOf(*requestTime_));
    xcb_ewmh_request_change_active_window(&session->ewmh, session->screenNumber, target,
                                          XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, XCB_CURRENT_TIME,
                                          current);
    xcb_flush(session->connection);
  }

  // Nothing here listens for events: the states are read afresh. The time goes to the window
  // manager, and whatever the server queued for us (errors of requests whose window went
  // away) is drained so it never piles up.
  void runLoopFor(double seconds) override {
    const double until = monotonicSeconds() + seconds;
    auto session = connection_.current();
    if (session) xcb_flush(session->connection);
    for (;;) {
      const double left = until - monotonicSeconds();
      if (left <= 0) break;
      const int ms = std::max(1, static_cast<int>(left * 1000.0));
      if (session && !xcb_connection_has_error(session->connection)) {
        pollfd fd{xcb_get_file_descriptor(session->connection), POLLIN, 0};
        poll(&fd, 1, ms);
        drainEvents(*session);
      } else {
        timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        nanosleep(&pause, nullptr);
      }
    }
  }

  std::vector<OnScreenWindow> onScreenWindows() override {
    std::vector<OnScreenWindow> list;
    for (const ClientWindow& w : clientWindows())
      if (w.viewable && !w.desktop) list.push_back({w.pid, w.layer});
    return list;
  }

 private:
  using PropertyReply = Reply<xcb_get_property_reply_t>;

  std::shared_ptr<EwmhSession> ewmhSession(Deadline deadline) {
    auto session = std::static_pointer_cast<EwmhSession>(connection_.session(deadline));
    if (session) drainEvents(*session);
    return session;
  }

  PropertyReply propertyReply(EwmhSession& session, xcb_get_property_cookie_t cookie,
                              Deadline deadline) {
    return connection_.reply<xcb_get_property_reply_t>(session, cookie.sequence, deadline);
  }

  xcb_window_t activeWindow(EwmhSession& session, Deadline deadline) {
    xcb_window_t active = XCB_WINDOW_NONE;
    auto reply = propertyReply(
        session, xcb_ewmh_get_active_window(&session.ewmh, session.screenNumber), deadline);
    if (!reply || !xcb_ewmh_get_window_from_reply(&active, reply.get())) return XCB_WINDOW_NONE;
    return active;
  }

  static void drainEvents(X11Session& session) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(session.connection)) std::free(event);
  }

  // A window manager names a window of its own on the root, and that window names itself;
  // a property left behind by one that exited names a window that no longer exists.
  bool windowManagerRunning(EwmhSession& session, Deadline deadline) {
    xcb_window_t check = XCB_WINDOW_NONE;
    auto reply = propertyReply(
        session, xcb_ewmh_get_supporting_wm_check(&session.ewmh, session.root), deadline);
    if (!reply || !xcb_ewmh_get_window_from_reply(&check, reply.get()) ||
        check == XCB_WINDOW_NONE)
      return false;
    xcb_window_t self = XCB_WINDOW_NONE;
    reply = propertyReply(session, xcb_ewmh_get_supporting_wm_check(&session.ewmh, check),
                          deadline);
    return reply && xcb_ewmh_get_window_from_reply(&self, reply.get()) && self == check;
  }

  // The windows the window manager manages, iconified ones included, bottom to top. Without
  // a window manager: the root's mapped children that are not override-redirect.
  std::vector<xcb_window_t> topLevelWindows(EwmhSession& session, Deadline deadline) {
    xcb_connection_t* c = session.connection;
    std::vector<xcb_window_t> windows;
    if (windowManagerRunning(session, deadline)) {
      auto stacking = xcb_ewmh_get_client_list_stacking(&session.ewmh, session.screenNumber);
      auto plain = xcb_ewmh_get_client_list(&session.ewmh, session.screenNumber);
      PropertyReply reply = propertyReply(session, stacking, deadline);
      xcb_ewmh_get_windows_reply_t list{};
      if (reply && xcb_ewmh_get_windows_from_reply(&list, reply.get())) {
        reply.release();  // now owned by the list
        xcb_discard_reply(c, plain.sequence);
      } else {
        reply = propertyReply(session, plain, deadline);
        if (!reply || !xcb_ewmh_get_windows_from_reply(&list, reply.get())) return windows;
        reply.release();
      }
      windows.assign(list.windows,
                     list.windows + std::min<std::size_t>(list.windows_len, kMaxWindows));
      xcb_ewmh_get_windows_reply_wipe(&list);
      return windows;
    }
    auto tree = connection_.reply<xcb_query_tree_reply_t>(
        session, xcb_query_tree(c, session.root).sequence, deadline);
    if (!tree) return windows;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const std::size_t count = std::min<std::size_t>(
        static_cast<std::size_t>(xcb_query_tree_children_length(tree.get())), kMaxWindows);
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (std::size_t i = 0; i < count; ++i)
      cookies.push_back(xcb_get_window_attributes(c, children[i]));
    for (std::size_t i = 0; i < count; ++i) {
      auto attributes = connection_.reply<xcb_get_window_attributes_reply_t>(
          session, cookies[i].sequence, deadline);
      if (attributes && !attributes->override_redirect &&
          attributes->map_state != XCB_MAP_STATE_UNMAPPED)
        windows.push_back(children[i]);
    }
    return windows;
  }

  // The client windows with their states; empty when the server did not answer them all in
  // time, since half a list would tell a wrong story. Hands out the session it read from.
  std::vector<ClientWindow> clientWindows(std::shared_ptr<EwmhSession>* used = nullptr) {
    std::vector<ClientWindow> clients;
    const Deadline deadline = deadlineOf(*requestTime_);
    auto session = ewmhSession(deadline);
    if (!session) return clients;
    EwmhSession& s = *session;
    xcb_ewmh_connection_t* ewmh = &s.ewmh;
    const std::vector<xcb_window_t> windows = topLevelWindows(s, deadline);
    struct Cookies {
      xcb_get_window_attributes_cookie_t attributes;
      xcb_get_property_cookie_t pid, state, type;
    };
    std::vector<Cookies> cookies;
    cookies.reserve(windows.size());
    for (xcb_window_t w : windows)
      cookies.push_back({xcb_get_window_attributes(s.connection, w), xcb_ewmh_get_wm_pid(ewmh, w),
                         xcb_ewmh_get_wm_state(ewmh, w), xcb_ewmh_get_wm_window_type(ewmh, w)});
    for (std::size_t i = 0; i < windows.size(); ++i) {
      ClientWindow client;
      client.window = windows[i];
      auto attributes = connection_.reply<xcb_get_window_attributes_reply_t>(
          s, cookies[i].attributes.sequence, deadline);
      client.viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      std::uint32_t pid = 0;
      PropertyReply reply = propertyReply(s, cookies[i].pid, deadline);
      if (reply && xcb_ewmh_get_cardinal_from_reply(&pid, reply.get()) && pid <= 0x7fffffffu)
        client.pid = static_cast<std::int32_t>(pid);
      xcb_ewmh_get_atoms_reply_t atoms{};
      reply = propertyReply(s, cookies[i].state, deadline);
      if (reply && xcb_ewmh_get_atoms_from_reply(&atoms, reply.get())) {
        reply.release();  // now owned by the atoms
        if (contains(atoms, ewmh->_NET_WM_STATE_ABOVE)) client.layer = kFloatingLayer;
        if (contains(atoms, ewmh->_NET_WM_STATE_BELOW)) client.layer = kBelowLayer;
        xcb_ewmh_get_atoms_reply_wipe(&atoms);
      }
      reply = propertyReply(s, cookies[i].type, deadline);
      if (reply && xcb_ewmh_get_atoms_from_reply(&atoms, reply.get())) {
        reply.release();
        if (contains(atoms, ewmh->_NET_WM_WINDOW_TYPE_DOCK)) client.layer = kDockLayer;
        client.desktop = contains(atoms, ewmh->_NET_WM_WINDOW_TYPE_DESKTOP);
        xcb_ewmh_get_atoms_reply_wipe(&atoms);
      }
      clients.push_back(client);
    }
    if (connection_.stalled(s)) clients.clear();
    if (used) *used = std::move(session);
    return clients;
  }

  const std::shared_ptr<const RequestTime> requestTime_;
  X11Connection connection_;
};

}  // namespace
}  // namespace velmaris::platform::linux_desktop

namespace velmaris::platform {

std::unique_ptr<WindowServer> makeLinuxWindowServer(std::shared_ptr<const RequestTime> requestTime) {
  return std::make_unique<linux_desktop::X11WindowServer>(std::move(requestTime));
}

}  // namespace velmaris::platform
