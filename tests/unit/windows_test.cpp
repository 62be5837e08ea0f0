// The window registry and the "windows" method on the simulated desktop.
#include "sim_helper.h"

namespace velmaris::testing {
namespace {

using platform::AttributeValue;

struct WindowsTest : ::testing::Test {
  SimHelper s;
  void SetUp() override { s.desktop.addProcess(10, "org.example.App"); }
  gui::Json windows() { return s.ax().windowsResult("org.example.App", s.deadline()); }
  std::vector<std::int64_t> handles(const gui::Json& result) {
    std::vector<std::int64_t> out;
    for (const auto& w : result["windows"]) out.push_back(w["window_id"].get<std::int64_t>());
    return out;
  }
};

TEST_F(WindowsTest, ListsWindowsWithTitlesRolesAndCapabilities) {
  s.desktop.addWindow(10, "Main");
  platform::Element untitled = s.desktop.addWindow(10, std::nullopt);
  s.desktop.setStatus(untitled, "AXRole", platform::kAXErrorNoValue);
  gui::Json r = windows();
  EXPECT_EQ(r["process_id"], 10);
  EXPECT_EQ(r["windows"].dump(),
            R"([{"role":"AXWindow","title":"Main","window_id":1},{"role":null,"title":null,"window_id":2}])");
  EXPECT_EQ(r["capabilities"].dump(),
            R"({"click":false,"keyboard":false,"press":true,)"
            R"("screen_capture":true,"screen_capture_requires":"existing Screen Recording permission and macOS 14+",)"
            R"("scroll":"observed_AX_page_actions_only","secondary_actions":true,"set_value":true})");
  s.desktop.screenCaptureAllowed = false;
  EXPECT_EQ(windows()["capabilities"]["screen_capture"], false);
}

TEST_F(WindowsTest, HandlesAreStableAndNeverReused) {
  platform::Element a = s.desktop.addWindow(10, "A");
  s.desktop.addWindow(10, "B");
  EXPECT_EQ(handles(windows()), (std::vector<std::int64_t>{1, 2}));
  s.desktop.removeWindow(10, a);
  s.desktop.addWindow(10, "C");
  EXPECT_EQ(handles(windows()), (std::vector<std::int64_t>{2, 3}));

  // A restarted application's windows are new windows of a new process.
  s.desktop.restartProcess(10, 10);
  s.desktop.addWindow(10, "B");
  EXPECT_EQ(handles(windows()), (std::vector<std::int64_t>{4}));
}

TEST_F(WindowsTest, TitlesAreCutAt512Characters) {
  s.desktop.addWindow(10, std::string(512, 't'));
  s.desktop.addWindow(10, std::string(513, 't'));
  gui::Json r = windows();
  EXPECT_FALSE(r["windows"][0].contains("title_truncated"));
  EXPECT_EQ(r["windows"][1]["title"], std::string(512, 't'));
  EXPECT_EQ(r["windows"][1]["title_truncated"], true);
}

TEST_F(WindowsTest, AtMost128Windows) {
  for (int i = 0; i < 128; ++i) s.desktop.addWindow(10, "W");
  EXPECT_EQ(windows()["windows"].size(), 128u);
  s.desktop.addWindow(10, "W");
  EXPECT_EQ(failureOf([&] { windows(); }).code, "window_limit_exceeded");
}

TEST_F(WindowsTest, FallsBackToTheFocusedAndMainWindow) {
  platform::Element app = s.desktop.applicationElement(10);
  platform::Element focused = s.desktop.addElement(10, "AXWindow", "Focused");
  s.desktop.attribute(app, "AXWindows").status = platform::kAXErrorNoValue;
  s.desktop.attribute(app, "AXFocusedWindow").value = AttributeValue::ofElement(focused);
  s.desktop.attribute(app, "AXMainWindow").value = AttributeValue::ofElement(focused);
  EXPECT_EQ(windows()["windows"].size(), 1u);
  // Time running out during the focused window's reads leaves the main window unread.
  s.desktop.beforeCall = [&](const std::string& call) {
    if (call == "copyAttributeValue") s.clock.advance(3.0);
  };
  s.desktop.calls.clear();
  EXPECT_EQ(failureOf([&] { windows(); }).code, "deadline_exceeded");
  EXPECT_EQ(s.desktop.calls["copyAttributeValue"], 2);  // the focused window and its role
  s.desktop.beforeCall = nullptr;

  // A main window that is not a window is ignored; the tolerated statuses are skipped.
  s.desktop.attribute(app, "AXMainWindow").value =
      AttributeValue::ofElement(s.desktop.addElement(10, "AXSheet"));
  s.desktop.setStatus(app, "AXFocusedWindow", platform::kAXErrorFailure);
  EXPECT_EQ(windows()["windows"].size(), 0u);

  s.desktop.setStatus(app, "AXFocusedWindow", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureLine([&] { windows(); }), "ax_error copy_attribute other -25204");
  s.desktop.setString(app, "AXFocusedWindow", "not an element");
  EXPECT_EQ(failureLine([&] { windows(); }), "ax_error attribute_type other -");
}

TEST_F(WindowsTest, AWindowOfAnotherProcessIsRefused) {
  platform::Element w = s.desktop.addWindow(10, "W");
  s.desktop.element(w).pidOverride = 11;
  EXPECT_EQ(failureLine([&] { windows(); }), "ax_error verify_pid - -");
}

TEST_F(WindowsTest, HandleLookupAndRevalidation) {
  platform::Element w = s.desktop.addWindow(10, "W");
  windows();
  EXPECT_EQ(failureOf([&] { s.ax().windows().find(1, "org.example.Other"); }).code, "window_unavailable");
  const gui::WindowRecord& record = s.ax().windows().find(1, "org.example.App");
  EXPECT_TRUE(s.ax().revalidateWindow(record, s.deadline()).equals(w));

  // Listed twice is as unusable as gone (the mutations prove gone).
  s.desktop.attribute(s.desktop.applicationElement(10), "AXWindows").value.elements.push_back(w);
  EXPECT_EQ(failureOf([&] { s.ax().revalidateWindow(record, s.deadline()); }).code, "window_unavailable");
}

TEST_F(WindowsTest, AFailedTitleReadLeavesTheHandleRegistered) {
  platform::Element w = s.desktop.addWindow(10, "W");
  s.desktop.setStatus(w, "AXTitle", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureOf([&] { windows(); }).code, "ax_error");
  EXPECT_EQ(s.ax().windows().records().size(), 1u);
}

TEST_F(WindowsTest, PruningKeepsThe512MostRecentlySeen) {
  // Handle 1, listed again, was seen after all the others.
  s.desktop.addWindow(10, "W");
  windows();
  const double first = s.clock.now;
  s.clock.advance(1000);
  windows();
  for (std::int64_t h = 2; h <= 601; ++h)
    s.ax().windows().record("org.example.App", {}, {"x", std::to_string(h)}, first + static_cast<double>(h));
  s.ax().pruneState();
  ASSERT_EQ(s.ax().windows().records().size(), 512u);
  EXPECT_EQ(s.ax().windows().records().count(1), 1u);
  EXPECT_EQ(std::next(s.ax().windows().records().begin())->first, 91);
}

TEST_F(WindowsTest, DeadlineAndPermissionComeFirst) {
  s.desktop.addWindow(10, "W");
  gui::RequestDeadline deadline = s.deadline();
  s.ax();
  s.clock.advance(3.0);  // exactly at the deadline: too late
  s.desktop.calls.clear();
  EXPECT_EQ(failureOf([&] { s.ax().windowsResult("org.example.App", deadline); }).code,
            "deadline_exceeded");
  EXPECT_TRUE(s.desktop.calls.empty());
  // Time running out during the window's pid check stops the listing before its title is
  // read; during the title read, before its role is read; during the role read, before the
  // listing is answered.
  for (int late : {0, 1, 2}) {
    int reads = 0;
    s.desktop.beforeCall = [&](const std::string& call) {
      if (call == (late ? "copyAttributeValue" : "getPid") && ++reads == std::max(late, 1))
        s.clock.advance(3.0);
    };
    s.desktop.calls.clear();
    EXPECT_EQ(failureOf([&] { windows(); }).code, "deadline_exceeded") << late;
    EXPECT_EQ(s.desktop.calls["copyAttributeValue"], late) << late;
  }
  s.desktop.beforeCall = nullptr;
  s.desktop.calls.clear();
  s.desktop.trusted = false;
  EXPECT_EQ(failureOf([&] { windows(); }).code, "accessibility_required");
  EXPECT_EQ(s.desktop.calls["runningApplications"], 0);
}

}  // namespace
}  // namespace velmaris::testing
