// Child processes on pipes, the helper and the fixture. Setup failures throw, so the test
// that needed them fails with the reason instead of running on with a half-started process.
#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include "platform/linux/atspi_accessibility.h"
#include "platform/linux/xcb_reply.h"

extern char** environ;

namespace velmaris::testing {
namespace {

using platform::linux_desktop::kRootPath;
using platform::linux_desktop::Reply;
using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Appends what `fd` holds now; false at end of file.
bool drain(int fd, std::string& into) {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, std::size_t(n));
      continue;
    }
    if (n == 0) return false;
    return errno == EAGAIN || errno == EINTR;
  }
}

}  // namespace

std::string binaryPath(std::string_view name) {
  return std::string(VELMARIS_BIN_DIR) + "/" + std::string(name);
}

std::vector<std::string> joined(std::vector<std::string> head, const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

bool eventually(const std::function<bool()>& condition, Millis timeout, Millis every) {
  for (const auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for(every))
    if (condition()) return true;
  return condition();
}

// --- Process -------------------------------------------------------------------------

Process::Process(const std::vector<std::string>& argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that died must not take the test with it
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
    throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int r = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  for (int childEnd : {in[0], out[1], err[1]}) ::close(childEnd);
  if (r != 0) {
    for (int ownEnd : {in[1], out[0], err[0]}) ::close(ownEnd);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(r));
  }
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  fcntl(out_, F_SETFL, O_NONBLOCK);
  fcntl(err_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
  stop();
  for (int* fd : {&in_, &out_, &err_}) closeFd(*fd);
}

bool Process::write(std::string_view bytes) {
  while (!bytes.empty()) {
    if (in_ < 0) return false;
    ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(std::size_t(n));
  }
  return true;
}

std::optional<std::string> Process::ask(std::string_view line, Millis timeout) {
  if (!write(std::string(line) + '\n')) return std::nullopt;
  return readLine(timeout);
}

void Process::closeInput() { closeFd(in_); }

void Process::pump(Millis timeout) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (::poll(fds, 2, int(timeout.count())) <= 0) return;
  if (out_ >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !drain(out_, outBuffer_))
    closeFd(out_);  // end of output: readLine answers nothing from now on
  if (err_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !drain(err_, errBuffer_))
    closeFd(err_);
}

std::optional<std::string> Process::readLine(Millis timeout) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto end = outBuffer_.find('\n'); end != std::string::npos) {
      std::string line = outBuffer_.substr(0, end);
      outBuffer_.erase(0, end + 1);
      return line;
    }
    if (out_ < 0 || Clock::now() >= deadline) return std::nullopt;
    pump(std::max(0ms, std::chrono::duration_cast<Millis>(deadline - Clock::now())));
  }
}

std::string Process::errorText() {
  if (err_ >= 0 && !drain(err_, errBuffer_)) closeFd(err_);
  return errBuffer_;
}

std::optional<int> Process::wait(Millis timeout) {
  if (status_) return status_;
  if (pid_ < 0) return std::nullopt;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
      return status_;
    }
    if (r < 0 || Clock::now() >= deadline) return std::nullopt;
    // Keep the pipes flowing so a chatty child cannot block on a full one.
    pump(10ms);
    if (out_ < 0 && err_ < 0) std::this_thread::sleep_for(5ms);
  }
}

void Process::signal(int sig) {
  if (pid_ > 0 && !status_) ::kill(pid_, sig);
}

void Process::stop() {
  if (pid_ <= 0 || status_) return;
  ::kill(pid_, SIGCONT);  // a stopped process cannot act on SIGTERM
  ::kill(pid_, SIGTERM);
  if (wait(1000ms)) return;
  ::kill(pid_, SIGKILL);
  wait(5000ms);
}

// --- Helper --------------------------------------------------------------------------

// The helper under test: VELMARIS_HELPER names another build of it (the sanitizer tier).
Helper::Helper()
    : Process({std::getenv("VELMARIS_HELPER") ? std::getenv("VELMARIS_HELPER")
                                              : binaryPath("velmaris-gui")}) {}

Helper::~Helper() {
  // A sanitizer reports on standard error and, for leaks, at exit: end the input, then look.
  closeInput();
  const auto status = wait(10000ms);
  if (status != 0 || !errorText().empty())
    ADD_FAILURE() << "the helper ended with " << (status ? std::to_string(*status) : "no exit")
                  << ": " << errorText().substr(0, 4000);
}

nlohmann::json Helper::request(const nlohmann::json& request, Millis timeout) {
  auto line = ask(request.dump(), timeout);
  if (!line) throw std::runtime_error("no response to " + request.dump());
  return nlohmann::json::parse(*line);
}

std::int64_t Helper::onlyWindow(const std::string& app) {
  const nlohmann::json r = request({{"id", 0}, {"method", "windows"}, {"app", app}});
  if (r["result"]["windows"].size() != 1) throw std::runtime_error("not one window: " + r.dump());
  return r["result"]["windows"][0]["window_id"];
}

// --- Fixture -------------------------------------------------------------------------

// Windows the accessibility registry shows for `pid` now (-1 when it does not list it): its
// top levels with a window's role, read through the product's own backend (given no display,
// so no X window counts), kept from one call to the next.
int accessibleWindowCount(pid_t pid) {
  static platform::linux_desktop::AtspiAccessibility ax(
      std::make_shared<platform::linux_desktop::AccessibilityBus>());
  platform::AttributeValue windows;
  const auto status = ax.copyAttributeValue(ax.createApplication(pid), "AXWindows", windows);
  return status == platform::kAXErrorSuccess ? int(windows.elements.size()) : -1;
}

// --- XDesktop ------------------------------------------------------------------------

XDesktop::XDesktop() : c_(xcb_connect(nullptr, nullptr)) {
  if (xcb_connection_has_error(c_)) return;
  root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
  ready_ = xcb_ewmh_init_atoms_replies(&ewmh_, xcb_ewmh_init_atoms(c_, &ewmh_), nullptr);
}

XDesktop::~XDesktop() {
  if (ready_) xcb_ewmh_connection_wipe(&ewmh_);
  xcb_disconnect(c_);
}

pid_t XDesktop::pidOf(xcb_window_t window) {
  std::uint32_t pid = 0;
  return xcb_ewmh_get_wm_pid_reply(&ewmh_, xcb_ewmh_get_wm_pid(&ewmh_, window), &pid, nullptr)
             ? pid_t(pid) : 0;
}

std::vector<xcb_window_t> XDesktop::windowsOf(pid_t pid) {
  std::vector<xcb_window_t> owned;
  xcb_ewmh_get_windows_reply_t list{};
  if (!ready_ || !xcb_ewmh_get_client_list_reply(&ewmh_, xcb_ewmh_get_client_list(&ewmh_, 0), &list, nullptr))
    return owned;
  for (std::uint32_t i = 0; i < list.windows_len; ++i)
    if (pidOf(list.windows[i]) == pid) owned.push_back(list.windows[i]);
  xcb_ewmh_get_windows_reply_wipe(&list);
  return owned;
}

XDesktop::Box XDesktop::box(xcb_window_t w) {
  Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, w), nullptr));
  Reply<xcb_translate_coordinates_reply_t> t(
      xcb_translate_coordinates_reply(c_, xcb_translate_coordinates(c_, w, root_, 0, 0), nullptr));
  return g && t ? Box{t->dst_x, t->dst_y, g->width, g->height} : Box{};
}

xcb_window_t XDesktop::frameOf(xcb_window_t w) {
  for (int i = 0; i < 16; ++i) {
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, w), nullptr));
    if (!tree || tree->parent == root_) return w;
    w = tree->parent;
  }
  return w;
}

bool XDesktop::viewable(xcb_window_t w) {
  Reply<xcb_get_window_attributes_reply_t> a(
      xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, w), nullptr));
  return a && a->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool XDesktop::anyViewable(pid_t pid) {
  for (xcb_window_t w : windowsOf(pid))
    if (viewable(w)) return true;
  return false;
}

bool XDesktop::active(pid_t pid) {
  xcb_window_t window = XCB_WINDOW_NONE;
  return ready_ &&
         xcb_ewmh_get_active_window_reply(&ewmh_, xcb_ewmh_get_active_window(&ewmh_, 0), &window, nullptr) &&
         window != XCB_WINDOW_NONE && pidOf(window) == pid;
}

void XDesktop::iconify(pid_t pid) {
  // The ICCCM request a client makes to iconify itself, sent on its behalf.
  Reply<xcb_intern_atom_reply_t> atom(
      xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, 15, "WM_CHANGE_STATE"), nullptr));
  if (!atom) return;
  for (xcb_window_t w : windowsOf(pid)) {
    const xcb_client_message_event_t event{.response_type = XCB_CLIENT_MESSAGE, .format = 32,
                                           .sequence = 0, .window = w, .type = atom->atom,
                                           .data = {.data32 = {3}}};  // IconicState
    xcb_send_event(c_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
  }
  xcb_flush(c_);
}

bool inside(const nlohmann::json& bounds, const XDesktop::Box& box) {
  const double x = bounds.value("x", -1.0), y = bounds.value("y", -1.0);
  const double w = bounds.value("width", 0.0), h = bounds.value("height", 0.0);
  return w > 0 && h > 0 && x >= box.x && y >= box.y && x + w <= box.x + box.width &&
         y + h <= box.y + box.height;
}

Fixture::Fixture(const std::vector<std::string>& arguments, std::size_t windows)
    : Process(joined({binaryPath("velmaris-fixture")}, arguments)),
      accessible_(std::find(arguments.begin(), arguments.end(), "--no-accessibility") == arguments.end()) {
  auto ready = readLine(10000ms);
  if (!ready || *ready != "ready") throw std::runtime_error("fixture did not start: " + errorText());
  if (!waitForWindows(windows))
    throw std::runtime_error("fixture's windows never showed in the window list or registry");
}

bool Fixture::waitForWindows(std::size_t windows, Millis timeout) {
  // The window manager lists a window only after the application saw it mapped.
  return eventually([&] {
    return XDesktop().windowsOf(pid()).size() == windows &&
           (!accessible_ || accessibleWindowCount(pid()) == int(windows));
  }, timeout);
}

Fixture::~Fixture() { EXPECT_EQ(errorText(), "") << "from the fixture"; }

// --- Application ---------------------------------------------------------------------

// Unread pipes would stall a chatty application; exec keeps the pid.
Application::Application(const std::vector<std::string>& argv, Millis timeout)
    : Process(joined({"/bin/sh", "-c", "exec \"$@\" </dev/null >/dev/null 2>&1", "sh"}, argv)) {
  const auto windowOrEnd = [&] { return ended() || !XDesktop().windowsOf(pid()).empty(); };
  if (!eventually(windowOrEnd, timeout, 50ms) || ended())
    throw std::runtime_error(argv[0] + " showed no window or ended");
}

// --- SilentPeerApplication -------------------------------------------------------------

namespace {

int answerSilently(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<const SilentPeerApplication*>(userdata);
  if (sd_bus_message_is_method_call(m, "org.a11y.atspi.Application", "GetApplicationBusAddress"))
    return sd_bus_reply_method_return(m, "s", self->socketAddress().c_str());
  if (sd_bus_message_is_method_call(m, "org.a11y.atspi.Accessible", "GetChildren"))
    return sd_bus_reply_method_return(m, "a(so)", 0);
  return 0;  // sd-bus answers that there is no such method
}

}  // namespace

SilentPeerApplication::SilentPeerApplication() {
  static int serial = 0;
  socketPath_ = "/tmp/velmaris-silent-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
  ::unlink(socketPath_.c_str());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
      ::listen(listener_, 8) < 0)
    throw std::runtime_error("cannot listen on " + socketPath_);
  // A connection of its own to the accessibility bus, whose address the session bus gives.
  sd_bus* session = nullptr;
  sd_bus_message* reply = nullptr;
  const char* busAddress = nullptr;
  const char* unique = nullptr;
  const bool joined =
      sd_bus_open_user(&session) >= 0 &&
      sd_bus_call_method(session, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                         nullptr, &reply, "") >= 0 &&
      sd_bus_message_read(reply, "s", &busAddress) > 0 && sd_bus_new(&bus_) >= 0 &&
      sd_bus_set_address(bus_, busAddress) >= 0 && sd_bus_set_bus_client(bus_, 1) >= 0 &&
      sd_bus_start(bus_) >= 0 &&
      sd_bus_add_object(bus_, nullptr, kRootPath, answerSilently, this) >= 0 &&
      sd_bus_get_unique_name(bus_, &unique) >= 0;
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(session);
  if (!joined) throw std::runtime_error("cannot join the accessibility bus");
  busName_ = unique;
  thread_ = std::thread([this] {
    while (!stop_) {
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
      sd_bus_wait(bus_, 20000);
    }
  });
}

SilentPeerApplication::~SilentPeerApplication() {
  stop_ = true;
  thread_.join();
  ::close(listener_);
  ::unlink(socketPath_.c_str());
  sd_bus_flush_close_unref(bus_);
}

double processStarted(pid_t pid) {
  std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // from field 3 on
  std::string field;
  for (int i = 3; i <= 22; ++i) fields >> field;
  const std::uint64_t ticks = std::stoull(field);

  std::ifstream procStat("/proc/stat");
  std::uint64_t bootTime = 0;
  for (std::string line; std::getline(procStat, line);)
    if (line.rfind("btime ", 0) == 0) bootTime = std::stoull(line.substr(6));

  const auto hz = static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
  // Whole seconds, then the whole microseconds of the ticks left over.
  return double(bootTime + ticks / hz) + double((ticks % hz) * 1000000 / hz) / 1000000.0;
}

}  // namespace velmaris::testing
