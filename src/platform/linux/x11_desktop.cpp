// XCB reads of the window list and the owners' properties. Requests for many windows are
// sent together and their replies collected afterwards: one round trip per step.
#include "platform/linux/x11_desktop.h"

#include <algorithm>
#include <cstring>

namespace velmaris::platform::linux_desktop {
namespace {

// Client lists longer than this are cut: no desktop has that many windows, and the requests
// for them all must fit the socket's buffer, or a stopped server would block their sending.
constexpr std::uint32_t kMaxWindows = 1024;
constexpr std::uint32_t kMaxApplicationIdWords = 64;

}  // namespace

struct X11Desktop::Session final : X11Session {
  using X11Session::X11Session;
  xcb_atom_t netClientList = 0;
  xcb_atom_t netWmPid = 0;
  xcb_atom_t netSupportingWmCheck = 0;
  xcb_atom_t gtkApplicationId = 0;
  xcb_atom_t utf8String = 0;
  xcb_atom_t gtkFrameExtents = 0;
  xcb_atom_t netWmName = 0;
  bool captureAllowed = false;
};

X11Desktop::X11Desktop(std::shared_ptr<const RequestTime> requestTime)
    : requestTime_(std::move(requestTime)),
      connection_([](xcb_connection_t* c, int screen) -> std::shared_ptr<X11Session> {
        auto session = std::make_shared<Session>(c, screen);
        if (session->root == XCB_WINDOW_NONE) return nullptr;
        const char* names[] = {"_NET_CLIENT_LIST",    "_NET_WM_PID", "_NET_SUPPORTING_WM_CHECK",
                               "_GTK_APPLICATION_ID", "UTF8_STRING", "_GTK_FRAME_EXTENTS",
                               "_NET_WM_NAME"};
        xcb_atom_t* atoms[] = {&session->netClientList,        &session->netWmPid,
                               &session->netSupportingWmCheck, &session->gtkApplicationId,
                               &session->utf8String,           &session->gtkFrameExtents,
                               &session->netWmName};
        constexpr int count = 7;
        xcb_intern_atom_cookie_t cookies[count];
        for (int i = 0; i < count; i++)
          cookies[i] = xcb_intern_atom(c, 0, std::uint16_t(std::strlen(names[i])), names[i]);
        for (int i = 0; i < count; i++) {
          Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
          if (!reply) return nullptr;
          *atoms[i] = reply->atom;
        }
        session->captureAllowed = compositeAllowsCapture(c);
        return session;
      }) {}

namespace {

xcb_get_property_cookie_t windowProperty(xcb_connection_t* c, xcb_window_t window,
                                         xcb_atom_t atom, xcb_atom_t type,
                                         std::uint32_t words) {
  return xcb_get_property(c, 0, window, atom, type, 0, words);
}

// The first 32-bit value of a property, if it holds one.
bool firstCardinal(const Reply<xcb_get_property_reply_t>& reply, std::uint32_t& out) {
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
    return false;
  }
  std::memcpy(&out, xcb_get_property_value(reply.get()), 4);
  return true;
}

}  // namespace

std::vector<xcb_window_t> X11Desktop::topLevelWindows(Session& s, Deadline deadline) {
  using PropertyReply = Reply<xcb_get_property_reply_t>;
  xcb_connection_t* c = s.connection;
  std::vector<xcb_window_t> windows;
  // A window manager names a window of its own on the root, and that window names itself;
  // a property left behind by one that exited names a window that no longer exists.
  std::uint32_t check = 0, self = 0;
  auto cookie = windowProperty(c, s.root, s.netSupportingWmCheck, XCB_ATOM_WINDOW, 1);
  // The client list goes out with the first check (nearly every desktop has a window
  // manager): one round trip to the server fewer, on every list of applications.
  const auto listCookie = windowProperty(c, s.root, s.netClientList, XCB_ATOM_WINDOW, kMaxWindows);
  bool managed = firstCardinal(
                     connection_.reply<xcb_get_property_reply_t>(s, cookie.sequence, deadline),
                     check) &&
                 check != 0;
  if (managed) {
    cookie = windowProperty(c, check, s.netSupportingWmCheck, XCB_ATOM_WINDOW, 1);
    managed = firstCardinal(
                  connection_.reply<xcb_get_property_reply_t>(s, cookie.sequence, deadline), self) &&
              self == check;
  }
  if (managed) {
    PropertyReply reply =
        connection_.reply<xcb_get_property_reply_t>(s, listCookie.sequence, deadline);
    if (reply && reply->format == 32) {
      auto* ids = static_cast<xcb_window_t*>(xcb_get_property_value(reply.get()));
      int count = xcb_get_property_value_length(reply.get()) / 4;
      windows.assign(ids, ids + count);
    }
    return windows;
  }
  xcb_discard_reply(c, listCookie.sequence);
  Reply<xcb_query_tree_reply_t> tree = connection_.reply<xcb_query_tree_reply_t>(
      s, xcb_query_tree(c, s.root).sequence, deadline);
  if (!tree) return windows;
  auto* children = xcb_query_tree_children(tree.get());
  int count = std::min<int>(xcb_query_tree_children_length(tree.get()), int(kMaxWindows));
  std::vector<xcb_get_window_attributes_cookie_t> cookies;
  for (int i = 0; i < count; i++) cookies.push_back(xcb_get_window_attributes(c, children[i]));
  for (int i = 0; i < count; i++) {
    auto attributes = connection_.reply<xcb_get_window_attributes_reply_t>(
        s, cookies[std::size_t(i)].sequence, deadline);
    if (attributes && !attributes->override_redirect &&
        attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
      windows.push_back(children[i]);
    }
  }
  return windows;
}

std::vector<ClientWindow> X11Desktop::clientWindows() {
  const Deadline deadline = deadlineOf(*requestTime_);
  auto session = std::static_pointer_cast<Session>(connection_.session(deadline));
  if (!session) return {};
  return clientWindows(*session, deadline);
}

std::vector<ClientWindow> X11Desktop::clientWindows(Session& s, Deadline deadline) {
  std::vector<ClientWindow> result;
  std::vector<xcb_window_t> windows = topLevelWindows(s, deadline);
  std::vector<xcb_get_property_cookie_t> pids, ids;
  for (auto window : windows) {
    pids.push_back(windowProperty(s.connection, window, s.netWmPid, XCB_ATOM_CARDINAL, 1));
    ids.push_back(windowProperty(s.connection, window, s.gtkApplicationId, s.utf8String,
                                 kMaxApplicationIdWords));
  }
  for (std::size_t i = 0; i < windows.size(); i++) {
    ClientWindow client;
    client.window = windows[i];
    std::uint32_t pid = 0;
    auto pidReply = connection_.reply<xcb_get_property_reply_t>(s, pids[i].sequence, deadline);
    auto id = connection_.reply<xcb_get_property_reply_t>(s, ids[i].sequence, deadline);
    if (firstCardinal(pidReply, pid) && pid <= 0x7fffffffu) client.pid = std::int32_t(pid);
    if (id && id->format == 8) {
      client.applicationId.assign(static_cast<const char*>(xcb_get_property_value(id.get())),
                                  std::size_t(xcb_get_property_value_length(id.get())));
    }
    result.push_back(std::move(client));
  }
  // A list cut short by a server that stopped answering would tell half the truth.
  if (connection_.stalled(s)) result.clear();
  return result;
}

std::vector<WindowPlacement> X11Desktop::placementsOf(std::int32_t pid) {
  std::vector<WindowPlacement> result;
  const Deadline deadline = deadlineOf(*requestTime_);
  auto session = std::static_pointer_cast<Session>(connection_.session(deadline));
  if (!session || pid <= 0) return result;
  Session& s = *session;
  xcb_connection_t* c = s.connection;
  for (const ClientWindow& client : clientWindows(s, deadline)) {
    if (client.pid != pid) continue;
    auto geometryCookie = xcb_get_geometry(c, client.window);
    auto originCookie = xcb_translate_coordinates(c, client.window, s.root, 0, 0);
    auto insetsCookie = windowProperty(c, client.window, s.gtkFrameExtents, XCB_ATOM_CARDINAL, 4);
    auto netNameCookie = windowProperty(c, client.window, s.netWmName, s.utf8String, kMaxTitleWords);
    auto nameCookie = windowProperty(c, client.window, XCB_ATOM_WM_NAME,
                                     XCB_GET_PROPERTY_TYPE_ANY, kMaxTitleWords);
    auto geometry = connection_.reply<xcb_get_geometry_reply_t>(s, geometryCookie.sequence, deadline);
    auto origin =
        connection_.reply<xcb_translate_coordinates_reply_t>(s, originCookie.sequence, deadline);
    auto insets = connection_.reply<xcb_get_property_reply_t>(s, insetsCookie.sequence, deadline);
    auto netName = connection_.reply<xcb_get_property_reply_t>(s, netNameCookie.sequence, deadline);
    auto name = connection_.reply<xcb_get_property_reply_t>(s, nameCookie.sequence, deadline);
    if (!geometry || !origin) continue;
    WindowPlacement placement;
    placement.x = origin->dst_x;
    placement.y = origin->dst_y;
    placement.width = geometry->width;
    placement.height = geometry->height;
    placement.title = windowTitle(netName.get(), name.get(), s.utf8String);
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
      auto tree = connection_.reply<xcb_query_tree_reply_t>(s, xcb_query_tree(c, frame).sequence,
                                                            deadline);
      if (!tree || tree->parent == s.root || tree->parent == XCB_WINDOW_NONE) break;
      frame = tree->parent;
    }
    auto frameGeometry =
        connection_.reply<xcb_get_geometry_reply_t>(s, xcb_get_geometry(c, frame).sequence, deadline);
    if (!frameGeometry) continue;
    placement.frameX = frameGeometry->x;
    placement.frameY = frameGeometry->y;
    placement.frameWidth = frameGeometry->width + 2 * frameGeometry->border_width;
    placement.frameHeight = frameGeometry->height + 2 * frameGeometry->border_width;
    result.push_back(placement);
  }
  if (connection_.stalled(s)) result.clear();
  return result;
}

bool X11Desktop::captureAllowed() {
  auto session = connection_.session(deadlineOf(*requestTime_));
  return session && static_cast<Session&>(*session).captureAllowed;
}

}  // namespace velmaris::platform::linux_desktop
