// "browser_status" and "browser_reveal" of the real helper on a virtual desktop with its
// window manager, against a fixture that publishes the browser's application id and against a
// real Chromium installed where Google's package puts Chrome.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

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
  XDesktop desktop;
};

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
  EXPECT_EQ(r["result"]["process_id"], browser.pid()) << r.dump();
  EXPECT_EQ(r["result"]["windows"].size(), 1u) << r.dump();  // not its unshown popups' frames

  r = helper.request(browserRequest("browser_status", browser.pid(), started));
  EXPECT_EQ(r["result"], (Json{{"process_id", browser.pid()},
                               {"process_hidden", false},
                               {"process_active", true},
                               {"onscreen_window_count", 1},
                               {"foreground_verified", true}}));

  desktop.iconify(browser.pid());
  ASSERT_TRUE(eventually([&] { return !desktop.anyViewable(browser.pid()); }));
  r = helper.request(browserRequest("browser_status", browser.pid(), started));
  EXPECT_EQ(r["result"]["onscreen_window_count"], 0) << r.dump();
  EXPECT_EQ(r["result"]["foreground_verified"], false);
  EXPECT_FALSE(desktop.anyViewable(browser.pid()));  // only reported: it stays iconified

  const auto before = std::chrono::steady_clock::now();
  r = helper.request(browserRequest("browser_reveal", browser.pid(), started));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2500ms);
  EXPECT_EQ(r["result"]["process_hidden"], false) << r.dump();
  EXPECT_EQ(r["result"]["onscreen_window_count"], 1);
  EXPECT_EQ(r["result"]["foreground_verified"], true);
  EXPECT_TRUE(desktop.active(browser.pid()));
  EXPECT_FALSE(browser.ended()) << "the browser died";
}

// The browser methods need no accessibility: a helper cut off from the session bus, and so
// from the accessibility bus, still brings a browser forward from behind another application.
TEST_F(BrowserMethods, RevealWithoutAnAccessibilityBusFromBehindAnotherApplication) {
  Fixture browser({"--app-id=com.google.Chrome", "--title=Browser"});
  ASSERT_TRUE(eventually([&] { return desktop.active(browser.pid()); }));
  Fixture other({"--app-id=org.example.Editor", "--title=Editor"});
  ASSERT_TRUE(eventually([&] { return desktop.active(other.pid()); }));
  const double started = processStarted(browser.pid());
  const std::string bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
  Helper helper;
  setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);

  Json r = helper.request(Json{{"id", 1}, {"method", "windows"}, {"app", "com.google.Chrome"}});
  EXPECT_EQ(r["error"]["code"], "accessibility_required") << r.dump();
  r = helper.request(browserRequest("browser_status", browser.pid(), started));
  EXPECT_EQ(r["result"]["process_active"], false) << r.dump();
  EXPECT_EQ(r["result"]["foreground_verified"], false);
  r = helper.request(browserRequest("browser_reveal", browser.pid(), started));
  EXPECT_EQ(r["result"]["process_active"], true) << r.dump();
  EXPECT_EQ(r["result"]["foreground_verified"], true);
  EXPECT_TRUE(desktop.active(browser.pid()));
}

}  // namespace
}  // namespace velmaris::testing
