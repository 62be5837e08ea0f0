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

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A window is fresh for this long after it was redirected or mapped; within it, a capture
// waits until the window has painted and then kept still for kQuietFor.
constexpr auto kFreshFor = 1000ms;
constexpr auto kQuietFor = 50ms;

constexpr std::uint32_t kMaxWindows = 4096;
constexpr std::uint32_t kMaxTitleWords = 16384;  // 64 KiB of title
constexpr int kMaxAncestors = 32;
// Shared memory up to this size is kept for the next capture; larger pictures get their own.
constexpr std::size_t kKeptSharedMemory = std::size_t(2048) * 2048 * 4;
// Pictures beyond this many pixels are not read at all (a 32767² pixmap would be 4 GiB).
constexpr std::uint64_t kMaxPixels = std::uint64_t(1) << 26;

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

std::string latin1ToUTF8(const char* bytes, std::size_t n) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      out.push_back(char(b));
    } else {
      out.push_back(char(0xc0 | (b >> 6)));
      out.push_back(char(0x80 | (b & 0x3f)));
    }
  }
  return out;
}

// Copies or scales 32-bit pixels (B, G, R, unused in memory) into a new image.
std::shared_ptr<const WindowImage> scaledImage(const std::uint8_t* source, int width, int height,
                                               std::size_t stride, int outWidth, int outHeight) {
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

X11CaptureDisplay::X11CaptureDisplay() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  {
    std::lock_guard lock(mutex_);
    connectLocked();
  }
  if (wakeFd_ >= 0) events_ = std::thread([this] { eventLoop(); });
}

X11CaptureDisplay::~X11CaptureDisplay() {
  if (events_.joinable()) {
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
      // Cannot happen for an eventfd below its maximum; the thread would end at its next wake.
    }
    events_.join();
  }
  if (wakeFd_ >= 0) close(wakeFd_);
  std::lock_guard lock(mutex_);
  disconnectLocked();
}

void X11CaptureDisplay::disconnectLocked() {
  if (shmAddress_) shmdt(shmAddress_);
  shmAddress_ = nullptr;
  shmSize_ = 0;
  shmSegment_ = 0;
  if (connection_) xcb_disconnect(connection_);  // also ends the redirection
  connection_ = nullptr;
  composite_ = shm_ = false;
  damageEvent_ = 0;
  paintings_.clear();
}

bool X11CaptureDisplay::connectLocked() {
  if (connection_ && !xcb_connection_has_error(connection_)) return true;
  disconnectLocked();
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return false;
  int screenNumber = 0;
  connection_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection_)) {
    disconnectLocked();
    return false;
  }
  xcb_connection_t* c = connection_;
  const xcb_setup_t* setup = xcb_get_setup(c);
  auto screens = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
  if (!screens.rem) {
    disconnectLocked();
    return false;
  }
  root_ = screens.data->root;
  lsbFirst_ = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;

  for (xcb_extension_t* e : {&xcb_composite_id, &xcb_damage_id, &xcb_xfixes_id, &xcb_shm_id})
    xcb_prefetch_extension_data(c, e);
  auto present = [&](xcb_extension_t* e) {
    const auto* data = xcb_get_extension_data(c, e);
    return data && data->present;
  };
  if (present(&xcb_composite_id)) {
    Reply<xcb_composite_query_version_reply_t> v(
        xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    composite_ = v && (v->major_version > 0 || v->minor_version >= 2);
  }
  if (present(&xcb_xfixes_id) && present(&xcb_damage_id)) {
    // Damage needs the client's XFixes version announced first.
    std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> v(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (v) damageEvent_ = std::uint8_t(xcb_get_extension_data(c, &xcb_damage_id)->first_event +
                                       XCB_DAMAGE_NOTIFY);
  }
  if (present(&xcb_shm_id)) {
    Reply<xcb_shm_query_version_reply_t> v(
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    shm_ = v != nullptr;
  }
  atoms_.clientList = atom(c, "_NET_CLIENT_LIST");
  atoms_.wmPid = atom(c, "_NET_WM_PID");
  atoms_.netWmName = atom(c, "_NET_WM_NAME");
  atoms_.utf8 = atom(c, "UTF8_STRING");
  atoms_.supportingWmCheck = atom(c, "_NET_SUPPORTING_WM_CHECK");
  atoms_.windowType = atom(c, "_NET_WM_WINDOW_TYPE");
  atoms_.typeDesktop = atom(c, "_NET_WM_WINDOW_TYPE_DESKTOP");

  if (composite_) {
    xcb_composite_redirect_subwindows(c, root_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    // Hear of top-level windows coming, going and being mapped, then record those there now.
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root_, XCB_CW_EVENT_MASK, &mask);
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root_), nullptr));
    if (tree) {
      const auto now = SteadyClock::now();
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i)
        trackLocked(children[i], now);
    }
    xcb_flush(c);
  }
  return true;
}

void X11CaptureDisplay::trackLocked(xcb_window_t window, SteadyClock::time_point since) {
  if (paintings_.count(window) || !damageEvent_) return;
  Painting p;
  p.damage = xcb_generate_id(connection_);
  p.freshSince = since;
  xcb_damage_create(connection_, p.damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  paintings_.emplace(window, p);
}

void X11CaptureDisplay::untrackLocked(xcb_window_t window) {
  auto it = paintings_.find(window);
  if (it == paintings_.end()) return;
  xcb_damage_destroy(connection_, it->second.damage);
  paintings_.erase(it);
}

void X11CaptureDisplay::handleEventsLocked() {
  bool answered = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    const std::uint8_t type = event->response_type & 0x7f;
    const auto now = SteadyClock::now();
    if (type == XCB_CREATE_NOTIFY) {
      auto* e = reinterpret_cast<xcb_create_notify_event_t*>(event);
      if (e->parent == root_) trackLocked(e->window, now);
    } else if (type == XCB_DESTROY_NOTIFY) {
      // The server frees the window's damage with it.
      paintings_.erase(reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window);
    } else if (type == XCB_REPARENT_NOTIFY) {
      auto* e = reinterpret_cast<xcb_reparent_notify_event_t*>(event);
      if (e->parent == root_) {
        trackLocked(e->window, now);
      } else {
        untrackLocked(e->window);  // a client taken into its window manager's frame
      }
    } else if (type == XCB_MAP_NOTIFY) {
      auto* e = reinterpret_cast<xcb_map_notify_event_t*>(event);
      auto it = paintings_.find(e->window);
      if (e->event == root_ && it != paintings_.end()) {
        it->second.freshSince = now;
        it->second.painted = false;
      }
    } else if (damageEvent_ && type == damageEvent_) {
      auto* e = reinterpret_cast<xcb_damage_notify_event_t*>(event);
      auto it = paintings_.find(e->drawable);
      if (it != paintings_.end()) {
        it->second.painted = true;
        it->second.lastPaint = now;
      }
      // Repaired at once, so the next paint is reported again.
      xcb_damage_subtract(connection_, e->damage, XCB_NONE, XCB_NONE);
      answered = true;
    }
    std::free(event);  // errors of requests about windows that went away end here too
  }
  if (answered) xcb_flush(connection_);
  painted_.notify_all();
}

void X11CaptureDisplay::eventLoop() {
  for (;;) {
    int fd = -1;
    {
      std::lock_guard lock(mutex_);
      if (connection_ && !xcb_connection_has_error(connection_))
        fd = xcb_get_file_descriptor(connection_);
    }
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
    // Events that a reply reader pulled off the socket wake no poll: look now and then.
    poll(fds, fd >= 0 ? 2 : 1, 1000);
    if (fds[0].revents) return;
    std::lock_guard lock(mutex_);
    if (connection_ && !xcb_connection_has_error(connection_)) handleEventsLocked();
  }
}

bool X11CaptureDisplay::captureAllowed() {
  std::lock_guard lock(mutex_);
  return connectLocked() && composite_;
}

std::vector<ScreenDisplay> X11CaptureDisplay::monitors() {
  std::vector<ScreenDisplay> displays;
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return displays;
  xcb_connection_t* c = connection_;
  const auto* randr = xcb_get_extension_data(c, &xcb_randr_id);
  if (randr && randr->present) {
    std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, root_, 1), nullptr));
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
    Reply<xcb_get_geometry_reply_t> root(xcb_get_geometry_reply(c, xcb_get_geometry(c, root_), nullptr));
    if (root) displays.push_back(ScreenDisplay{1, ScreenRect{0, 0, double(root->width), double(root->height)}});
  }
  return displays;
}

std::optional<ScreenCaptureError> X11CaptureDisplay::windows(bool excludingDesktopWindows,
                                                             bool onScreenWindowsOnly,
                                                             std::vector<CapturableWindow>& out) {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return ScreenCaptureError{x11ErrorDomain, xBadImplementation};
  xcb_connection_t* c = connection_;
  handleEventsLocked();

  // The clients: the window manager's list when one runs, else the root's shown children.
  std::vector<xcb_window_t> clients;
  bool managed = false;
  {
    Reply<xcb_get_property_reply_t> check(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root_, atoms_.supportingWmCheck, XCB_ATOM_WINDOW, 0, 1), nullptr));
    std::uint32_t wm = 0, self = 0;
    if (firstWord(check, wm) && wm != 0) {
      Reply<xcb_get_property_reply_t> own(xcb_get_property_reply(
          c, xcb_get_property(c, 0, wm, atoms_.supportingWmCheck, XCB_ATOM_WINDOW, 0, 1), nullptr));
      managed = firstWord(own, self) && self == wm;
    }
  }
  if (managed) {
    Reply<xcb_get_property_reply_t> list(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root_, atoms_.clientList, XCB_ATOM_WINDOW, 0, kMaxWindows), nullptr));
    if (list && list->format == 32) {
      const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
      clients.assign(ids, ids + xcb_get_property_value_length(list.get()) / 4);
    }
  } else {
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, root_), nullptr));
    if (!tree) return ScreenCaptureError{x11ErrorDomain, xBadWindow};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = std::min<int>(xcb_query_tree_children_length(tree.get()), int(kMaxWindows));
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (int i = 0; i < count; ++i) cookies.push_back(xcb_get_window_attributes(c, children[i]));
    for (int i = 0; i < count; ++i) {
      Reply<xcb_get_window_attributes_reply_t> a(
          xcb_get_window_attributes_reply(c, cookies[std::size_t(i)], nullptr));
      if (a && !a->override_redirect && a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT &&
          a->map_state == XCB_MAP_STATE_VIEWABLE)
        clients.push_back(children[i]);
    }
  }

  // Each client's top-level ancestor, one level of the tree per round trip for all of them.
  std::vector<xcb_window_t> frames(clients);
  std::vector<bool> found(clients.size(), false);
  for (int level = 0; level < kMaxAncestors; ++level) {
    std::vector<std::pair<std::size_t, xcb_query_tree_cookie_t>> asked;
    for (std::size_t i = 0; i < frames.size(); ++i)
      if (!found[i] && frames[i]) asked.emplace_back(i, xcb_query_tree(c, frames[i]));
    if (asked.empty()) break;
    for (auto& [i, cookie] : asked) {
      Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, cookie, nullptr));
      if (!tree) {
        frames[i] = 0;  // gone meanwhile
      } else if (tree->parent == root_ || tree->parent == XCB_WINDOW_NONE) {
        found[i] = true;
      } else {
        frames[i] = tree->parent;
      }
    }
  }

  struct Cookies {
    xcb_get_geometry_cookie_t geometry;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_property_cookie_t pid, netName, name, type;
  };
  std::vector<Cookies> cookies;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    const xcb_window_t w = clients[i];
    cookies.push_back({xcb_get_geometry(c, frames[i] ? frames[i] : w),
                       xcb_get_window_attributes(c, frames[i] ? frames[i] : w),
                       xcb_get_property(c, 0, w, atoms_.wmPid, XCB_ATOM_CARDINAL, 0, 1),
                       xcb_get_property(c, 0, w, atoms_.netWmName, atoms_.utf8, 0, kMaxTitleWords),
                       xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0,
                                        kMaxTitleWords),
                       xcb_get_property(c, 0, w, atoms_.windowType, XCB_ATOM_ATOM, 0, 32)});
  }
  for (std::size_t i = 0; i < clients.size(); ++i) {
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, cookies[i].geometry, nullptr));
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, cookies[i].attributes, nullptr));
    Reply<xcb_get_property_reply_t> pid(xcb_get_property_reply(c, cookies[i].pid, nullptr));
    Reply<xcb_get_property_reply_t> netName(xcb_get_property_reply(c, cookies[i].netName, nullptr));
    Reply<xcb_get_property_reply_t> name(xcb_get_property_reply(c, cookies[i].name, nullptr));
    Reply<xcb_get_property_reply_t> type(xcb_get_property_reply(c, cookies[i].type, nullptr));
    if (!found[i] || !geometry || !attributes) continue;  // went away while being read

    if (excludingDesktopWindows && type && type->format == 32) {
      const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(type.get()));
      const int n = xcb_get_property_value_length(type.get()) / 4;
      if (std::find(atoms, atoms + n, atoms_.typeDesktop) != atoms + n) continue;
    }
    CapturableWindow window;
    window.windowID = clients[i];
    window.onScreen = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    if (onScreenWindowsOnly && !window.onScreen) continue;
    // The frame as the window manager's decorations enclose it, border included.
    const double border = geometry->border_width;
    window.frame = ScreenRect{double(geometry->x), double(geometry->y),
                              geometry->width + 2 * border, geometry->height + 2 * border};
    std::uint32_t owner = 0;
    if (firstWord(pid, owner) && owner > 0 && owner <= 0x7fffffffu)
      window.owningApplicationPID = std::int32_t(owner);
    if (netName && netName->type == atoms_.utf8 && netName->format == 8) {
      window.title.emplace(static_cast<const char*>(xcb_get_property_value(netName.get())),
                           std::size_t(xcb_get_property_value_length(netName.get())));
    } else if (name && name->format == 8 && name->type != XCB_ATOM_NONE) {
      const auto* bytes = static_cast<const char*>(xcb_get_property_value(name.get()));
      const auto n = std::size_t(xcb_get_property_value_length(name.get()));
      window.title = name->type == atoms_.utf8 ? std::string(bytes, n) : latin1ToUTF8(bytes, n);
    }
    // The accessibility side reports an empty window name as no name; so does this side, or
    // an untitled window could never be matched.
    if (window.title && window.title->empty()) window.title.reset();
    out.push_back(std::move(window));
  }
  return std::nullopt;
}

std::optional<ScreenCaptureError> X11CaptureDisplay::viewableFrame(xcb_window_t client,
                                                                   xcb_window_t& frame) {
  std::lock_guard lock(mutex_);
  if (!connectLocked()) return ScreenCaptureError{x11ErrorDomain, xBadImplementation};
  xcb_connection_t* c = connection_;
  xcb_window_t window = client;
  for (int level = 0;; ++level) {
    if (level == kMaxAncestors) return ScreenCaptureError{x11ErrorDomain, xBadWindow};
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, window), &error));
    if (!tree) {
      const std::int64_t code = error ? error->error_code : xBadWindow;
      std::free(error);
      return ScreenCaptureError{x11ErrorDomain, code};
    }
    if (tree->parent == root_) break;
    window = tree->parent;
  }
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  if (!attributes) return ScreenCaptureError{x11ErrorDomain, xBadWindow};
  // An unmapped (minimized) window has no pixmap to read.
  if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) return ScreenCaptureError{x11ErrorDomain, xBadMatch};
  frame = window;
  return std::nullopt;
}

void X11CaptureDisplay::waitUntilPainted(xcb_window_t frame, const std::atomic<bool>& cancelled) {
  std::unique_lock lock(mutex_);
  while (!cancelled && connectLocked()) {
    handleEventsLocked();
    auto it = paintings_.find(frame);
    if (it == paintings_.end()) return;
    const auto now = SteadyClock::now();
    const Painting& p = it->second;
    if (now - p.freshSince >= kFreshFor) return;
    if (p.painted && now - p.lastPaint >= kQuietFor) return;
    painted_.wait_for(lock, 5ms);
  }
}

std::int32_t X11CaptureDisplay::readFrame(xcb_window_t frame, std::int32_t width,
                                          std::int32_t height,
                                          std::shared_ptr<const WindowImage>& image) {
  std::lock_guard lock(mutex_);
  if (!connectLocked() || !composite_) return std::int32_t(xBadImplementation);
  xcb_connection_t* c = connection_;
  const xcb_pixmap_t pixmap = xcb_generate_id(c);
  if (xcb_generic_error_t* error =
          xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, frame, pixmap))) {
    const std::int32_t code = error->error_code;
    std::free(error);
    return code;
  }
  std::vector<std::uint8_t> pixels;
  std::size_t stride = 0;
  std::int32_t status = xBadMatch;
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, pixmap), nullptr));
  if (geometry) status = readPixelsLocked(pixmap, geometry->width, geometry->height, pixels, stride);
  xcb_free_pixmap(c, pixmap);
  xcb_flush(c);
  if (status != 0) return status;
  const std::uint8_t* source = shmAddress_ && pixels.empty() ? shmAddress_ : pixels.data();
  image = scaledImage(source, geometry->width, geometry->height, stride, width, height);
  if (shmAddress_ && shmSize_ > kKeptSharedMemory) {
    xcb_shm_detach(c, shmSegment_);
    xcb_flush(c);
    shmdt(shmAddress_);
    shmAddress_ = nullptr;
    shmSize_ = 0;
    shmSegment_ = 0;
  }
  return 0;
}

std::int32_t X11CaptureDisplay::readPixelsLocked(xcb_drawable_t drawable, std::uint16_t width,
                                                 std::uint16_t height,
                                                 std::vector<std::uint8_t>& pixels,
                                                 std::size_t& stride) {
  xcb_connection_t* c = connection_;
  if (width == 0 || height == 0 || std::uint64_t(width) * height > kMaxPixels) return xBadMatch;
  stride = std::size_t(width) * 4;
  const std::size_t size = stride * height;
  std::uint8_t depth = 0;

  if (shm_ && shmSize_ < size) {
    if (shmAddress_) {
      xcb_shm_detach(c, shmSegment_);
      shmdt(shmAddress_);
      shmAddress_ = nullptr;
      shmSize_ = 0;
    }
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    void* address = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
    if (address != reinterpret_cast<void*>(-1)) {
      shmSegment_ = xcb_generate_id(c);
      xcb_generic_error_t* error = xcb_request_check(c, xcb_shm_attach_checked(c, shmSegment_, std::uint32_t(id), 0));
      // Attached or not, the segment goes once the last user detaches.
      shmctl(id, IPC_RMID, nullptr);
      if (error) {
        std::free(error);
        shmdt(address);
        shm_ = false;  // a server on another machine: plain reads from now on
      } else {
        shmAddress_ = static_cast<std::uint8_t*>(address);
        shmSize_ = size;
      }
    } else {
      if (id >= 0) shmctl(id, IPC_RMID, nullptr);
      shm_ = false;
    }
  }

  if (shm_ && shmAddress_) {
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        c, xcb_shm_get_image(c, drawable, 0, 0, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shmSegment_, 0),
        &error));
    if (!reply) {
      const std::int32_t code = error ? error->error_code : xBadMatch;
      std::free(error);
      return code;
    }
    depth = reply->depth;
  } else {
    xcb_generic_error_t* error = nullptr;
    Reply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, 0, 0, width, height, ~0u), &error));
    if (!reply) {
      const std::int32_t code = error ? error->error_code : xBadMatch;
      std::free(error);
      return code;
    }
    depth = reply->depth;
    if (std::size_t(xcb_get_image_data_length(reply.get())) < size) return xBadMatch;
    pixels.assign(xcb_get_image_data(reply.get()), xcb_get_image_data(reply.get()) + size);
  }
  // Only 32-bit pixels (depth 24 or 32) are read; other depths have no use on a desktop today.
  bool thirtyTwo = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c)); f.rem; xcb_format_next(&f))
    if (f.data->depth == depth) thirtyTwo = f.data->bits_per_pixel == 32;
  if ((depth != 24 && depth != 32) || !thirtyTwo) return xBadMatch;
  if (!lsbFirst_) {
    if (pixels.empty()) pixels.assign(shmAddress_, shmAddress_ + size);
    for (std::size_t i = 0; i + 3 < pixels.size(); i += 4) {
      std::swap(pixels[i], pixels[i + 3]);
      std::swap(pixels[i + 1], pixels[i + 2]);
    }
  }
  return 0;
}

}  // namespace velmaris::platform::linux_desktop
