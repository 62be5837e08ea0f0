// Support for the integration tests: child processes on pipes (killed by pid when their owner
// goes), the helper program spoken to in JSON lines, and the GTK fixture application waited
// for until the accessibility registry shows its windows, an application whose private
// socket never speaks, and the X desktop as the tests see it. Single-threaded but for that
// application's own thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

struct sd_bus;

namespace velmaris::testing {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

std::string binaryPath(std::string_view name);  // a program built into the build's bin/
// A command line: `head`, then `tail`.
std::vector<std::string> joined(std::vector<std::string> head, const std::vector<std::string>& tail);

// Asks `condition` every `every` until it holds (true) or `timeout` has passed (false).
bool eventually(const std::function<bool()>& condition, Millis timeout = 5000ms, Millis every = 20ms);

// A child process with its standard input, output and error on pipes.
class Process {
 public:
  explicit Process(const std::vector<std::string>& argv);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  bool write(std::string_view bytes);
  void closeInput();
  // One line of standard output without its line feed; nothing on timeout or end of output.
  std::optional<std::string> readLine(Millis timeout);
  // Writes `line` and a line feed, and reads the answering line.
  std::optional<std::string> ask(std::string_view line, Millis timeout = 5000ms);
  // Everything written to standard error so far.
  std::string errorText();
  // The exit status once the process has ended within the timeout (-signal when killed).
  std::optional<int> wait(Millis timeout);
  void signal(int sig);
  void stop();  // SIGTERM, then SIGKILL after a second

 private:
  void pump(Millis timeout);
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outBuffer_, errBuffer_;
  std::optional<int> status_;
};

// velmaris-gui, spoken to one line at a time. When it goes, its input is closed, and it must
// end with status 0 having written nothing to standard error (under the sanitizers, that
// includes their reports).
class Helper : public Process {
 public:
  Helper();
  ~Helper();
  // Writes the request as one line and parses the one response line.
  nlohmann::json request(const nlohmann::json& request, Millis timeout = 5000ms);
  // The "window_id" of the one window "windows" lists for `app`; throws unless there is one.
  std::int64_t onlyWindow(const std::string& app);
};

// The GTK fixture application (tests/fixtures/velmaris-fixture.c). GTK writes to standard
// error only when it was made to do something wrong (a CRITICAL for a call that should never
// have reached it): the test fails when a fixture that wrote anything goes. Its control lines
// are asked like any line: the answer is "ok" or "error ...".
class Fixture : public Process {
 public:
  // Starts it with `arguments` and waits for "ready", until the window manager lists its
  // `windows` windows and, unless it runs with --no-accessibility, until the registry does.
  explicit Fixture(const std::vector<std::string>& arguments, std::size_t windows = 1);
  ~Fixture();
  // Waits until the window manager and (when accessible) the registry show `windows`
  // windows of this process.
  bool waitForWindows(std::size_t windows, Millis timeout = 10000ms);

 private:
  bool accessible_;
};

// A real desktop application (its output discarded), waited for until the window manager
// lists a window of its process. The process is the command itself: wrappers must exec.
class Application : public Process {
 public:
  explicit Application(const std::vector<std::string>& argv, Millis timeout = 30000ms);
  // The exit status (-signal when killed) once it has ended; nothing while it runs.
  std::optional<int> ended() { return wait(0ms); }
};

// An application on the accessibility bus, served by a thread of this process: asked over the
// bus, it hands out the address of a socket that takes connections into its backlog and never
// says a word, and lists no children; everything else it leaves unanswered by any method.
class SilentPeerApplication {
 public:
  SilentPeerApplication();
  ~SilentPeerApplication();
  SilentPeerApplication(const SilentPeerApplication&) = delete;
  SilentPeerApplication& operator=(const SilentPeerApplication&) = delete;

  const std::string& busName() const { return busName_; }
  // The silent socket, as a D-Bus address.
  std::string socketAddress() const { return "unix:path=" + socketPath_; }

 private:
  sd_bus* bus_ = nullptr;
  int listener_ = -1;
  std::string socketPath_, busName_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
// The start time a client gives for `pid`: boot time plus field 22 of /proc/<pid>/stat, in
// seconds with the microseconds as a fraction.
double processStarted(pid_t pid);

// What a test sees of the X desktop over its own connection, independently of the helper,
// and the one thing it does to it: iconify an application's windows.
class XDesktop {
 public:
  struct Box {
    int x = 0, y = 0, width = 0, height = 0;
  };
  XDesktop();
  ~XDesktop();
  XDesktop(const XDesktop&) = delete;
  XDesktop& operator=(const XDesktop&) = delete;

  std::vector<xcb_window_t> windowsOf(pid_t pid);  // client windows the window manager lists
  Box box(xcb_window_t window);                    // position on the root, and size
  xcb_window_t frameOf(xcb_window_t window);       // the top-level window holding it
  bool viewable(xcb_window_t window);
  bool anyViewable(pid_t pid);
  bool active(pid_t pid);  // owns the active window
  void iconify(pid_t pid);

 private:
  pid_t pidOf(xcb_window_t window);
  xcb_connection_t* c_;
  xcb_ewmh_connection_t ewmh_{};
  xcb_window_t root_ = 0;
  bool ready_ = false;
};

// Bounds that the helper reported (screen points) inside the box, with a real size.
bool inside(const nlohmann::json& bounds, const XDesktop::Box& box);

}  // namespace velmaris::testing
