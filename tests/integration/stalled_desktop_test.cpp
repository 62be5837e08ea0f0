// The real helper while the desktop misbehaves: the X server stopped with SIGSTOP (each way
// the helper reaches the window manager answered in time with a clean code, service back after
// SIGCONT, end of input honoured at once), and an application whose root holds a FIFO where a
// sandbox's info file would be.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "harness.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kAnswerWithin = 3500ms;

Json with(Json request, const Json& members) {
  request.update(members);
  return request;
}

// Resumes the X server whatever the test does, so the desktop outlives a failed assertion.
struct StoppedServer {
  explicit StoppedServer(pid_t pid) : pid(pid) { stopped = kill(pid, SIGSTOP) == 0; }
  ~StoppedServer() {
    if (stopped) kill(pid, SIGCONT);
  }
  pid_t pid;
  bool stopped = false;
};

// The response to `request`, which must come within kAnswerWithin.
Json answeredInTime(Helper& helper, const Json& request) {
  const auto start = Clock::now();
  const auto line = helper.ask(request.dump(), 6000ms);
  const auto took = std::chrono::duration_cast<Millis>(Clock::now() - start);
  EXPECT_TRUE(line) << request["method"] << " unanswered";
  if (!line) return Json();
  EXPECT_LT(took, kAnswerWithin) << request["method"] << " took " << took.count() << " ms";
  return Json::parse(*line);
}

TEST(StalledDesktop, RequestsAreAnsweredInTimeWhileTheXServerIsStopped) {
  const char* server = std::getenv("VELMARIS_XVFB_PID");
  ASSERT_TRUE(server) << "run on scripts/virtual-desktop";
  const std::string app = "com.google.Chrome";  // the fixture serves the browser methods too
  Fixture fixture({"--app-id=" + app, "--title=Stalled", "--widgets=actions"});
  const double started = processStarted(fixture.pid());
  Helper helper;

  // Everything the helper connects to is in use before the server stops.
  const std::int64_t window = helper.onlyWindow(app);
  const Json observe = {{"id", 2}, {"method", "observe"}, {"app", app}, {"window_id", window},
                        {"include_image", true}};
  Json response = helper.request(observe);
  ASSERT_TRUE(response["result"].contains("content")) << response.dump().substr(0, 400);
  const Json browser = {{"app", app}, {"process_id", fixture.pid()}, {"process_started", started}};
  ASSERT_TRUE(helper.request(with({{"id", 3}, {"method", "browser_status"}}, browser))
                  .contains("result"));

  // What the helper cannot learn from the window manager in time, it cannot find. Every
  // method but the browser's first finds its process through the one list of the window
  // manager's clients that "windows" reads, each waiting its whole deadline.
  const std::pair<Json, const char*> requests[] = {
      {{{"method", "windows"}, {"app", app}}, "process_not_found"},
      // (and "browser_reveal", which checks the identity alike before it acts)
      {with({{"method", "browser_status"}}, browser), "process_identity_changed"},
  };
  {
    StoppedServer stopped(std::atoi(server));
    ASSERT_TRUE(stopped.stopped);
    int id = 10;
    for (const auto& [request, code] : requests)
      EXPECT_EQ(answeredInTime(helper, with(request, {{"id", id++}}))["error"]["code"], code) << request;
  }

  // Service comes back once the server runs again.
  EXPECT_TRUE(eventually([&] { return (response = helper.request(observe))["result"].contains("content"); }, 10s, 200ms))
      << response.dump().substr(0, 400);

  // End of input while the server is stopped, just after an observation gave up: a prompt exit.
  StoppedServer stopped(std::atoi(server));
  EXPECT_EQ(answeredInTime(helper, observe)["error"]["code"], "process_not_found");
  const auto start = Clock::now();
  helper.closeInput();
  EXPECT_EQ(helper.wait(2000ms).value_or(-1), 0);
  EXPECT_LT(Clock::now() - start, 2000ms);
}

TEST(StalledDesktop, AFifoWhereTheSandboxInfoWouldBeIsNotWaitedOn) {
  if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
  // xterm (no GLib, which would itself wait on the FIFO) runs chrooted into a tmpfs that
  // mirrors / (bind mounts, links as links) with a FIFO at /.flatpak-info, in a mount
  // namespace of its own; it owns a window, so its key is looked up.
  const std::string mirror = R"sh(
    set -e
    r=$(mktemp -d)
    mount -t tmpfs tmpfs "$r"
    for e in /*; do
      n=${e#/}
      if [ -L "$e" ]; then ln -s "$(readlink "$e")" "$r/$n"
      elif [ -d "$e" ]; then mkdir "$r/$n"; mount --rbind "$e" "$r/$n"; fi
    done
    mkfifo "$r/.flatpak-info"
    exec chroot "$r" "$@")sh";
  Application xterm({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                     mirror, "sh", "/usr/bin/xterm", "-T", "Sandboxed"});
  Helper helper;
  const Json response = answeredInTime(helper, {{"id", 1}, {"method", "windows"}, {"app", "xterm"}});
  // Found under its executable's name; without accessibility it has no window list.
  EXPECT_EQ(response["error"]["ax_status"], -25208) << response.dump();
}

}  // namespace
}  // namespace velmaris::testing
