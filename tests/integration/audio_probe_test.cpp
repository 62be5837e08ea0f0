// velmaris-audio-probe on a virtual desktop whose sound server has a null sink (the default)
// and a null source: a sine played into the sink is captured and measured, the files read
// back through libsndfile, and every run prints one line and nothing on standard error.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "harness.h"
#include "readback.h"

namespace velmaris::testing {
namespace {

using Json = nlohmann::json;

struct ProbeRun {
  std::optional<int> status;
  Json report;
};

// The one line the probe prints, and nothing more, nor anything on standard error.
Json onlyLine(Process& probe) {
  const auto line = probe.readLine(2000ms);
  EXPECT_TRUE(line) << "no line";
  EXPECT_FALSE(probe.readLine(0ms)) << "more than one line";
  EXPECT_EQ(probe.errorText(), "");
  return line ? Json::parse(*line) : Json();
}

// Runs the probe to its end; `environment` entries ("NAME=value", or "-u NAME") go to env(1).
ProbeRun runProbe(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment = {}) {
  Process probe(joined(joined({"/usr/bin/env"}, environment),
                       joined({binaryPath("velmaris-audio-probe")}, arguments)));
  ProbeRun run;
  run.status = probe.wait(60000ms);
  run.report = onlyLine(probe);
  return run;
}

// The first line pactl prints.
std::string pactl(const std::vector<std::string>& arguments) {
  Process process(joined({"/usr/bin/pactl"}, arguments));
  process.wait(10000ms);
  return process.readLine(1000ms).value_or("");
}

// A module of the sound server, loaded for as long as this lives or until unloaded.
struct Module {
  explicit Module(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "load-module");
    index = pactl(arguments);
  }
  ~Module() { unload(); }
  void unload() {
    if (!index.empty()) pactl({"unload-module", index});
    index.clear();
  }
  std::string index;
};

struct AudioProbeTest : ::testing::Test {
  TemporaryDirectory directory_;
  const std::string root_ = directory_.path;
};

TEST_F(AudioProbeTest, CapturesASinePlayedIntoTheSinkWithItsLevels) {
  // The sound server's own sine, 440 Hz at amplitude 0.5.
  Module sine({"module-sine", "sink=velmaris_sink", "frequency=440"});  // playing tells it loaded
  ASSERT_TRUE(eventually([] { return !pactl({"list", "short", "sink-inputs"}).empty(); }, 5000ms, 50ms));
  std::this_thread::sleep_for(300ms);

  const std::string out = root_ + "/system-run";
  const auto run = runProbe({"system", "2", out});
  ASSERT_EQ(run.status, 0) << run.report;
  EXPECT_EQ(run.report["frames"], Json({{"system", 96000}}));
  const auto& system = run.report["measurements"]["system"];
  EXPECT_NEAR(system["peak"].get<double>(), 0.5, 0.01);
  EXPECT_NEAR(system["rms"].get<double>(), 0.5 / std::sqrt(2.0), 0.01);
  // That the files hold exactly the measured audio is the unit tests'.
}

TEST_F(AudioProbeTest, ListsTheNullSourceButNoMonitorAndReportsPermissions) {
  const auto list = runProbe({"--list-devices"});
  ASSERT_EQ(list.status, 0);
  bool found = false;
  for (const auto& device : list.report["devices"]) {
    EXPECT_EQ(device["id"].get<std::string>().find(".monitor"), std::string::npos) << device;
    found = found || device["id"] == "velmaris_source";
  }
  EXPECT_TRUE(found) << list.report;

  const auto check = runProbe({"--check"});
  ASSERT_EQ(check.status, 0);
  // With a sound server and a display, both are allowed (the report's form is the unit tests').
  EXPECT_EQ(check.report["microphone_allowed"], true);
  EXPECT_EQ(check.report["screen_capture_allowed"], true);
}

TEST_F(AudioProbeTest, CapturesSilenceFromTheNullSourceAndTheSinkTogether) {
  const std::string out = root_ + "/both-run";
  const auto both = runProbe({"both", "1", out, "velmaris_source"});
  ASSERT_EQ(both.status, 0) << both.report;
  EXPECT_EQ(both.report["frames"], Json({{"microphone", 48000}, {"system", 48000}}));
  EXPECT_EQ(both.report["measurements"]["microphone"]["peak"], 0);
}

TEST_F(AudioProbeTest, ASourceThatVanishesMidCaptureEndsInWriteFailedWithItsAudioKept) {
  Module doomed({"module-null-source", "source_name=velmaris_doomed"});
  ASSERT_FALSE(doomed.index.empty());
  const std::string out = root_ + "/doomed";
  Process probe({binaryPath("velmaris-audio-probe"), "microphone", "3", out, "velmaris_doomed"});
  // Once audio has reached the file, take the source away.
  eventually([&] { return std::filesystem::exists(out + "/microphone.caf"); });
  std::this_thread::sleep_for(200ms);
  doomed.unload();

  EXPECT_EQ(probe.wait(30000ms), 1);
  EXPECT_EQ(onlyLine(probe)["error_code"], "writeFailed");
  const auto caf = readCaf(out + "/microphone.caf");
  ASSERT_TRUE(caf.opened);
  EXPECT_GT(caf.info.frames, 0);
}

TEST_F(AudioProbeTest, ASourceThatNeverDeliversAddsNoWaitAtTheStop) {
  // A pipe source whose pipe nobody writes: its stream is ready and stays empty.
  Module mute({"module-pipe-source", "source_name=velmaris_mute", "file=" + root_ + "/mute.fifo",
               "format=float32le", "rate=48000", "channels=2"});
  ASSERT_FALSE(mute.index.empty());
  const auto start = std::chrono::steady_clock::now();
  const auto run = runProbe({"microphone", "3", root_ + "/mute", "velmaris_mute"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4000ms);  // the capture's 3 s, not 3 s more
  EXPECT_EQ(run.report["error_code"], "noSamples") << run.report;
}

TEST_F(AudioProbeTest, WithoutASoundServerOrADisplayItStillPrintsOneLine) {
  const std::vector<std::string> noServer = {"PULSE_SERVER=unix:" + root_ + "/absent-socket"};
  const auto check = runProbe({"--check"}, noServer);
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.report["microphone_allowed"], false);  // the screen's as with a server
  EXPECT_EQ(runProbe({"--list-devices"}, noServer).report["devices"], Json::array());

  // The system source needs no microphone permission; the capture itself cannot start.
  const auto capture = runProbe({"system", "1", root_ + "/no-server"}, noServer);
  EXPECT_EQ(capture.status, 1);
  EXPECT_EQ(capture.report["error_code"], "capture_failed");

  const auto denied = runProbe({"system", "1", root_ + "/no-display"}, {"-u", "DISPLAY"});
  EXPECT_EQ(denied.status, 1);
  EXPECT_EQ(denied.report["error_code"], "permissionRequired");
}

}  // namespace
}  // namespace velmaris::testing
