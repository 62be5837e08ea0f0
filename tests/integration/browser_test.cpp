// "browser_status" and "browser_reveal" of the real helper on a virtual desktop with its
// window manager, against a fixture that publishes the browser's application id and against a
// real Chromium installed where Google's package puts Chrome. The test watches and iconifies
// windows over its own X connection, independently of the helper.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include "harness.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

Json browserRequest(const char* method, pid_t pid, double started) {
  return Json{{"id", 1},
              {"method", method},
              {"app", "com.google.Chrome"},
              {"process_id", pid},
              {"process_started", started}};
}

// What the test itself sees of the desktop, and the one thing it does to it: iconify.
class Desktop {
 public:
  Desktop() {
    connection_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection_)) return;
    ready_ = xcb_ewmh_init_atoms_replies(&ewmh_, xcb_ewmh_init_atoms(connection_, &ewmh_), nullptr);
  }
  ~Desktop() {
    if (ready_) xcb_ewmh_connection_wipe(&ewmh_);
    xcb_disconnect(connection_);
  }
  bool ready() const { return ready_; }

  std::vector<xcb_window_t> windowsOf(pid_t pid) {
    std::vector<xcb_window_t> owned;
    xcb_ewmh_get_windows_reply_t list{};
    if (!xcb_ewmh_get_client_list_reply(&ewmh_, xcb_ewmh_get_client_list(&ewmh_, 0), &list,
                                        nullptr))
      return owned;
    for (std::uint32_t i = 0; i < list.windows_len; ++i)
      if (pidOf(list.windows[i]) == pid) owned.push_back(list.windows[i]);
    xcb_ewmh_get_windows_reply_wipe(&list);
    return owned;
  }
  bool viewable(xcb_window_t window) {
    auto* reply = xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), nullptr);
    const bool shown = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    std::free(reply);
    return shown;
  }
  bool active(pid_t pid) {
    xcb_window_t window = XCB_WINDOW_NONE;
    return xcb_ewmh_get_active_window_reply(&ewmh_, xcb_ewmh_get_active_window(&ewmh_, 0),
                                            &window, nullptr) &&
           window != XCB_WINDOW_NONE && pidOf(window) == pid;
  }
  bool anyViewable(pid_t pid) {
    for (xcb_window_t w : windowsOf(pid))
      if (viewable(w)) return true;
    return false;
  }
  // The ICCCM request a client makes to iconify itself, sent on its behalf.
  void iconify(pid_t pid) {
    auto* atom = xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, 15, "WM_CHANGE_STATE"), nullptr);
    ASSERT_NE(atom, nullptr);
    for (xcb_window_t w : windowsOf(pid)) {
      xcb_client_message_event_t event{};
      event.response_type = XCB_CLIENT_MESSAGE;
      event.format = 32;
      event.window = w;
      event.type = atom->atom;
      event.data.data32[0] = 3;  // IconicState
      xcb_send_event(connection_, 0, ewmh_.screens[0]->root,
                     XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                     reinterpret_cast<const char*>(&event));
    }
    std::free(atom);
    xcb_flush(connection_);
  }

 private:
  pid_t pidOf(xcb_window_t window) {
    std::uint32_t pid = 0;
    if (!xcb_ewmh_get_wm_pid_reply(&ewmh_, xcb_ewmh_get_wm_pid(&ewmh_, window), &pid, nullptr))
      return 0;
    return static_cast<pid_t>(pid);
  }

  xcb_connection_t* connection_ = nullptr;
  xcb_ewmh_connection_t ewmh_{};
  bool ready_ = false;
};

bool eventually(const std::function<bool()>& condition, Millis timeout = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

// Debian's Chromium binary reached through the path of Google's Chrome package, inside a
// private mount namespace: the kernel reports that path as the process's executable, exactly
// as for an installed Chrome, so the helper's naming rule runs unchanged on a real browser.
std::vector<std::string> chromeAtGooglesPath(const std::string& profile) {
  const char* script =
      "mount -t tmpfs tmpfs /opt && mkdir -p /opt/google/chrome && "
      "for f in /usr/lib/chromium/*; do ln -s \"$f\" /opt/google/chrome/; done && "
      ": > /opt/google/chrome/chrome && "
      "mount --bind /usr/lib/chromium/chromium /opt/google/chrome/chrome && "
      "exec /opt/google/chrome/chrome --force-renderer-accessibility --no-sandbox --disable-gpu "
      "--no-first-run --disable-background-networking --disable-component-update "
      "--disable-sync --user-data-dir=\"$1\" about:blank";
  return {"/usr/bin/unshare", "--mount", "/bin/sh", "-c", script, "sh", profile};
}

struct BrowserMethods : ::testing::Test {
  Desktop desktop;
  void SetUp() override { ASSERT_TRUE(desktop.ready()) << "no X display"; }
};

TEST_F(BrowserMethods, StatusAndRevealFollowTheWindowManager) {
  Fixture browser({"--app-id=com.google.Chrome", "--title=Browser"});
  const double started = processStarted(browser.pid());
  ASSERT_TRUE(eventually([&] { return desktop.active(browser.pid()); }));
  Helper helper;

  Json r = helper.request(browserRequest("browser_status", browser.pid(), started));
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_EQ(r["result"], (Json{{"process_id", browser.pid()},
                               {"process_hidden", false},
                               {"process_active", true},
                               {"onscreen_window_count", 1},
                               {"foreground_verified", true}}));

  desktop.iconify(browser.pid());
  ASSERT_TRUE(eventually([&] { return !desktop.anyViewable(browser.pid()); }));
  r = helper.request(browserRequest("browser_status", browser.pid(), started));
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_EQ(r["result"]["process_hidden"], true);
  EXPECT_EQ(r["result"]["onscreen_window_count"], 0);
  EXPECT_EQ(r["result"]["foreground_verified"], false);
  // Only reported: the window stays iconified.
  EXPECT_FALSE(desktop.anyViewable(browser.pid()));

  const auto before = std::chrono::steady_clock::now();
  r = helper.request(browserRequest("browser_reveal", browser.pid(), started));
  const auto took = std::chrono::steady_clock::now() - before;
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_EQ(r["result"]["process_hidden"], false);
  EXPECT_EQ(r["result"]["process_active"], true);
  EXPECT_GE(r["result"]["onscreen_window_count"].get<int>(), 1);
  EXPECT_EQ(r["result"]["foreground_verified"], true);
  EXPECT_LT(took, 2500ms);
  EXPECT_TRUE(desktop.anyViewable(browser.pid()));
  EXPECT_TRUE(desktop.active(browser.pid()));
  EXPECT_EQ(helper.errorText(), "");
}

TEST_F(BrowserMethods, ARealChromeIsRecognisedReportedAndRevealed) {
  char profile[] = "/tmp/velmaris-chrome.XXXXXX";
  ASSERT_NE(mkdtemp(profile), nullptr);
  struct Remove {
    const char* path;
    // The browser's helper processes outlive it for a moment and still write there.
    ~Remove() {
      std::error_code failed;
      for (int attempt = 0; attempt < 50; ++attempt) {
        if (std::filesystem::remove_all(path, failed), !failed) return;
        std::this_thread::sleep_for(100ms);
      }
    }
  } removeProfile{profile};
  Application browser(chromeAtGooglesPath(profile), 60000ms);
  ASSERT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(browser.pid()) + "/exe"),
            "/opt/google/chrome/chrome");
  ASSERT_TRUE(eventually([&] { return desktop.active(browser.pid()); }, 10000ms));
  const double started = processStarted(browser.pid());
  Helper helper;

  Json r = helper.request(Json{{"id", 1}, {"method", "windows"}, {"app", "com.google.Chrome"}});
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_EQ(r["result"]["process_id"], browser.pid());

  r = helper.request(browserRequest("browser_status", browser.pid(), started));
  ASSERT_TRUE(r.contains("result")) << r.dump();
  EXPECT_EQ(r["result"]["foreground_verified"], true) << r.dump();

  desktop.iconify(browser.pid());
  ASSERT_TRUE(eventually([&] { return !desktop.anyViewable(browser.pid()); }));
  r = helper.request(browserRequest("browser_status", browser.pid(), started));
  EXPECT_EQ(r["result"]["onscreen_window_count"], 0) << r.dump();
  EXPECT_EQ(r["result"]["foreground_verified"], false);

  r = helper.request(browserRequest("browser_reveal", browser.pid(), started));
  EXPECT_EQ(r["result"]["process_hidden"], false) << r.dump();
  EXPECT_EQ(r["result"]["process_active"], true);
  EXPECT_GE(r["result"]["onscreen_window_count"].get<int>(), 1);
  EXPECT_EQ(r["result"]["foreground_verified"], true);
  EXPECT_TRUE(desktop.active(browser.pid()));
  EXPECT_FALSE(browser.ended()) << "the browser died";
  EXPECT_EQ(helper.errorText(), "");
}

TEST_F(BrowserMethods, RevealBringsABrowserForwardFromBehindAnotherApplication) {
  Fixture browser({"--app-id=com.google.Chrome", "--title=Browser"});
  ASSERT_TRUE(eventually([&] { return desktop.active(browser.pid()); }));
  Fixture other({"--app-id=org.example.Editor", "--title=Editor"});
  ASSERT_TRUE(eventually([&] { return desktop.active(other.pid()); }));
  Helper helper;
  const double started = processStarted(browser.pid());

  Json r = helper.request(browserRequest("browser_status", browser.pid(), started));
  EXPECT_EQ(r["result"]["process_active"], false) << r.dump();
  EXPECT_EQ(r["result"]["foreground_verified"], false);

  r = helper.request(browserRequest("browser_reveal", browser.pid(), started));
  EXPECT_EQ(r["result"]["process_active"], true) << r.dump();
  EXPECT_EQ(r["result"]["foreground_verified"], true);
  EXPECT_TRUE(desktop.active(browser.pid()));
}

TEST_F(BrowserMethods, WorkWithoutAnAccessibilityBus) {
  Fixture browser({"--app-id=com.google.Chrome", "--title=Browser"});
  ASSERT_TRUE(eventually([&] { return desktop.active(browser.pid()); }));
  const double started = processStarted(browser.pid());

  // The helper alone is cut off from the session bus, and so from the accessibility bus.
  const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS") ? std::getenv("DBUS_SESSION_BUS_ADDRESS") : "";
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  Helper helper;
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);

  Json r = helper.request(Json{{"id", 1}, {"method", "windows"}, {"app", "com.google.Chrome"}});
  EXPECT_EQ(r["error"]["code"], "accessibility_required") << r.dump();

  r = helper.request(browserRequest("browser_status", browser.pid(), started));
  EXPECT_EQ(r["result"]["foreground_verified"], true) << r.dump();
  desktop.iconify(browser.pid());
  ASSERT_TRUE(eventually([&] { return !desktop.anyViewable(browser.pid()); }));
  r = helper.request(browserRequest("browser_reveal", browser.pid(), started));
  EXPECT_EQ(r["result"]["foreground_verified"], true) << r.dump();
}

}  // namespace
}  // namespace velmaris::testing
