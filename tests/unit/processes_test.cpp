// Process resolution and identity on the simulated desktop (a stored identity confirmed
// again is proven through the mutations that confirm it).
#include "sim_helper.h"

namespace velmaris::testing {
namespace {

using platform::ActivationPolicy;

TEST(ProcessResolution, PrefersTheOneRegularApplication) {
  SimHelper s;
  s.desktop.addProcess(10, "org.example.App", ActivationPolicy::Accessory);
  s.desktop.addProcess(11, "org.example.App", ActivationPolicy::Regular);
  s.desktop.addProcess(12, "org.example.Other", ActivationPolicy::Regular);
  EXPECT_EQ(s.ax().resolveProcess("org.example.App").identity.pid, 11);

  // A lone non-regular application is taken; two of them are ambiguous, as are two regular.
  s.desktop.addProcess(20, "org.example.Agent", ActivationPolicy::Accessory);
  EXPECT_EQ(s.ax().resolveProcess("org.example.Agent").identity.pid, 20);
  // Pid 1 is a process like any other; pid 0 names none.
  s.desktop.addProcess(1, "org.example.Init");
  EXPECT_EQ(s.ax().resolveProcess("org.example.Init").identity.pid, 1);
  s.desktop.addProcess(0, "org.example.Nobody");
  EXPECT_EQ(failureOf([&] { s.ax().resolveProcess("org.example.Nobody"); }).code,
            "process_identity_unavailable");
  s.desktop.addProcess(21, "org.example.Agent", ActivationPolicy::Prohibited);
  EXPECT_EQ(failureOf([&] { s.ax().resolveProcess("org.example.Agent"); }).code, "ambiguous_process");
  s.desktop.addProcess(13, "org.example.App", ActivationPolicy::Regular);
  EXPECT_EQ(failureOf([&] { s.ax().resolveProcess("org.example.App"); }).code, "ambiguous_process");
}

TEST(ProcessResolution, MatchesTheKeyExactlyAndSkipsTheTerminated) {
  SimHelper s;
  s.desktop.addProcess(10, "org.example.App");
  s.desktop.addProcess(11, std::nullopt);
  EXPECT_EQ(failureOf([&] { s.ax().resolveProcess("org.example.app"); }).code, "process_not_found");
  s.desktop.process(10)->app.terminated = true;
  EXPECT_EQ(failureOf([&] { s.ax().resolveProcess("org.example.App"); }).code, "process_not_found");
  // Ended after it was listed, before anything of it was read.
  s.desktop.process(10)->app.terminated = false;
  s.desktop.beforeCall = [&](const std::string& call) {
    if (call == "isTerminated") s.desktop.process(10)->app.terminated = true;
  };
  EXPECT_EQ(failureOf([&] { s.ax().resolveProcess("org.example.App"); }).code,
            "process_identity_unavailable");
}

TEST(ProcessResolution, RefusesImplausibleKernelRecords) {
  SimHelper s;
  auto& p = s.desktop.addProcess(10, "org.example.App");
  p.startSeconds = 1700000000;
  p.startMicroseconds = 999999;
  const std::function<void(platform::sim::SimProcess&)> breakages[] = {
      [](auto& q) { q.startSeconds = 0; }, [](auto& q) { q.startMicroseconds = 1000000; },
      [](auto& q) { q.recordPid = 99; }, [](auto& q) { q.recordReadable = false; }};
  for (const auto& breakIt : breakages) {
    const auto whole = p;
    breakIt(p);
    EXPECT_EQ(failureOf([&] { s.ax().resolveProcess("org.example.App"); }).code, "process_identity_unavailable");
    p = whole;
  }
  auto resolved = s.ax().resolveProcess("org.example.App");
  EXPECT_EQ(resolved.identity,
            (gui::ProcessIdentity{"org.example.App", 10, 1700000000, 999999}));
}

TEST(ProcessResolution, IdentityChangingBetweenTheTwoReadingsIsRefused) {
  struct Case {
    const char* name;
    std::function<void(platform::sim::SimDesktop&)> change;
  };
  std::vector<Case> cases = {
      {"start time", [](auto& d) { d.process(10)->startMicroseconds += 10000; }},
      {"bundle id", [](auto& d) { d.process(10)->app.bundleID = "org.example.Else"; }},
      {"policy", [](auto& d) { d.process(10)->app.activationPolicy = ActivationPolicy::Accessory; }},
      {"terminated", [](auto& d) { d.process(10)->app.terminated = true; }},
      {"gone", [](auto& d) { d.removeProcess(10); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimHelper s;
    s.desktop.addProcess(10, "org.example.App");
    int records = 0;
    // The change lands right after the first reading of the kernel record.
    s.desktop.beforeCall = [&](const std::string& call) {
      if (call == "runningApplication" && records++ == 0) c.change(s.desktop);
    };
    EXPECT_EQ(failureLine([&] { s.ax().resolveProcess("org.example.App"); }),
              "process_identity_changed - - -");
  }
}

TEST(Permission, TimeoutFailureAndMissingTrust) {
  {
    SimHelper s;
    s.desktop.timeoutStatus = platform::kAXErrorFailure;
    s.desktop.trusted = false;  // both refusals: the failed set-up is the one reported
    EXPECT_EQ(failureLine([&] { s.ax().requireAXPermission(); }), "ax_error set_timeout - -");
    // Never retried: a later success of the call does not help.
    s.desktop.timeoutStatus = platform::kAXErrorSuccess;
    s.desktop.trusted = true;
    EXPECT_EQ(failureOf([&] { s.ax().requireAXPermission(); }).code, "ax_error");
  }
  {
    SimHelper s;
    EXPECT_NO_THROW(s.ax().requireAXPermission());
    EXPECT_FLOAT_EQ(*s.desktop.messagingTimeout, 0.25f);
  }
}

}  // namespace
}  // namespace velmaris::testing
