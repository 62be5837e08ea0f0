// "browser_status" and "browser_reveal" on the simulated desktop and window server.
#include "sim_helper.h"

namespace velmaris::testing {
namespace {

using gui::Json;
using platform::sim::SimWindow;

constexpr std::int32_t kBrowser = 40;

struct BrowserTest : ::testing::Test {
  SimHelper s;
  platform::sim::SimWindowServer& ws = s.desktop.windowServer;

  void SetUp() override {
    auto& p = s.desktop.addProcess(kBrowser, "com.google.Chrome");
    p.startSeconds = 1712345678;
    p.startMicroseconds = 120000;
    ws.windows.push_back(SimWindow{kBrowser, 0});
    ws.activePid = kBrowser;
    s.ax();  // built now, so the start-up calls are not counted against a request
    s.desktop.calls.clear();
  }
  // The start time as a client computes it: the same double arithmetic as the kernel side.
  double started(std::int32_t pid = kBrowser) {
    const auto* p = s.desktop.process(pid);
    return static_cast<double>(p->startSeconds) +
           static_cast<double>(p->startMicroseconds) / 1000000.0;
  }
  Json request(const char* method, std::int32_t pid = kBrowser) {
    return Json{{"id", 7},
                {"method", method},
                {"app", "com.google.Chrome"},
                {"process_id", pid},
                {"process_started", started(pid)}};
  }
  Json serve(const Json& r) { return s.ax().handle(r); }
  std::string code(const Json& r) {
    return failureOf([&] { serve(r); }).code;
  }
  int windowServerChanges() {
    return ws.calls["unhide"] + ws.calls["activate"] + ws.calls["runLoopFor"];
  }
};

TEST_F(BrowserTest, ShapeRefusalsComeBeforeAnyPlatformCall) {
  struct Case {
    const char* name;
    std::function<void(Json&)> edit;
  };
  const std::vector<Case> cases = {
      {"sixth member", [](Json& r) { r["include_image"] = false; }},
      {"no process_started", [](Json& r) { r.erase("process_started"); }},
      {"five, id renamed",
       [](Json& r) {
         r.erase("id");
         r["ID"] = 7;
       }},
      {"app case", [](Json& r) { r["app"] = "com.google.chrome"; }},
      {"app not a string", [](Json& r) { r["app"] = 1; }},
      {"started true", [](Json& r) { r["process_started"] = true; }},
      {"started zero", [](Json& r) { r["process_started"] = 0; }},
      {"pid too large", [](Json& r) { r["process_id"] = 2147483648LL; }},
      // The rest of the pid's rules are the window handle's, proven with the dispatcher.
      {"pid fraction", [](Json& r) { r["process_id"] = 40.5; }},
  };
  // Both methods share these checks: one of them proves them for both.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json r = request("browser_reveal");
    c.edit(r);
    EXPECT_EQ(failureLine([&] { serve(r); }), "invalid_input - - -");
  }
  EXPECT_TRUE(s.desktop.calls.empty());
  EXPECT_TRUE(ws.calls.empty());

  // The bounds themselves pass the shape check and reach the kernel record.
  Json r = request("browser_status");
  r["process_id"] = 2147483647;
  EXPECT_EQ(code(r), "process_identity_unavailable");
  r = request("browser_status");
  r["process_id"] = 40.0;
  EXPECT_EQ(serve(r)["process_id"], kBrowser);
}

TEST_F(BrowserTest, StartTimeMustMatchWithinTwoMicroseconds) {
  // Checked before the two methods part ways, as the shape is.
  Json r = request("browser_reveal");
  r["process_started"] = started() + 0.000001;
  EXPECT_NO_THROW(serve(r));
  r["process_started"] = started() - 0.000001;
  EXPECT_NO_THROW(serve(r));
  r["process_started"] = started() + 0.00001;
  EXPECT_EQ(code(r), "process_identity_changed");
  r["process_started"] = 5e-324;  // the smallest positive start: well-formed, and wrong
  EXPECT_EQ(code(r), "process_identity_changed");
  // A whole-second start time may come as an integer.
  s.desktop.process(kBrowser)->startMicroseconds = 0;
  r = request("browser_status");
  r["process_started"] = 1712345678;
  EXPECT_NO_THROW(serve(r));

  s.desktop.process(kBrowser)->recordReadable = false;
  EXPECT_EQ(code(request("browser_status")), "process_identity_unavailable");
}

TEST_F(BrowserTest, OnlyALivingChromeProcessIsServed) {
  s.desktop.addProcess(41, "org.example.Editor");
  EXPECT_EQ(code(request("browser_reveal", 41)), "process_identity_changed");
  s.desktop.process(kBrowser)->app.terminated = true;
  EXPECT_EQ(code(request("browser_reveal")), "process_identity_changed");
  EXPECT_EQ(windowServerChanges(), 0);
}

TEST_F(BrowserTest, IdentityChangingBetweenTheReadingsIsRefused) {
  struct Case {
    const char* method;
    bool windowServer;  // the call is the window server's, else the desktop's
    const char* call;   // the change lands just before the nth of these calls
    int nth;
    std::function<void(SimHelper&)> change;
  };
  auto restart = [](SimHelper& h) { h.desktop.process(kBrowser)->startMicroseconds += 10000; };
  auto end = [](SimHelper& h) { h.desktop.process(kBrowser)->app.terminated = true; };
  const Case cases[] = {
      // Between the first and the second kernel reading, before anything is revealed.
      {"browser_reveal", false, "processRecord", 2, restart},
      // While revealing: the process is replaced under the same pid.
      {"browser_reveal", true, "activate", 1, restart},
      // While waiting: the process ends.
      {"browser_reveal", true, "runLoopFor", 1, end},
      {"browser_status", false, "runningApplication", 1, restart},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    BrowserTest::SetUp();
    ws.calls.clear();
    ws.hidden.insert(kBrowser);
    ws.revealAfterSlices = 4;
    int seen = 0;
    (c.windowServer ? ws.beforeCall : s.desktop.beforeCall) = [&](const std::string& call) {
      if (call == c.call && ++seen == c.nth) c.change(s);
    };
    EXPECT_EQ(code(request(c.method)), "process_identity_changed");
    if (c.nth == 2) {
      EXPECT_EQ(windowServerChanges(), 0);
    }
    s.desktop.beforeCall = nullptr;
    ws.beforeCall = nullptr;
  }
}

TEST_F(BrowserTest, StatusReportsAndRevealWaitsInSlicesUntilTheWindowServerReportsIt) {
  ws.hidden.insert(kBrowser);
  ws.activePid = 41;
  ws.revealAfterSlices = 3;
  const double before = s.clock.now;
  // The status only reports: nothing is changed, no time passes.
  EXPECT_EQ(serve(request("browser_status")).dump(),
            R"({"foreground_verified":false,"onscreen_window_count":0,"process_active":false,)"
            R"("process_hidden":true,"process_id":40})");
  EXPECT_EQ(windowServerChanges(), 0);
  EXPECT_EQ(s.clock.now, before);

  const Json r = serve(request("browser_reveal"));
  EXPECT_EQ(r.dump(),
            R"({"foreground_verified":true,"onscreen_window_count":1,"process_active":true,)"
            R"("process_hidden":false,"process_id":40})");
  EXPECT_EQ(ws.calls["unhide"], 1);
  EXPECT_EQ(ws.calls["activate"], 1);
  EXPECT_EQ(ws.calls["runLoopFor"], 3);
  EXPECT_NEAR(s.clock.now - before, 0.15, 1e-9);

  // Already in front: no slice is run at all.
  ws.calls.clear();
  EXPECT_EQ(serve(request("browser_reveal"))["foreground_verified"], true);
  EXPECT_EQ(ws.calls["runLoopFor"], 0);
}

TEST_F(BrowserTest, ARevealThatNeverShowsIsAnsweredAtTheDeadlineWithoutError) {
  ws.hidden.insert(kBrowser);
  ws.activePid.reset();
  ws.revealAfterSlices.reset();
  const double before = s.clock.now;
  Json r;
  ASSERT_NO_THROW(r = serve(request("browser_reveal")));
  const double waited = s.clock.now - before;
  // Slices of 50 ms until no whole slice is left before the deadline, and never past it.
  EXPECT_GE(waited, 2.95);
  EXPECT_LE(waited, 3.0);
  EXPECT_EQ(r, serve(request("browser_status")));  // nothing came of it

  // Only active, never unhidden: still waits, still not verified.
  ws.activePid = kBrowser;
  r = serve(request("browser_reveal"));
  EXPECT_EQ(r["process_active"], true);
  EXPECT_EQ(r["foreground_verified"], false);
}

TEST_F(BrowserTest, RevealChecksTheDeadlineOnceBeforeActing) {
  const gui::RequestDeadline deadline = s.deadline();
  s.clock.advance(3.0);
  EXPECT_EQ(failureOf([&] { s.ax().browserApplicationResult(request("browser_reveal"), true,
                                                            deadline); })
                .code,
            "deadline_exceeded");
  EXPECT_EQ(windowServerChanges(), 0);
  // Status does not look at the clock.
  EXPECT_NO_THROW(s.ax().browserApplicationResult(request("browser_status"), false, deadline));
}

TEST_F(BrowserTest, OnlyNormalLayerWindowsOfTheProcessCount) {
  ws.windows = {{kBrowser, 3}, {kBrowser, 20}, {41, 0}};
  auto counted = [&] {
    const Json r = serve(request("browser_status"));
    return std::make_pair(r["onscreen_window_count"].get<int>(), r["foreground_verified"].get<bool>());
  };
  EXPECT_EQ(counted(), std::make_pair(0, false));
  EXPECT_EQ(serve(request("browser_status"))["process_active"], true);
  ws.windows.push_back({kBrowser, 0});
  ws.windows.push_back({kBrowser, 0});
  EXPECT_EQ(counted(), std::make_pair(2, true));
  ws.listReadable = false;
  EXPECT_EQ(counted(), std::make_pair(0, false));
}

TEST_F(BrowserTest, APlatformWithoutAWindowServerServesNone) {
  s.platform.windowServer.reset();
  EXPECT_EQ(code(request("browser_status")), "internal_error");
}

TEST_F(BrowserTest, NeedsNoAccessibility) {
  s.desktop.trusted = false;
  ws.hidden.insert(kBrowser);
  EXPECT_EQ(serve(request("browser_reveal"))["foreground_verified"], true);
  for (const auto& [call, count] : s.desktop.calls) {
    SCOPED_TRACE(call);
    EXPECT_TRUE(call == "processRecord" || call == "runningApplication" || call == "isTerminated");
  }
}

}  // namespace
}  // namespace velmaris::testing
