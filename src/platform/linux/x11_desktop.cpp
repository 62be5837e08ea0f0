// XCB reads of the window list and the owners' properties. Requests for many windows are
// sent together and their replies collected afterwards: one round trip per step.
#include "platform/linux/x11_desktop.h"
#include "platform/linux/xcb_reply.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

namespace velmaris::platform::linux_desktop {
namespace {

// Client lists longer than this are cut: no desktop has that many windows.
constexpr std::uint32_t kMaxWindows = 4096;
constexpr std::uint32_t kMaxApplicationIdWords = 64;

xcb_atom_t internAtom(xcb_connection_t* c, xcb_intern_atom_cookie_t cookie) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookie, nullptr));
  return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

xcb_get_property_cookie_t windowProperty(xcb_connection_t* c, xcb_window_t window,
                                         xcb_atom_t atom, xcb_atom_t type,
                                         std::uint32_t words) {
  return xcb_get_property(c, 0, window, atom, type, 0, words);
}

// The first 32-bit value of a property, if it holds one.
bool firstCardinal(xcb_connection_t* c, xcb_get_property_cookie_t cookie, std::uint32_t& out) {
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
    return false;
  }
  std::memcpy(&out, xcb_get_property_value(reply.get()), 4);
  return true;
}

}  // namespace

X11Desktop::~X11Desktop() { disconnect(); }

void X11Desktop::disconnect() {
  if (connection_) xcb_disconnect(connection_);
  connection_ = nullptr;
}

bool X11Desktop::connect() {
  if (connection_ && !xcb_connection_has_error(connection_)) return true;
  disconnect();
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return false;
  int screenNumber = 0;
  connection_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection_)) {
    disconnect();
    return false;
  }
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screenNumber && screens.rem; i++) xcb_screen_next(&screens);
  if (!screens.rem) {
    disconnect();
    return false;
  }
  root_ = screens.data->root;
  const char* names[] = {"_NET_CLIENT_LIST", "_NET_WM_PID", "_NET_SUPPORTING_WM_CHECK",
                         "_GTK_APPLICATION_ID", "UTF8_STRING", "_GTK_FRAME_EXTENTS"};
  xcb_atom_t* atoms[] = {&netClientList_, &netWmPid_, &netSupportingWmCheck_, &gtkApplicationId_,
                         &utf8String_, &gtkFrameExtents_};
  constexpr int kAtoms = int(std::size(names));
  xcb_intern_atom_cookie_t cookies[kAtoms];
  for (int i = 0; i < kAtoms; i++) {
    cookies[i] = xcb_intern_atom(connection_, 0, std::uint16_t(std::strlen(names[i])), names[i]);
  }
  for (int i = 0; i < kAtoms; i++) *atoms[i] = internAtom(connection_, cookies[i]);
  return true;
}

bool X11Desktop::windowManagerRunning() {
  // A window manager names a window of its own on the root, and that window names itself;
  // a property left behind by one that exited names a window that no longer exists.
  std::uint32_t check = 0;
  auto cookie = windowProperty(connection_, root_, netSupportingWmCheck_, XCB_ATOM_WINDOW, 1);
  if (!firstCardinal(connection_, cookie, check) || check == 0) return false;
  std::uint32_t self = 0;
  cookie = windowProperty(connection_, check, netSupportingWmCheck_, XCB_ATOM_WINDOW, 1);
  return firstCardinal(connection_, cookie, self) && self == check;
}

std::vector<xcb_window_t> X11Desktop::topLevelWindows() {
  std::vector<xcb_window_t> windows;
  if (windowManagerRunning()) {
    auto cookie = windowProperty(connection_, root_, netClientList_, XCB_ATOM_WINDOW, kMaxWindows);
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection_, cookie, nullptr));
    if (reply && reply->format == 32) {
      auto* ids = static_cast<xcb_window_t*>(xcb_get_property_value(reply.get()));
      int count = xcb_get_property_value_length(reply.get()) / 4;
      windows.assign(ids, ids + count);
    }
    return windows;
  }
  Reply<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
  if (!tree) return windows;
  auto* children = xcb_query_tree_children(tree.get());
  int count = std::min<int>(xcb_query_tree_children_length(tree.get()), int(kMaxWindows));
  std::vector<xcb_get_window_attributes_cookie_t> cookies;
  for (int i = 0; i < count; i++) {
    cookies.push_back(xcb_get_window_attributes(connection_, children[i]));
  }
  for (int i = 0; i < count; i++) {
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(connection_, cookies[std::size_t(i)], nullptr));
    if (attributes && !attributes->override_redirect &&
        attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
      windows.push_back(children[i]);
    }
  }
  return windows;
}

std::vector<ClientWindow> X11Desktop::clientWindows() {
  std::vector<ClientWindow> result;
  if (!connect()) return result;
  std::vector<xcb_window_t> windows = topLevelWindows();
  std::vector<xcb_get_property_cookie_t> pids, ids;
  for (auto window : windows) {
    pids.push_back(windowProperty(connection_, window, netWmPid_, XCB_ATOM_CARDINAL, 1));
    ids.push_back(windowProperty(connection_, window, gtkApplicationId_, utf8String_,
                                 kMaxApplicationIdWords));
  }
  for (std::size_t i = 0; i < windows.size(); i++) {
    ClientWindow client;
    client.window = windows[i];
    std::uint32_t pid = 0;
    if (firstCardinal(connection_, pids[i], pid) && pid <= 0x7fffffffu) {
      client.pid = std::int32_t(pid);
    }
    Reply<xcb_get_property_reply_t> id(xcb_get_property_reply(connection_, ids[i], nullptr));
    if (id && id->format == 8) {
      client.applicationId.assign(static_cast<const char*>(xcb_get_property_value(id.get())),
                                  std::size_t(xcb_get_property_value_length(id.get())));
    }
    result.push_back(std::move(client));
  }
  return result;
}

std::vector<WindowPlacement> X11Desktop::placementsOf(std::int32_t pid) {
  std::vector<WindowPlacement> result;
  for (const ClientWindow& client : clientWindows()) {
    if (client.pid != pid || pid <= 0) continue;
    auto geometryCookie = xcb_get_geometry(connection_, client.window);
    auto originCookie = xcb_translate_coordinates(connection_, client.window, root_, 0, 0);
    auto insetsCookie =
        windowProperty(connection_, client.window, gtkFrameExtents_, XCB_ATOM_CARDINAL, 4);
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, geometryCookie, nullptr));
    Reply<xcb_translate_coordinates_reply_t> origin(
        xcb_translate_coordinates_reply(connection_, originCookie, nullptr));
    Reply<xcb_get_property_reply_t> insets(
        xcb_get_property_reply(connection_, insetsCookie, nullptr));
    if (!geometry || !origin) continue;
    WindowPlacement placement;
    placement.x = origin->dst_x;
    placement.y = origin->dst_y;
    placement.width = geometry->width;
    placement.height = geometry->height;
    if (insets && insets->format == 32 && xcb_get_property_value_length(insets.get()) >= 16) {
      std::uint32_t words[4];
      std::memcpy(words, xcb_get_property_value(insets.get()), sizeof words);
      placement.insetLeft = std::int32_t(std::min<std::uint32_t>(words[0], 0xffff));
      placement.insetRight = std::int32_t(std::min<std::uint32_t>(words[1], 0xffff));
      placement.insetTop = std::int32_t(std::min<std::uint32_t>(words[2], 0xffff));
      placement.insetBottom = std::int32_t(std::min<std::uint32_t>(words[3], 0xffff));
    }
    // The frame: the ancestor that is a child of the root.
    xcb_window_t frame = client.window;
    for (int depth = 0; depth < 8; depth++) {
      Reply<xcb_query_tree_reply_t> tree(
          xcb_query_tree_reply(connection_, xcb_query_tree(connection_, frame), nullptr));
      if (!tree || tree->parent == root_ || tree->parent == XCB_WINDOW_NONE) break;
      frame = tree->parent;
    }
    Reply<xcb_get_geometry_reply_t> frameGeometry(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, frame), nullptr));
    if (!frameGeometry) continue;
    placement.frameX = frameGeometry->x;
    placement.frameY = frameGeometry->y;
    placement.frameWidth = frameGeometry->width + 2 * frameGeometry->border_width;
    placement.frameHeight = frameGeometry->height + 2 * frameGeometry->border_width;
    result.push_back(placement);
  }
  return result;
}

bool X11Desktop::hasComposite() {
  if (!connect()) return false;
  const char name[] = "Composite";
  Reply<xcb_query_extension_reply_t> reply(xcb_query_extension_reply(
      connection_, xcb_query_extension(connection_, sizeof name - 1, name), nullptr));
  return reply && reply->present;
}

}  // namespace velmaris::platform::linux_desktop
