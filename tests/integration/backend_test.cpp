// The Linux backend on a real desktop, without the helper around it: the GTK fixture as seen
// through AT-SPI, /proc and the X client list, including the failures a distrustful caller
// must be told about (destroyed windows, stopped and vanished applications).
#include <signal.h>

#include <chrono>

#include <gtest/gtest.h>

#include "harness.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/proc_records.h"

namespace velmaris {
namespace {

using namespace platform;
using testing::Fixture;
using namespace std::chrono_literals;

class BackendTest : public ::testing::Test {
 protected:
  Platform desktop = makeLinuxPlatform();
  Accessibility& ax() { return *desktop.accessibility; }
  Workspace& workspace() { return *desktop.workspace; }

  std::optional<RunningApplication> listed(pid_t pid) {
    for (auto& app : workspace().runningApplications()) {
      if (app.pid == pid) return app;
    }
    return std::nullopt;
  }

  std::string stringOf(const Element& element, const std::string& attribute) {
    AttributeValue value;
    AXError status = ax().copyAttributeValue(element, attribute, value);
    EXPECT_EQ(status, kAXErrorSuccess) << attribute;
    EXPECT_EQ(value.kind, AttributeValue::Kind::String) << attribute;
    return value.string;
  }

  std::vector<Element> windowsOf(const Element& application) {
    AttributeValue value;
    EXPECT_EQ(ax().copyAttributeValue(application, "AXWindows", value), kAXErrorSuccess);
    EXPECT_EQ(value.kind, AttributeValue::Kind::ElementArray);
    return value.elements;
  }
};

TEST_F(BackendTest, ListsApplicationsWithTheirKeysAndPolicies) {
  Fixture app({"--app-id=org.velmaris.Fixture", "--title=Main"});
  Fixture plain({"--title=Plain"});
  Fixture silent({"--title=Silent", "--no-accessibility"}, 1, false);

  EXPECT_TRUE(ax().isProcessTrusted());
  auto gtkApp = listed(app.pid());
  ASSERT_TRUE(gtkApp);
  EXPECT_EQ(gtkApp->bundleID, "org.velmaris.Fixture");
  EXPECT_EQ(gtkApp->activationPolicy, ActivationPolicy::Regular);
  EXPECT_FALSE(workspace().isTerminated(*gtkApp));

  // Without an application id the key is the executable's name.
  auto plainApp = listed(plain.pid());
  ASSERT_TRUE(plainApp);
  EXPECT_EQ(plainApp->bundleID, "velmaris-fixture");
  EXPECT_EQ(plainApp->activationPolicy, ActivationPolicy::Regular);

  // A process that takes no part in accessibility is still listed through its window, and
  // its application element answers "not implemented", never the -25204 of a hung one.
  auto silentApp = listed(silent.pid());
  ASSERT_TRUE(silentApp);
  EXPECT_EQ(silentApp->activationPolicy, ActivationPolicy::Regular);
  Element element = ax().createApplication(silent.pid());
  AttributeValue value;
  EXPECT_EQ(ax().copyAttributeValue(element, "AXWindows", value), kAXErrorNotImplemented);
  EXPECT_EQ(ax().copyAttributeValue(element, "AXRole", value), kAXErrorNotImplemented);
  std::vector<std::string> names;
  EXPECT_EQ(ax().copyActionNames(element, names), kAXErrorNotImplemented);
  std::int32_t pid = 0;
  EXPECT_EQ(ax().getPid(element, pid), kAXErrorSuccess);
  EXPECT_EQ(pid, silent.pid());

  auto single = workspace().runningApplication(app.pid());
  ASSERT_TRUE(single);
  EXPECT_EQ(single->bundleID, "org.velmaris.Fixture");
  EXPECT_FALSE(workspace().runningApplication(0x7ffffff0));

  // Once the process is gone it is terminated, and its elements are invalid.
  Element window = windowsOf(ax().createApplication(app.pid())).at(0);
  app.process().signal(SIGKILL);
  ASSERT_TRUE(app.process().wait(5000ms));
  EXPECT_TRUE(workspace().isTerminated(*gtkApp));
  EXPECT_EQ(ax().copyAttributeValue(window, "AXTitle", value), kAXErrorInvalidUIElement);
}

TEST_F(BackendTest, ProcStatParsingSurvivesHostileCommandNames) {
  using linux_desktop::parseStatStart;
  std::string fields;
  for (int i = 3; i <= 52; i++) {
    fields += ' ';
    fields += std::to_string(i == 22 ? 123456 : i);
  }
  auto parsed = parseStatStart("4242 (a) b (c) d)" + fields + "\n");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->pid, 4242);
  EXPECT_EQ(parsed->startTicks, 123456u);
  EXPECT_FALSE(parseStatStart("4242 (short) S 1 2"));
  EXPECT_FALSE(parseStatStart("garbage"));

  EXPECT_EQ(linux_desktop::parseBootTime("cpu 1 2 3\nbtime 1700000000\nprocesses 9\n"),
            1700000000u);
  EXPECT_FALSE(linux_desktop::parseBootTime("cpu 1 2 3\n"));
  auto record = linux_desktop::startRecord(7, 1700000000, 12345, 100);
  EXPECT_EQ(record.startSeconds, 1700000123u);
  EXPECT_EQ(record.startMicroseconds, 450000u);
  // The records of live processes are compared exactly against /proc by the browser tests.
  EXPECT_FALSE(workspace().processRecord(-1));
  EXPECT_FALSE(workspace().processRecord(0x7ffffff0));
}

TEST_F(BackendTest, ReadsWindowsAndTheirElements) {
  Fixture app({"--app-id=org.velmaris.Fixture", "--title=Win", "--windows=2"}, 2);
  Element application = ax().createApplication(app.pid());
  EXPECT_EQ(stringOf(application, "AXRole"), "AXApplication");
  std::int32_t pid = 0;
  EXPECT_EQ(ax().getPid(application, pid), kAXErrorSuccess);
  EXPECT_EQ(pid, app.pid());

  auto windows = windowsOf(application);
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(stringOf(windows[1], "AXTitle"), "Win 2");
  std::int64_t count = 0;
  EXPECT_EQ(ax().getAttributeValueCount(application, "AXWindows", count), kAXErrorSuccess);
  EXPECT_EQ(count, 2);
  AttributeValue range;
  EXPECT_EQ(ax().copyAttributeValues(application, "AXWindows", 1, 5, range), kAXErrorSuccess);
  ASSERT_EQ(range.elements.size(), 1u);
  EXPECT_TRUE(range.elements[0].equals(windows[1]));
  EXPECT_EQ(ax().copyAttributeValues(application, "AXWindows", 3, 1, range),
            kAXErrorIllegalArgument);

  // Attributes that do not apply, or that AT-SPI does not publish.
  AttributeValue value;
  for (const char* attribute : {"AXHelp", "AXWindows", "AXNoSuchThing"})
    EXPECT_EQ(ax().copyAttributeValue(windows[0], attribute, value), kAXErrorAttributeUnsupported) << attribute;
  EXPECT_EQ(ax().copyAttributeValue(windows[0], "AXIdentifier", value), kAXErrorNoValue);
  EXPECT_EQ(ax().copyAttributeValue(application, "AXEnabled", value), kAXErrorAttributeUnsupported);
  std::vector<std::string> names;
  EXPECT_EQ(ax().copyActionNames(windows[0], names), kAXErrorAttributeUnsupported);
}

TEST_F(BackendTest, DestroyedWindowsAreInvalidElements) {
  Fixture app({"--app-id=org.velmaris.Fixture", "--title=Keep"});
  app.openWindow("Doomed");
  ASSERT_TRUE(app.waitForWindows(2));
  Element application = ax().createApplication(app.pid());
  auto windows = windowsOf(application);
  ASSERT_EQ(windows.size(), 2u);
  Element doomed = windows[1];
  ASSERT_EQ(stringOf(doomed, "AXTitle"), "Doomed");
  AttributeValue children;
  ASSERT_EQ(ax().copyAttributeValue(doomed, "AXChildren", children), kAXErrorSuccess);
  ASSERT_FALSE(children.elements.empty());

  app.closeWindow("Doomed");
  ASSERT_TRUE(app.waitForWindows(1));
  AttributeValue value;
  EXPECT_EQ(ax().copyAttributeValue(doomed, "AXRole", value), kAXErrorInvalidUIElement);
  EXPECT_EQ(ax().copyAttributeValue(doomed, "AXTitle", value), kAXErrorInvalidUIElement);
  EXPECT_EQ(ax().copyAttributeValue(children.elements[0], "AXRole", value),
            kAXErrorInvalidUIElement);
  std::int64_t count = 0;
  EXPECT_EQ(ax().getAttributeValueCount(doomed, "AXChildren", count), kAXErrorInvalidUIElement);
  auto remaining = windowsOf(application);
  ASSERT_EQ(remaining.size(), 1u);
  EXPECT_EQ(stringOf(remaining[0], "AXTitle"), "Keep");
  EXPECT_EQ(app.process().errorText(), "");
}

TEST_F(BackendTest, StoppedApplicationsCannotCompleteWithinTheTimeout) {
  Fixture app({"--app-id=org.velmaris.Fixture", "--title=Frozen"});
  Element application = ax().createApplication(app.pid());
  Element window = windowsOf(application).at(0);
  ASSERT_EQ(ax().setMessagingTimeout(-1), kAXErrorIllegalArgument);
  ASSERT_EQ(ax().setMessagingTimeout(0.25f), kAXErrorSuccess);

  app.process().signal(SIGSTOP);
  AttributeValue value;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ax().copyAttributeValue(window, "AXTitle", value), kAXErrorCannotComplete);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 240ms);
  EXPECT_LE(elapsed, 400ms);
  // The registry and the bus still answer for everyone else. (That late replies are dropped
  // once it runs again is proven through the helper, by the hung application's test.)
  EXPECT_TRUE(ax().isProcessTrusted());
}

TEST_F(BackendTest, ASocketThatNeverSpeaksCostsOneTimeout) {
  testing::SilentPeerApplication silent;
  ASSERT_EQ(ax().setMessagingTimeout(0.25f), kAXErrorSuccess);
  auto timed = [](auto&& what) {
    auto start = std::chrono::steady_clock::now();
    what();
    return std::chrono::steady_clock::now() - start;
  };
  // The application's private socket: given up after the timeout, then the bus serves it,
  // and the socket is not tried again.
  Element application{silent.busName(), "/org/a11y/atspi/accessible/root"};
  AttributeValue value;
  for (auto bound : {600ms, 150ms}) {
    auto elapsed = timed([&] {
      EXPECT_EQ(ax().copyAttributeValue(application, "AXChildren", value), kAXErrorSuccess);
    });
    EXPECT_LE(elapsed, bound);
    EXPECT_EQ(value.kind, AttributeValue::Kind::ElementArray);
  }

  // An accessibility bus that takes the connection and never speaks: no trust, in time.
  ::setenv("AT_SPI_BUS_ADDRESS", silent.socketAddress().c_str(), 1);
  Platform stalled = makeLinuxPlatform();
  EXPECT_LE(timed([&] { EXPECT_FALSE(stalled.accessibility->isProcessTrusted()); }), 600ms);
  ::unsetenv("AT_SPI_BUS_ADDRESS");
}

}  // namespace
}  // namespace velmaris
