// Bounded XCB waits. xcb_poll_for_reply reads what the socket holds without blocking; between
// reads the caller sleeps in poll() on the descriptor, in short slices, because another thread
// of the same connection may take the bytes off the socket and leave this poll unwoken.
#include "platform/linux/x11_connection.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include <xcb/composite.h>
#include <xcb/xcbext.h>

namespace velmaris::platform::linux_desktop {
namespace {

using namespace std::chrono_literals;

// Longest wait of a call made outside any request (start-up, the probe program).
constexpr auto kUnboundedCallLimit = 3s;
constexpr auto kRetryOpeningAfter = 1s;
constexpr int kPollSliceMs = 5;
// A server that answers is given this long for a reply even at the very end of a request,
// whose last reads (a reveal's outcome) would otherwise find no time left; a stalled one is
// given it once, by the request that finds it stalled.
constexpr auto kReplyGrace = 100ms;

// xcb_connect finds the authority file through libXau, which keeps its name in one unguarded
// static buffer: two connections opened at once (capture, window list and workspace each open
// their own) can free it twice or lose it. Openings take turns.
std::mutex gOpeningTurn;

double uptimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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

}  // namespace

Deadline deadlineOf(const RequestTime& requestTime) {
  const auto now = SteadyClock::now();
  const double left = requestTime.expiresAt() - uptimeNow();
  if (!(left < std::chrono::duration<double>(kUnboundedCallLimit).count()))
    return now + kUnboundedCallLimit;
  if (left <= 0) return now;
  return now + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(left));
}

bool compositeAllowsCapture(xcb_connection_t* c) {
  const auto* data = xcb_get_extension_data(c, &xcb_composite_id);
  if (!data || !data->present) return false;
  Reply<xcb_composite_query_version_reply_t> version(
      xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
  return version && (version->major_version > 0 || version->minor_version >= 2);
}

X11Session::X11Session(xcb_connection_t* c, int screen) : connection(c), screenNumber(screen) {
  auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen && screens.rem; ++i) xcb_screen_next(&screens);
  if (screen >= 0 && screens.rem) root = screens.data->root;
}

X11Session::~X11Session() { xcb_disconnect(connection); }

struct X11Connection::Opening {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::shared_ptr<X11Session> session;
};

X11Connection::X11Connection(Setup setup) : setup_(std::move(setup)) {}

X11Connection::~X11Connection() { close(); }

void X11Connection::close() {
  closed_ = true;
  std::shared_ptr<Opening> opening;
  {
    std::lock_guard lock(mutex_);
    opening = opening_;
  }
  if (opening) {
    std::lock_guard lock(opening->mutex);
    opening->done.notify_all();
  }
}

void X11Connection::open() {
  std::lock_guard lock(mutex_);
  if (!session_) startOpeningLocked();
}

void X11Connection::startOpeningLocked() {
  if (opening_ || closed_ || SteadyClock::now() < retryAt_) return;
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    retryAt_ = SteadyClock::now() + kRetryOpeningAfter;
    return;
  }
  auto opening = std::make_shared<Opening>();
  opening_ = opening;
  // Detached: a server that never completes the handshake keeps this thread, not the helper;
  // whatever it opens after its owner is gone is dropped with the last reference.
  std::thread([opening, setup = setup_] {
    int screen = 0;
    xcb_connection_t* c = nullptr;
    {
      std::lock_guard turn(gOpeningTurn);
      c = xcb_connect(nullptr, &screen);
    }
    std::shared_ptr<X11Session> session;
    if (xcb_connection_has_error(c)) {
      xcb_disconnect(c);
    } else {
      session = setup(c, screen);
    }
    std::lock_guard lock(opening->mutex);
    opening->session = std::move(session);
    opening->finished = true;
    opening->done.notify_all();
  }).detach();
}

std::shared_ptr<X11Session> X11Connection::current() {
  std::lock_guard lock(mutex_);
  return session_;
}

std::shared_ptr<X11Session> X11Connection::session(Deadline deadline) {
  std::unique_lock lock(mutex_);
  if (session_ && xcb_connection_has_error(session_->connection)) {
    session_.reset();
    probe_.reset();
  }
  if (!session_) {
    startOpeningLocked();
    if (!opening_) return nullptr;
    std::shared_ptr<Opening> opening = opening_;
    lock.unlock();
    {
      std::unique_lock wait(opening->mutex);
      opening->done.wait_until(wait, deadline, [&] { return opening->finished || closed_; });
      if (!opening->finished) return nullptr;
    }
    lock.lock();
    if (opening_ == opening) {
      opening_.reset();
      session_ = opening->session;
      if (!session_) retryAt_ = SteadyClock::now() + kRetryOpeningAfter;
    }
    if (!session_) return nullptr;
  }
  std::shared_ptr<X11Session> session = session_;
  if (probe_) {
    const unsigned probe = *probe_;
    lock.unlock();
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    const bool answered = poll(*session, probe, deadline, &reply, &error, nullptr);
    std::free(reply);
    std::free(error);
    if (!answered) return nullptr;
    lock.lock();
    if (session_ == session && probe_ == probe) probe_.reset();
  }
  return session;
}

bool X11Connection::poll(X11Session& session, unsigned sequence, Deadline deadline, void** reply,
                         xcb_generic_error_t** error, const std::atomic<bool>* cancelled) {
  xcb_connection_t* c = session.connection;
  *reply = nullptr;
  if (error) *error = nullptr;
  xcb_flush(c);
  struct Waiting {
    std::atomic<int>& count;
    explicit Waiting(std::atomic<int>& c) : count(c) { ++count; }
    ~Waiting() { --count; }
  } waiting(waiters_);
  for (;;) {
    if (xcb_poll_for_reply(c, sequence, reply, error)) return !xcb_connection_has_error(c);
    if (closed_ || (cancelled && *cancelled)) return false;
    const auto now = SteadyClock::now();
    if (now >= deadline) return false;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    ::poll(&fd, 1, int(std::clamp<long long>(left, 1, kPollSliceMs)));
  }
}

bool X11Connection::wait(X11Session& session, unsigned sequence, Deadline deadline, void** reply,
                         xcb_generic_error_t** error, const std::atomic<bool>* cancelled) {
  {
    std::lock_guard lock(mutex_);
    if (!probe_) deadline = std::max(deadline, SteadyClock::now() + kReplyGrace);
  }
  if (poll(session, sequence, deadline, reply, error, cancelled)) return true;
  if (xcb_connection_has_error(session.connection)) return false;
  // The first request left unanswered stays as the probe; the others are dropped when they come.
  std::lock_guard lock(mutex_);
  if (session_.get() == &session && !probe_) {
    probe_ = sequence;
  } else {
    xcb_discard_reply(session.connection, sequence);
  }
  return false;
}

bool X11Connection::stalled(const X11Session& session) {
  if (xcb_connection_has_error(session.connection)) return true;
  std::lock_guard lock(mutex_);
  return session_.get() != &session || probe_.has_value();
}

bool X11Connection::check(X11Session& session, xcb_void_cookie_t cookie, Deadline deadline,
                          xcb_generic_error_t** error, const std::atomic<bool>* cancelled) {
  *error = nullptr;
  // Answers come in order: once a later request is answered, so is this one.
  xcb_connection_t* c = session.connection;
  const auto sync = xcb_get_input_focus(c);
  if (!reply<xcb_get_input_focus_reply_t>(session, sync.sequence, deadline, nullptr, cancelled)) {
    xcb_discard_reply(c, cookie.sequence);
    return false;
  }
  void* none = nullptr;
  if (!xcb_poll_for_reply(c, cookie.sequence, &none, error)) return false;
  std::free(none);
  return *error == nullptr && !xcb_connection_has_error(c);
}

std::optional<std::string> windowTitle(const xcb_get_property_reply_t* netName,
                                       const xcb_get_property_reply_t* name, xcb_atom_t utf8) {
  std::optional<std::string> title;
  if (netName && netName->type == utf8 && netName->format == 8) {
    title.emplace(static_cast<const char*>(xcb_get_property_value(netName)),
                  std::size_t(xcb_get_property_value_length(netName)));
  } else if (name && name->format == 8 && name->type != XCB_ATOM_NONE) {
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(name));
    const auto n = std::size_t(xcb_get_property_value_length(name));
    title = name->type == utf8 ? std::string(bytes, n) : latin1ToUTF8(bytes, n);
  }
  // The accessibility side reports an empty window name as no name; so does this side, or
  // an untitled window could never be matched.
  if (title && title->empty()) title.reset();
  return title;
}

}  // namespace velmaris::platform::linux_desktop
