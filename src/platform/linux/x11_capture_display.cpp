// Window capture on X11. Redirection is automatic, so the server keeps compositing the
// screen as before while every top-level window also has a pixmap of its own; it is asked for
// once, as early as possible, because windows redirected for the first time show stale pixels
// until their application has repainted them. Damage records, per top-level window, when it
// last painted, so a capture of a window fresh from redirection or mapping waits for its paint.
#include "platform/linux/x11_capture_display.h"
#include "platform/linux/xcb_reply.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <pixman.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace velmaris::platform::linux_desktop {
namespace {

using namespace std::chrono_literals;

// A window is fresh for this long after it was redirected or mapped; within it, a capture
// waits until the window has painted and then kept still for kQuietFor.
constexpr auto kFreshFor = 1000ms;
constexpr auto kQuietFor = 50ms;

// Longer client lists are cut: their requests must fit the socket's buffer, or a stopped
// server would block their sending.
constexpr std::uint32_t kMaxWindows = 512;
constexpr int kMaxAncestors = 32;
// Shared memory up to this size is kept for the next capture; larger pictures get their own.
constexpr std::size_t kKeptSharedMemory = std::size_t(2048) * 2048 * 4;
// Pictures beyond this many pixels are not read at all (a 32767² pixmap would be 4 GiB).
constexpr std::uint64_t kMaxPixels = std::uint64_t(1) << 26;
// A read status apart from X's error codes: shared memory cannot be had for this capture.
constexpr std::int32_t kNoSharedMemory = -1;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

bool firstWord(Reply<xcb_get_property_reply_t>& reply, std::uint32_t& out) {
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return false;
  std::memcpy(&out, xcb_get_property_value(reply.get()), 4);
  return true;
}


// Copies or scales 32-bit pixels (B, G, R, unused in memory) into a new image; pixels of a
// most-significant-byte-first server are turned around first.
std::shared_ptr<const WindowImage> scaledImage(const std::uint8_t* source, int width, int height,
                                               std::size_t stride, int outWidth, int outHeight,
                                               bool lsbFirst) {
  std::vector<std::uint8_t> turned;
  if (!lsbFirst) {
    turned.assign(source, source + stride * std::size_t(height));
    for (std::size_t i = 0; i + 3 < turned.size(); i += 4) {
      std::swap(turned[i], turned[i + 3]);
      std::swap(turned[i + 1], turned[i + 2]);
    }
    source = turned.data();
  }
  auto image = std::make_shared<WindowImage>();
  image->width = outWidth;
  image->height = outHeight;
  image->bytesPerRow = std::size_t(outWidth) * 4;
  image->pixels.resize(image->bytesPerRow * std::size_t(outHeight));
  if (width == outWidth && height == outHeight) {
    for (int y = 0; y < height; ++y)
      std::memcpy(image->pixels.data() + std::size_t(y) * image->bytesPerRow,
                  source + std::size_t(y) * stride, image->bytesPerRow);
    return image;
  }
  pixman_image_t* src = pixman_image_create_bits(
      PIXMAN_x8r8g8b8, width, height,
      reinterpret_cast<std::uint32_t*>(const_cast<std::uint8_t*>(source)), int(stride));
  pixman_image_t* dst = pixman_image_create_bits(
      PIXMAN_x8r8g8b8, outWidth, outHeight,
      reinterpret_cast<std::uint32_t*>(image->pixels.data()), int(image->bytesPerRow));
  const double sx = double(width) / outWidth;
  const double sy = double(height) / outHeight;
  pixman_transform_t transform;
  pixman_transform_init_scale(&transform, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy));
  pixman_image_set_transform(src, &transform);
  pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
  if (sx > 2.0 || sy > 2.0) {
    // Bilinear sampling would skip source pixels: average the whole area each pixel covers.
    int count = 0;
    pixman_fixed_t* params = pixman_filter_create_separable_convolution(
        &count, pixman_double_to_fixed(std::max(sx, 1.0)), pixman_double_to_fixed(std::max(sy, 1.0)),
        PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_IMPULSE, PIXMAN_KERNEL_BOX, PIXMAN_KERNEL_BOX, 2, 2);
    pixman_image_set_filter(src, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, count);
    std::free(params);
  } else {
    pixman_image_set_filter(src, PIXMAN_FILTER_BILINEAR, nullptr, 0);
  }
  pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, 0, 0, outWidth, outHeight);
  pixman_image_unref(src);
  pixman_image_unref(dst);
  return image;
}

}  // namespace

struct X11CaptureDisplay::Session final : X11Session {
  using X11Session::X11Session;
  ~Session() override {
    if (shmAddress) shmdt(shmAddress);
  }
  bool composite = false;  // allows capture
  bool shm = false;
  bool lsbFirst = true;
  std::uint8_t damageEvent = 0;
  struct Atoms {
    xcb_atom_t clientList, wmPid, netWmName, utf8, supportingWmCheck, windowType, typeDesktop;
  } atoms{};
  std::map<xcb_window_t, Painting> paintings;  // by top-level window; under the display's mutex_
  // Shared memory kept for the next capture, under the display's shmMutex_.
  std::uint32_t shmSegment = 0;
  std::uint8_t* shmAddress = nullptr;
  std::size_t shmSize = 0;
};

X11CaptureDisplay::X11CaptureDisplay() : connection_(&X11CaptureDisplay::open) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  connection_.open();
  if (wakeFd_ >= 0) events_ = std::thread([this] { eventLoop(); });
}

X11CaptureDisplay::~X11CaptureDisplay() {
  close();
  if (events_.joinable()) {
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
      // Cannot happen for an eventfd below its maximum; the thread would end at its next wake.
    }
    events_.join();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void X11CaptureDisplay::close() { connection_.close(); }

std::shared_ptr<X11CaptureDisplay::Session> X11CaptureDisplay::session(Deadline deadline) {
  return std::static_pointer_cast<Session>(connection_.session(deadline));
}

// Runs on the opening thread, before anyone else sees the session: it may wait.
std::shared_ptr<X11Session> X11CaptureDisplay::open(xcb_connection_t* c, int screenNumber) {
  auto session = std::make_shared<Session>(c, screenNumber);
  if (session->root == XCB_WINDOW_NONE) return nullptr;
  Session& s = *session;
  const xcb_setup_t* setup = xcb_get_setup(c);
  s.lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;

  for (xcb_extension_t* e : {&xcb_composite_id, &xcb_damage_id, &xcb_xfixes_id, &xcb_shm_id})
    xcb_prefetch_extension_data(c, e);
  auto present = [&](xcb_extension_t* e) {
    const auto* data = xcb_get_extension_data(c, e);
    return data && data->present;
  };
  s.composite = compositeAllowsCapture(c);
  if (present(&xcb_xfixes_id) && present(&xcb_damage_id)) {
    // Damage needs the client's XFixes version announced first.
    std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> v(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (v) s.damageEvent = std::uint8_t(xcb_get_extension_data(c, &xcb_damage_id)->first_event +
                                        XCB_DAMAGE_NOTIFY);
  }
  if (present(&xcb_shm_id)) {
    Reply<xcb_shm_query_version_reply_t> v(
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    s.shm = v != nullptr;
  }
  s.atoms.clientList = atom(c, "_NET_CLIENT_LIST");
  s.atoms.wmPid = atom(c, "_NET_WM_PID");
  s.atoms.netWmName = atom(c, "_NET_WM_NAME");
  s.atoms.utf8 = atom(c, "UTF8_STRING");
  s.atoms.supportingWmCheck = atom(c, "_NET_SUPPORTING_WM_CHECK");
  s.atoms.windowType = atom(c, "_NET_WM_WINDOW_TYPE");
  s.atoms.typeDesktop = atom(c, "_NET_WM_WINDOW_TYPE_DESKTOP");

  if (s.composite) {
    xcb_composite_redirect_subwindows(c, s.root, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    // Hear of top-level windows coming, going and being mapped, then record those there now.
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, s.root, XCB_CW_EVENT_MASK, &mask);
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, s.root), nullptr));
    if (tree) {
      const auto now = SteadyClock::now();
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i)
        track(s, children[i], now);
    }
    xcb_flush(c);
  }
  return session;
}

void X11CaptureDisplay::track(Session& s, xcb_window_t window, SteadyClock::time_point since) {
  if (s.paintings.count(window) || !s.damageEvent) return;
  Painting p;
  p.damage = xcb_generate_id(s.connection);
  p.freshSince = since;
  xcb_damage_create(s.connection, p.damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  s.paintings.emplace(window, p);
}

void X11CaptureDisplay::handleEventsLocked(Session& s) {
  bool answered = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(s.connection)) {
    const std::uint8_t type = event->response_type & 0x7f;
    const auto now = SteadyClock::now();
    if (type == XCB_CREATE_NOTIFY) {
      auto* e = reinterpret_cast<xcb_create_notify_event_t*>(event);
      if (e->parent == s.root) track(s, e->window, now);
    } else if (type == XCB_DESTROY_NOTIFY) {
      // The server frees the window's damage with it.
      s.paintings.erase(reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window);
    } else if (type == XCB_REPARENT_NOTIFY) {
      auto* e = reinterpret_cast<xcb_reparent_notify_event_t*>(event);
      if (e->parent == s.root) {
        track(s, e->window, now);
      } else if (auto it = s.paintings.find(e->window); it != s.paintings.end()) {
        // A client taken into its window manager's frame.
        xcb_damage_destroy(s.connection, it->second.damage);
        s.paintings.erase(it);
      }
    } else if (type == XCB_MAP_NOTIFY) {
      auto* e = reinterpret_cast<xcb_map_notify_event_t*>(event);
      auto it = s.paintings.find(e->window);
      if (e->event == s.root && it != s.paintings.end()) {
        it->second.freshSince = now;
        it->second.painted = false;
      }
    } else if (s.damageEvent && type == s.damageEvent) {
      auto* e = reinterpret_cast<xcb_damage_notify_event_t*>(event);
      auto it = s.paintings.find(e->drawable);
      if (it != s.paintings.end()) {
        it->second.painted = true;
        it->second.lastPaint = now;
      }
      // Repaired at once, so the next paint is reported again.
      xcb_damage_subtract(s.connection, e->damage, XCB_NONE, XCB_NONE);
      answered = true;
    }
    std::free(event);  // errors of requests about windows that went away end here too
  }
  if (answered) xcb_flush(s.connection);
  painted_.notify_all();
}

void X11CaptureDisplay::eventLoop() {
  for (;;) {
    std::shared_ptr<Session> s = std::static_pointer_cast<Session>(connection_.current());
    if (s && xcb_connection_has_error(s->connection)) s.reset();
    // While a reply is waited for, the waiter reads the socket (events too): reading it here
    // would take the reply from under the waiter's poll, costing it a whole poll slice.
    const bool waited = s && connection_.waiting();
    const int fd = s && !waited ? xcb_get_file_descriptor(s->connection) : -1;
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
    // Events that a reply reader pulled off the socket wake no poll: look now and then. Without
    // a connection yet, look again soon for the one being opened.
    poll(fds, fd >= 0 ? 2 : 1, !s ? 100 : waited ? 20 : 1000);
    if (fds[0].revents) return;
    if (!s || connection_.waiting()) continue;
    std::lock_guard lock(mutex_);
    handleEventsLocked(*s);
  }
}

bool X11CaptureDisplay::captureAllowed(Deadline deadline) {
  auto s = session(deadline);
  return s && s->composite;
}

std::vector<ScreenDisplay> X11CaptureDisplay::monitors(Deadline deadline) {
  std::vector<ScreenDisplay> displays;
  auto session = this->session(deadline);
  if (!session) return displays;
  Session& s = *session;
  xcb_connection_t* c = s.connection;
  const auto* randr = xcb_get_extension_data(c, &xcb_randr_id);
  if (randr && randr->present) {
    std::free(connection_.reply<xcb_randr_query_version_reply_t>(
                             s, xcb_randr_query_version(c, 1, 5).sequence, deadline)
                  .release());
    auto reply = connection_.reply<xcb_randr_get_monitors_reply_t>(
        s, xcb_randr_get_monitors(c, s.root, 1).sequence, deadline);
    if (reply) {
      std::uint32_t id = 1;
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
           xcb_randr_monitor_info_next(&it)) {
        ScreenRect frame{double(it.data->x), double(it.data->y), double(it.data->width),
                         double(it.data->height)};
        // The primary monitor is the main screen, listed first.
        if (it.data->primary) {
          displays.insert(displays.begin(), ScreenDisplay{id++, frame});
        } else {
          displays.push_back(ScreenDisplay{id++, frame});
        }
      }
    }
  }
  if (displays.empty()) {
    auto root = connection_.reply<xcb_get_geometry_reply_t>(
        s, xcb_get_geometry(c, s.root).sequence, deadline);
    if (root) displays.push_back(ScreenDisplay{1, ScreenRect{0, 0, double(root->width), double(root->height)}});
  }
  if (connection_.stalled(s)) displays.clear();
  return displays;
}

std::optional<ScreenCaptureError> X11CaptureDisplay::windows(bool excludingDesktopWindows,
                                                             bool onScreenWindowsOnly,
                                                             Deadline deadline,
                                                             std::vector<CapturableWindow>& out) {
  auto session = this->session(deadline);
  if (!session) return ScreenCaptureError{x11ErrorDomain, xBadImplementation};
  Session& s = *session;
  xcb_connection_t* c = s.connection;
  {
    std::lock_guard lock(mutex_);
    handleEventsLocked(s);
  }
  auto propertyReply = [&](xcb_get_property_cookie_t cookie) {
    return connection_.reply<xcb_get_property_reply_t>(s, cookie.sequence, deadline);
  };
  auto stalled = [&] { return connection_.stalled(s); };

  // The clients: the window manager's list when one runs, else the root's shown children.
  std::vector<xcb_window_t> clients;
  bool managed = false;
  {
    auto check = propertyReply(
        xcb_get_property(c, 0, s.root, s.atoms.supportingWmCheck, XCB_ATOM_WINDOW, 0, 1));
    std::uint32_t wm = 0, self = 0;
    if (firstWord(check, wm) && wm != 0) {
      auto own = propertyReply(
          xcb_get_property(c, 0, wm, s.atoms.supportingWmCheck, XCB_ATOM_WINDOW, 0, 1));
      managed = firstWord(own, self) && self == wm;
    }
  }
  if (managed) {
    auto list = propertyReply(
        xcb_get_property(c, 0, s.root, s.atoms.clientList, XCB_ATOM_WINDOW, 0, kMaxWindows));
    if (list && list->format == 32) {
      const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
      clients.assign(ids, ids + xcb_get_property_value_length(list.get()) / 4);
    }
  } else {
    auto tree = connection_.reply<xcb_query_tree_reply_t>(s, xcb_query_tree(c, s.root).sequence,
                                                          deadline);
    if (!tree) return ScreenCaptureError{x11ErrorDomain, xBadWindow};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = std::min<int>(xcb_query_tree_children_length(tree.get()), int(kMaxWindows));
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (int i = 0; i < count; ++i) cookies.push_back(xcb_get_window_attributes(c, children[i]));
    for (int i = 0; i < count; ++i) {
      auto a = connection_.reply<xcb_get_window_attributes_reply_t>(
          s, cookies[std::size_t(i)].sequence, deadline);
      if (a && !a->override_redirect && a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT &&
          a->map_state == XCB_MAP_STATE_VIEWABLE)
        clients.push_back(children[i]);
    }
  }
  if (stalled()) return ScreenCaptureError{x11ErrorDomain, xBadImplementation};

  // Each client's top-level ancestor, one level of the tree per round trip for all of them.
  std::vector<xcb_window_t> frames(clients);
  std::vector<bool> found(clients.size(), false);
  for (int level = 0; level < kMaxAncestors; ++level) {
    std::vector<std::pair<std::size_t, xcb_query_tree_cookie_t>> asked;
    for (std::size_t i = 0; i < frames.size(); ++i)
      if (!found[i] && frames[i]) asked.emplace_back(i, xcb_query_tree(c, frames[i]));
    if (asked.empty()) break;
    for (auto& [i, cookie] : asked) {
      auto tree = connection_.reply<xcb_query_tree_reply_t>(s, cookie.sequence, deadline);
      if (!tree) {
        frames[i] = 0;  // gone meanwhile
      } else if (tree->parent == s.root || tree->parent == XCB_WINDOW_NONE) {
        found[i] = true;
      } else {
        frames[i] = tree->parent;
      }
    }
    if (stalled()) return ScreenCaptureError{x11ErrorDomain, xBadImplementation};
  }

  struct Cookies {
    xcb_get_geometry_cookie_t geometry;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_translate_coordinates_cookie_t client;
    xcb_get_geometry_cookie_t clientGeometry;
    xcb_get_property_cookie_t pid, netName, name, type;
  };
  std::vector<Cookies> cookies;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const xcb_window_t w = clients[i];
    const xcb_window_t top = frames[i] ? frames[i] : w;
    cookies.push_back({xcb_get_geometry(c, top), xcb_get_window_attributes(c, top),
                       xcb_translate_coordinates(c, w, s.root, 0, 0), xcb_get_geometry(c, w),
                       xcb_get_property(c, 0, w, s.atoms.wmPid, XCB_ATOM_CARDINAL, 0, 1),
                       xcb_get_property(c, 0, w, s.atoms.netWmName, s.atoms.utf8, 0, kMaxTitleWords),
                       xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                        kMaxTitleWords),
                       xcb_get_property(c, 0, w, s.atoms.windowType, XCB_ATOM_ATOM, 0, 32)});
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    auto geometry = connection_.reply<xcb_get_geometry_reply_t>(s, cookies[i].geometry.sequence, deadline);
    auto attributes = connection_.reply<xcb_get_window_attributes_reply_t>(
        s, cookies[i].attributes.sequence, deadline);
    auto client = connection_.reply<xcb_translate_coordinates_reply_t>(
        s, cookies[i].client.sequence, deadline);
    auto clientGeometry = connection_.reply<xcb_get_geometry_reply_t>(
        s, cookies[i].clientGeometry.sequence, deadline);
    auto pid = propertyReply(cookies[i].pid);
    auto netName = propertyReply(cookies[i].netName);
    auto name = propertyReply(cookies[i].name);
    auto type = propertyReply(cookies[i].type);
    if (!found[i] || !geometry || !attributes) continue;  // went away while being read

    if (excludingDesktopWindows && type && type->format == 32) {
      const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(type.get()));
      const int n = xcb_get_property_value_length(type.get()) / 4;
      if (std::find(atoms, atoms + n, s.atoms.typeDesktop) != atoms + n) continue;
    }
    CapturableWindow window;
    window.windowID = clients[i];
    window.onScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (onScreenWindowsOnly && !window.onScreen) continue;
    // The frame as the window manager's decorations enclose it, border included.
    const double border = geometry->border_width;
    window.frame = ScreenRect{double(geometry->x), double(geometry->y),
                              geometry->width + 2 * border, geometry->height + 2 * border};
    // The client's own area, where toolkits that describe the client window place it.
    if (client && clientGeometry && clients[i] != frames[i]) {
      const ScreenRect own{double(client->dst_x), double(client->dst_y),
                           double(clientGeometry->width), double(clientGeometry->height)};
      if (own.x != window.frame.x || own.y != window.frame.y ||
          own.width != window.frame.width || own.height != window.frame.height)
        window.contentFrame = own;
    }
    std::uint32_t owner = 0;
    if (firstWord(pid, owner) && owner > 0 && owner <= 0x7fffffffu)
      window.owningApplicationPID = std::int32_t(owner);
    window.title = windowTitle(netName.get(), name.get(), s.atoms.utf8);
    out.push_back(std::move(window));
  }
  if (stalled()) {
    out.clear();
    return ScreenCaptureError{x11ErrorDomain, xBadImplementation};
  }
  return std::nullopt;
}

std::optional<ScreenCaptureError> X11CaptureDisplay::viewableFrame(xcb_window_t client,
                                                                   Deadline deadline,
                                                                   const std::atomic<bool>& cancelled,
                                                                   xcb_window_t& frame) {
  auto session = this->session(deadline);
  if (!session) return ScreenCaptureError{x11ErrorDomain, xBadImplementation};
  Session& s = *session;
  xcb_connection_t* c = s.connection;
  xcb_window_t window = client;
  for (int level = 0;; ++level) {
    if (level == kMaxAncestors) return ScreenCaptureError{x11ErrorDomain, xBadWindow};
    xcb_generic_error_t* error = nullptr;
    auto tree = connection_.reply<xcb_query_tree_reply_t>(s, xcb_query_tree(c, window).sequence,
                                                          deadline, &error, &cancelled);
    if (!tree) {
      const std::int64_t code = error ? error->error_code : xBadImplementation;
      std::free(error);
      return ScreenCaptureError{x11ErrorDomain, code};
    }
    if (tree->parent == s.root) break;
    window = tree->parent;
  }
  auto attributes = connection_.reply<xcb_get_window_attributes_reply_t>(
      s, xcb_get_window_attributes(c, window).sequence, deadline, nullptr, &cancelled);
  if (!attributes) return ScreenCaptureError{x11ErrorDomain, xBadWindow};
  // An unmapped (minimized) window has no pixmap to read.
  if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) return ScreenCaptureError{x11ErrorDomain, xBadMatch};
  frame = window;
  return std::nullopt;
}

void X11CaptureDisplay::waitUntilPainted(xcb_window_t frame, Deadline deadline,
                                         const std::atomic<bool>& cancelled) {
  auto session = this->session(deadline);
  if (!session) return;
  std::unique_lock lock(mutex_);
  while (!cancelled && !xcb_connection_has_error(session->connection)) {
    handleEventsLocked(*session);
    auto it = session->paintings.find(frame);
    if (it == session->paintings.end()) return;
    const auto now = SteadyClock::now();
    if (now >= deadline) return;
    const Painting& p = it->second;
    if (now - p.freshSince >= kFreshFor) return;
    if (p.painted && now - p.lastPaint >= kQuietFor) return;
    painted_.wait_for(lock, 5ms);
  }
}

std::int32_t X11CaptureDisplay::readFrame(xcb_window_t frame, const std::optional<ScreenRect>& area,
                                          std::int32_t width, std::int32_t height,
                                          Deadline deadline, const std::atomic<bool>& cancelled,
                                          std::shared_ptr<const WindowImage>& image) {
  auto session = this->session(deadline);
  if (!session || !session->composite) return std::int32_t(xBadImplementation);
  Session& s = *session;
  xcb_connection_t* c = s.connection;
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  const auto named = xcb_composite_name_window_pixmap_checked(c, frame, pixmap);
  auto geometry = connection_.reply<xcb_get_geometry_reply_t>(
      s, xcb_get_geometry(c, pixmap).sequence, deadline, nullptr, &cancelled);
  xcb_generic_error_t* error = nullptr;
  const bool isNamed = connection_.check(s, named, deadline, &error, &cancelled);
  const std::int32_t namingError = error ? error->error_code : 0;
  std::free(error);
  if (!isNamed && namingError) return namingError;  // no pixmap was made
  PixelArea part{0, 0, 0, 0};
  std::int32_t status = isNamed ? 0 : std::int32_t(xBadImplementation);
  if (status == 0 && !geometry) status = xBadMatch;
  if (status == 0) {
    part = {0, 0, geometry->width, geometry->height};
    // The part of the frame asked for, which must lie within it.
    if (area) {
      const double right = area->x + area->width, bottom = area->y + area->height;
      if (area->x < 0 || area->y < 0 || area->width < 1 || area->height < 1 ||
          right > geometry->width || bottom > geometry->height)
        status = xBadMatch;
      part = {std::int16_t(area->x), std::int16_t(area->y), std::uint16_t(area->width),
              std::uint16_t(area->height)};
    }
    if (part.width == 0 || part.height == 0 ||
        std::uint64_t(part.width) * part.height > kMaxPixels)
      status = xBadMatch;
  }
  if (status == 0) {
    // Another capture still reading through the kept segment (one whose request gave up)
    // leaves this one to a plain read.
    std::unique_lock shm(shmMutex_, std::try_to_lock);
    const PixelRead read{pixmap, part, width, height, deadline, cancelled};
    status = shm.owns_lock() && s.shm ? readShared(s, read, image) : kNoSharedMemory;
    if (status == kNoSharedMemory) status = readPlain(s, read, image);
  }
  xcb_free_pixmap(c, pixmap);
  xcb_flush(c);
  return status;
}

// Only 32-bit pixels (depth 24 or 32) are read; other depths have no use on a desktop today.
bool X11CaptureDisplay::thirtyTwoBitDepth(const Session& s, std::uint8_t depth) {
  bool thirtyTwo = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(xcb_get_setup(s.connection)); f.rem;
       xcb_format_next(&f))
    if (f.data->depth == depth) thirtyTwo = f.data->bits_per_pixel == 32;
  return (depth == 24 || depth == 32) && thirtyTwo;
}

void X11CaptureDisplay::releaseSharedMemory(Session& s) {
  if (!s.shmAddress) return;
  xcb_shm_detach(s.connection, s.shmSegment);
  xcb_flush(s.connection);
  shmdt(s.shmAddress);
  s.shmAddress = nullptr;
  s.shmSize = 0;
  s.shmSegment = 0;
}

std::int32_t X11CaptureDisplay::readShared(Session& s, const PixelRead& r,
                                           std::shared_ptr<const WindowImage>& image) {
  xcb_connection_t* c = s.connection;
  const std::size_t stride = std::size_t(r.part.width) * 4;
  const std::size_t size = stride * r.part.height;
  if (s.shmSize < size) {
    releaseSharedMemory(s);
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    // Out of segments or memory now says nothing of the next capture: this one reads plainly.
    if (id < 0) return kNoSharedMemory;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
      shmctl(id, IPC_RMID, nullptr);
      return kNoSharedMemory;
    }
    const std::uint32_t segment = xcb_generate_id(c);
    xcb_generic_error_t* error = nullptr;
    const auto attach = xcb_shm_attach_checked(c, segment, std::uint32_t(id), 0);
    const bool attached = connection_.check(s, attach, r.deadline, &error, &r.cancelled);
    // Attached or not, the segment goes once the last user detaches.
    shmctl(id, IPC_RMID, nullptr);
    if (!attached) {
      // A server that refuses the segment cannot reach this machine's memory: plain reads from
      // now on. One that did not answer in time may have attached it: it is let go.
      const bool refused = error != nullptr;
      std::free(error);
      if (refused) {
        s.shm = false;
      } else {
        xcb_shm_detach(c, segment);
        xcb_flush(c);
      }
      shmdt(address);
      return refused ? kNoSharedMemory : std::int32_t(xBadImplementation);
    }
    s.shmSegment = segment;
    s.shmAddress = static_cast<std::uint8_t*>(address);
    s.shmSize = size;
  }
  xcb_generic_error_t* error = nullptr;
  auto reply = connection_.reply<xcb_shm_get_image_reply_t>(
      s,
      xcb_shm_get_image(c, r.drawable, r.part.x, r.part.y, r.part.width, r.part.height, ~0u,
                        XCB_IMAGE_FORMAT_Z_PIXMAP, s.shmSegment, 0)
          .sequence,
      r.deadline, &error, &r.cancelled);
  std::int32_t status = 0;
  if (!reply) {
    status = error ? error->error_code : std::int32_t(xBadImplementation);
  } else if (!thirtyTwoBitDepth(s, reply->depth)) {
    status = xBadMatch;
  } else {
    image = scaledImage(s.shmAddress, r.part.width, r.part.height, stride, r.width, r.height,
                        s.lsbFirst);
  }
  std::free(error);
  // A large segment is not kept, whatever came of the read.
  if (s.shmSize > kKeptSharedMemory) releaseSharedMemory(s);
  return status;
}

std::int32_t X11CaptureDisplay::readPlain(Session& s, const PixelRead& r,
                                          std::shared_ptr<const WindowImage>& image) {
  xcb_connection_t* c = s.connection;
  const std::size_t stride = std::size_t(r.part.width) * 4;
  xcb_generic_error_t* error = nullptr;
  auto reply = connection_.reply<xcb_get_image_reply_t>(
      s,
      xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, r.drawable, r.part.x, r.part.y, r.part.width,
                    r.part.height, ~0u)
          .sequence,
      r.deadline, &error, &r.cancelled);
  if (!reply) {
    const std::int32_t status = error ? error->error_code : std::int32_t(xBadImplementation);
    std::free(error);
    return status;
  }
  if (!thirtyTwoBitDepth(s, reply->depth) ||
      std::size_t(xcb_get_image_data_length(reply.get())) < stride * r.part.height)
    return xBadMatch;
  image = scaledImage(xcb_get_image_data(reply.get()), r.part.width, r.part.height, stride,
                      r.width, r.height, s.lsbFirst);
  return 0;
}

}  // namespace velmaris::platform::linux_desktop
