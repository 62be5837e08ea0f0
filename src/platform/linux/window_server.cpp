// X11 behind the window server interface. The window manager's client list names the
// application windows; a window is shown when it is viewable, the active application is the
// owner of _NET_ACTIVE_WINDOW, and reveals are ICCCM maps and EWMH activation requests the
// window manager carries out. Requests for many windows go out together and their replies
// are collected afterwards. One thread at a time.
#include "platform/linux/window_server.h"
#include "platform/linux/xcb_reply.h"

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

// Client lists longer than this are cut: no desktop has that many windows.
constexpr std::size_t kMaxWindows = 4096;

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

class X11WindowServer final : public WindowServer {
 public:
  X11WindowServer() = default;
  ~X11WindowServer() override { disconnect(); }
  X11WindowServer(const X11WindowServer&) = delete;
  X11WindowServer& operator=(const X11WindowServer&) = delete;

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
    if (!connect() || !windowManagerRunning()) return false;
    xcb_window_t active = XCB_WINDOW_NONE;
    if (!xcb_ewmh_get_active_window_reply(&ewmh_, xcb_ewmh_get_active_window(&ewmh_, screen_),
                                          &active, nullptr) ||
        active == XCB_WINDOW_NONE)
      return false;
    std::uint32_t owner = 0;
    return xcb_ewmh_get_wm_pid_reply(&ewmh_, xcb_ewmh_get_wm_pid(&ewmh_, active), &owner,
                                     nullptr) &&
           owner == static_cast<std::uint32_t>(pid);
  }

  // Mapping an iconified client is how ICCCM asks for it back; the window manager, which
  // redirects the map, restores the window.
  void unhide(std::int32_t pid) override {
    bool sent = false;
    for (const ClientWindow& w : clientWindows()) {
      if (w.pid != pid || w.viewable) continue;
      xcb_map_window(connection_, w.window);
      sent = true;
    }
    if (sent) xcb_flush(connection_);
  }

  // Activates the topmost window of the application, a shown one when there is one. The
  // request claims to come from a pager, so focus-stealing prevention lets it through.
  void activate(std::int32_t pid) override {
    xcb_window_t target = XCB_WINDOW_NONE;
    bool targetViewable = false;
    for (const ClientWindow& w : clientWindows()) {  // bottom to top
      if (w.pid != pid || (targetViewable && !w.viewable)) continue;
      target = w.window;
      targetViewable = w.viewable;
    }
    if (target == XCB_WINDOW_NONE) return;
    xcb_window_t current = XCB_WINDOW_NONE;
    xcb_ewmh_get_active_window_reply(&ewmh_, xcb_ewmh_get_active_window(&ewmh_, screen_), &current,
                                     nullptr);
    xcb_ewmh_request_change_active_window(&ewmh_, screen_, target,
                                          XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, XCB_CURRENT_TIME,
                                          current);
    xcb_flush(connection_);
  }

  // Nothing here listens for events: the states are read afresh. The time goes to the window
  // manager, and whatever the server queued for us (errors of requests whose window went
  // away) is drained so it never piles up.
  void runLoopFor(double seconds) override {
    const double until = monotonicSeconds() + seconds;
    const bool connected = connect();
    if (connected) xcb_flush(connection_);
    for (;;) {
      const double left = until - monotonicSeconds();
      if (left <= 0) break;
      const int ms = std::max(1, static_cast<int>(left * 1000.0));
      if (connected && !xcb_connection_has_error(connection_)) {
        pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
        poll(&fd, 1, ms);
        drainEvents();
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
  bool connect() {
    if (connection_ && !xcb_connection_has_error(connection_)) {
      drainEvents();
      return true;
    }
    disconnect();
    connection_ = xcb_connect(nullptr, &screen_);
    if (xcb_connection_has_error(connection_)) {
      disconnect();
      return false;
    }
    xcb_intern_atom_cookie_t* cookies = xcb_ewmh_init_atoms(connection_, &ewmh_);
    if (!cookies || !xcb_ewmh_init_atoms_replies(&ewmh_, cookies, nullptr) || screen_ < 0 ||
        screen_ >= ewmh_.nb_screens) {
      disconnect();
      return false;
    }
    ewmhReady_ = true;
    root_ = ewmh_.screens[screen_]->root;
    return true;
  }

  void disconnect() {
    if (ewmhReady_) xcb_ewmh_connection_wipe(&ewmh_);
    ewmhReady_ = false;
    if (connection_) xcb_disconnect(connection_);
    connection_ = nullptr;
  }

  void drainEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
  }

  // A window manager names a window of its own on the root, and that window names itself;
  // a property left behind by one that exited names a window that no longer exists.
  bool windowManagerRunning() {
    xcb_window_t check = XCB_WINDOW_NONE;
    if (!xcb_ewmh_get_supporting_wm_check_reply(
            &ewmh_, xcb_ewmh_get_supporting_wm_check(&ewmh_, root_), &check, nullptr) ||
        check == XCB_WINDOW_NONE)
      return false;
    xcb_window_t self = XCB_WINDOW_NONE;
    return xcb_ewmh_get_supporting_wm_check_reply(
               &ewmh_, xcb_ewmh_get_supporting_wm_check(&ewmh_, check), &self, nullptr) &&
           self == check;
  }

  // The windows the window manager manages, iconified ones included, bottom to top. Without
  // a window manager: the root's mapped children that are not override-redirect.
  std::vector<xcb_window_t> topLevelWindows() {
    std::vector<xcb_window_t> windows;
    if (windowManagerRunning()) {
      auto stacking = xcb_ewmh_get_client_list_stacking(&ewmh_, screen_);
      auto plain = xcb_ewmh_get_client_list(&ewmh_, screen_);
      xcb_ewmh_get_windows_reply_t list{};
      if (xcb_ewmh_get_client_list_stacking_reply(&ewmh_, stacking, &list, nullptr)) {
        xcb_discard_reply(connection_, plain.sequence);
      } else if (!xcb_ewmh_get_client_list_reply(&ewmh_, plain, &list, nullptr)) {
        return windows;
      }
      windows.assign(list.windows,
                     list.windows + std::min<std::size_t>(list.windows_len, kMaxWindows));
      xcb_ewmh_get_windows_reply_wipe(&list);
      return windows;
    }
    Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
    if (!tree) return windows;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const std::size_t count = std::min<std::size_t>(
        static_cast<std::size_t>(xcb_query_tree_children_length(tree.get())), kMaxWindows);
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (std::size_t i = 0; i < count; ++i)
      cookies.push_back(xcb_get_window_attributes(connection_, children[i]));
    for (std::size_t i = 0; i < count; ++i) {
      Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(connection_, cookies[i], nullptr));
      if (attributes && !attributes->override_redirect &&
          attributes->map_state != XCB_MAP_STATE_UNMAPPED)
        windows.push_back(children[i]);
    }
    return windows;
  }

  std::vector<ClientWindow> clientWindows() {
    std::vector<ClientWindow> clients;
    if (!connect()) return clients;
    const std::vector<xcb_window_t> windows = topLevelWindows();
    struct Cookies {
      xcb_get_window_attributes_cookie_t attributes;
      xcb_get_property_cookie_t pid, state, type;
    };
    std::vector<Cookies> cookies;
    cookies.reserve(windows.size());
    for (xcb_window_t w : windows)
      cookies.push_back({xcb_get_window_attributes(connection_, w), xcb_ewmh_get_wm_pid(&ewmh_, w),
                         xcb_ewmh_get_wm_state(&ewmh_, w), xcb_ewmh_get_wm_window_type(&ewmh_, w)});
    for (std::size_t i = 0; i < windows.size(); ++i) {
      ClientWindow client;
      client.window = windows[i];
      Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(connection_, cookies[i].attributes, nullptr));
      client.viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
      std::uint32_t pid = 0;
      if (xcb_ewmh_get_wm_pid_reply(&ewmh_, cookies[i].pid, &pid, nullptr) && pid <= 0x7fffffffu)
        client.pid = static_cast<std::int32_t>(pid);
      xcb_ewmh_get_atoms_reply_t atoms{};
      if (xcb_ewmh_get_wm_state_reply(&ewmh_, cookies[i].state, &atoms, nullptr)) {
        if (contains(atoms, ewmh_._NET_WM_STATE_ABOVE)) client.layer = kFloatingLayer;
        if (contains(atoms, ewmh_._NET_WM_STATE_BELOW)) client.layer = kBelowLayer;
        xcb_ewmh_get_atoms_reply_wipe(&atoms);
      }
      if (xcb_ewmh_get_wm_window_type_reply(&ewmh_, cookies[i].type, &atoms, nullptr)) {
        if (contains(atoms, ewmh_._NET_WM_WINDOW_TYPE_DOCK)) client.layer = kDockLayer;
        client.desktop = contains(atoms, ewmh_._NET_WM_WINDOW_TYPE_DESKTOP);
        xcb_ewmh_get_atoms_reply_wipe(&atoms);
      }
      clients.push_back(client);
    }
    return clients;
  }

  xcb_connection_t* connection_ = nullptr;
  xcb_ewmh_connection_t ewmh_{};
  bool ewmhReady_ = false;
  int screen_ = 0;
  xcb_window_t root_ = XCB_WINDOW_NONE;
};

}  // namespace
}  // namespace velmaris::platform::linux_desktop

namespace velmaris::platform {

std::unique_ptr<WindowServer> makeLinuxWindowServer() {
  return std::make_unique<linux_desktop::X11WindowServer>();
}

}  // namespace velmaris::platform
