// The Linux backend on a real desktop, without the helper around it: the GTK fixture as seen
// through AT-SPI, /proc and the X client list, including the failures a distrustful caller
// must be told about (destroyed windows, stopped and vanished applications).
#include <signal.h>

#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "harness.h"
#include "platform/linux/linux_platform.h"
#include "readback.h"

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

  std::string stringOf(const Element& element, const std::string& attribute) {
    AttributeValue value;
    AXError status = ax().copyAttributeValue(element, attribute, value);
    EXPECT_EQ(status, kAXErrorSuccess) << attribute;
    return value.string;  // empty unless it is a string
  }

  std::vector<Element> windowsOf(const Element& application) {
    AttributeValue value;
    EXPECT_EQ(ax().copyAttributeValue(application, "AXWindows", value), kAXErrorSuccess);
    return value.elements;  // empty unless it is a list
  }
};

TEST_F(BackendTest, ListsApplicationsWithTheirKeysAndPolicies) {
  // (That without an application id the key is the executable's name, the helper's tests of
  // qt6ct and of xterm prove.)
  Fixture app({"--app-id=org.velmaris.Fixture", "--title=Main"});
  Fixture silent({"--title=Silent", "--no-accessibility"});

  auto gtkApp = workspace().runningApplication(app.pid());
  ASSERT_TRUE(gtkApp);
  EXPECT_EQ(gtkApp->bundleID, "org.velmaris.Fixture");
  EXPECT_FALSE(workspace().isTerminated(*gtkApp));

  // A process that takes no part in accessibility is still listed through its window, and
  // its application element answers "not implemented", never the -25204 of a hung one.
  auto silentApp = workspace().runningApplication(silent.pid());
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

  // A stopped application costs one messaging timeout, and the registry and the bus still
  // answer for everyone else. (That late replies are dropped once it runs again is proven
  // through the helper, by the hung application's test.)
  Element window = windowsOf(ax().createApplication(app.pid())).at(0);
  ASSERT_EQ(ax().setMessagingTimeout(0.25f), kAXErrorSuccess);
  app.signal(SIGSTOP);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ax().copyAttributeValue(window, "AXTitle", value), kAXErrorCannotComplete);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 240ms);
  EXPECT_LE(elapsed, 400ms);
  EXPECT_TRUE(ax().isProcessTrusted());

  // Once the process is gone it is terminated, and its elements are invalid.
  app.signal(SIGKILL);
  ASSERT_TRUE(app.wait(5000ms));
  EXPECT_TRUE(workspace().isTerminated(*gtkApp));
  EXPECT_EQ(ax().copyAttributeValue(window, "AXTitle", value), kAXErrorInvalidUIElement);
}

// The start time is read from /proc past the command name, which may hold ") (" itself; it
// matches the test's own reading of /proc to the microsecond.
TEST_F(BackendTest, ProcessRecordsOfARealProcessWithAHostileName) {
  testing::TemporaryDirectory directory;
  const std::string hostile = directory.path + "/a) S 1 (b";
  std::filesystem::create_symlink("/bin/sleep", hostile);
  testing::Process sleeper({hostile, "30"});
  const auto record = workspace().processRecord(sleeper.pid());
  ASSERT_TRUE(record);
  EXPECT_EQ(double(record->startSeconds) + double(record->startMicroseconds) / 1e6,
            testing::processStarted(sleeper.pid()));
  EXPECT_FALSE(workspace().processRecord(-1));
  EXPECT_FALSE(workspace().processRecord(0x7ffffff0));
}

TEST_F(BackendTest, ReadsWindowsAndTheirElementsUntilTheyAreDestroyed) {
  Fixture app({"--app-id=org.velmaris.Fixture", "--title=Win", "--windows=2"}, 2);
  Element application = ax().createApplication(app.pid());
  EXPECT_EQ(stringOf(application, "AXRole"), "AXApplication");
  // (Its pid is read from its bus connection, as each window's is, which the helper checks on
  // every "windows" request.)

  auto windows = windowsOf(application);
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(stringOf(windows[1], "AXTitle"), "Win 2");
  std::int64_t count = 0;
  EXPECT_EQ(ax().getAttributeValueCount(application, "AXWindows", count), kAXErrorSuccess);
  EXPECT_EQ(count, 2);

  // Attributes that do not apply, or that AT-SPI does not publish.
  AttributeValue value;
  for (const char* attribute : {"AXHelp", "AXWindows", "AXNoSuchThing"})
    EXPECT_EQ(ax().copyAttributeValue(windows[0], attribute, value), kAXErrorAttributeUnsupported) << attribute;
  EXPECT_EQ(ax().copyAttributeValue(windows[0], "AXIdentifier", value), kAXErrorNoValue);
  EXPECT_EQ(ax().copyAttributeValue(application, "AXEnabled", value), kAXErrorAttributeUnsupported);
  std::vector<std::string> names;
  EXPECT_EQ(ax().copyActionNames(windows[0], names), kAXErrorAttributeUnsupported);

  // A destroyed window and its widgets are invalid elements; the other window stays.
  AttributeValue children;
  ASSERT_EQ(ax().copyAttributeValue(windows[1], "AXChildren", children), kAXErrorSuccess);
  ASSERT_FALSE(children.elements.empty());
  ASSERT_EQ(app.ask("close-window Win 2"), "ok");
  ASSERT_TRUE(app.waitForWindows(1));
  EXPECT_EQ(ax().copyAttributeValue(windows[1], "AXTitle", value), kAXErrorInvalidUIElement);
  EXPECT_EQ(ax().copyAttributeValue(children.elements[0], "AXRole", value), kAXErrorInvalidUIElement);
  EXPECT_EQ(ax().getAttributeValueCount(windows[1], "AXChildren", count), kAXErrorInvalidUIElement);
  auto remaining = windowsOf(application);
  ASSERT_EQ(remaining.size(), 1u);
  EXPECT_EQ(stringOf(remaining[0], "AXTitle"), "Win 1");
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
