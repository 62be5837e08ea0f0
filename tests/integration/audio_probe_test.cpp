// velmaris-audio-probe on a virtual desktop whose sound server has a null sink (the default)
// and a null source: a sine played into the sink is captured and measured, the files read
// back through libsndfile, and every run prints one line and nothing on standard error.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "harness.h"
#include "readback.h"

namespace velmaris::testing {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct ProbeRun {
  std::optional<int> status;
  std::string output;
  std::string errors;

  nlohmann::json report() const { return nlohmann::json::parse(output); }
};

// Runs the probe to its end; `environment` entries ("NAME=value", or "-u NAME") go to env(1).
ProbeRun runProbe(const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment = {}) {
  std::vector<std::string> argv;
  if (!environment.empty()) {
    argv.push_back("/usr/bin/env");
    argv.insert(argv.end(), environment.begin(), environment.end());
  }
  argv.push_back(binaryPath("velmaris-audio-probe"));
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Process probe(argv);
  ProbeRun run;
  run.status = probe.wait(60000ms);
  run.output = probe.readAvailable(1 << 20, 2000ms);
  run.errors = probe.errorText();
  return run;
}

// A run's output is exactly one line, and standard error stays empty.
void expectOneLineOnly(const ProbeRun& run) {
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  EXPECT_EQ(run.output.back(), '\n');
  EXPECT_EQ(run.errors, "");
}

std::string pactl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"/usr/bin/pactl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Process process(argv);
  process.wait(10000ms);
  return process.readAvailable(1 << 20, 1000ms);
}

struct AudioProbeTest : ::testing::Test {
  TemporaryDirectory directory_;
  const std::string root_ = directory_.path;
};

// Plays a 440 Hz sine at amplitude 0.5 into the null sink for `seconds`, from a float WAV
// file, until stopped.
class SinePlayer {
 public:
  SinePlayer(const std::string& directory, double seconds) {
    const std::string path = directory + "/sine.wav";
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw std::runtime_error("cannot write " + path);
    const auto frames = static_cast<std::size_t>(seconds * 48000);
    std::vector<float> samples(frames * 2);
    for (std::size_t f = 0; f < frames; ++f) {
      samples[2 * f] = samples[2 * f + 1] =
          static_cast<float>(0.5 * std::sin(2 * kPi * 440 * double(f) / 48000));
    }
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames));
    sf_close(file);
    player_.emplace(std::vector<std::string>{"/usr/bin/paplay", "-d", "velmaris_sink", path});
  }

  // Whether the sound server plays it within the timeout.
  bool waitUntilPlaying(Millis timeout) {
    return eventually([] { return !pactl({"list", "short", "sink-inputs"}).empty(); }, timeout, 50ms);
  }

 private:
  std::optional<Process> player_;  // stopped by pid when the player goes
};

TEST_F(AudioProbeTest, CapturesASinePlayedIntoTheSinkWithItsLevels) {
  SinePlayer sine(root_, 10);
  ASSERT_TRUE(sine.waitUntilPlaying(5000ms));
  std::this_thread::sleep_for(300ms);

  const std::string out = root_ + "/system-run";
  const auto run = runProbe({"system", "2", out});
  ASSERT_EQ(run.status, 0) << run.output;
  expectOneLineOnly(run);
  const auto report = run.report();
  EXPECT_EQ(report["frames"], nlohmann::json({{"system", 96000}}));
  const auto& system = report["measurements"]["system"];
  EXPECT_NEAR(system["peak"].get<double>(), 0.5, 0.01);
  EXPECT_NEAR(system["rms"].get<double>(), 0.5 / std::sqrt(2.0), 0.01);

  // The file holds exactly the measured audio: its levels agree with the report.
  const auto caf = readCaf(out + "/system.caf");
  ASSERT_TRUE(caf.opened);
  EXPECT_EQ(caf.info.frames, 96000);
  float peak = 0;
  double sumSquares = 0;
  for (const float sample : caf.samples) {
    peak = std::max(peak, std::fabs(sample));
    sumSquares += double{sample} * sample;
  }
  EXPECT_EQ(peak, system["peak"].get<double>());
  EXPECT_NEAR(std::sqrt(sumSquares / double(caf.samples.size())), system["rms"].get<double>(),
              1e-9);
  EXPECT_FALSE(std::filesystem::exists(out + "/microphone.caf"));
}

TEST_F(AudioProbeTest, ListsTheNullSourceButNoMonitorAndReportsPermissions) {
  const auto list = runProbe({"--list-devices"});
  ASSERT_EQ(list.status, 0);
  expectOneLineOnly(list);
  const auto devices = list.report()["devices"];
  ASSERT_TRUE(devices.is_array());
  bool found = false;
  for (const auto& device : devices) {
    EXPECT_EQ(device["id"].get<std::string>().find(".monitor"), std::string::npos) << device;
    found = found || device["id"] == "velmaris_source";
  }
  EXPECT_TRUE(found) << list.output;

  const auto check = runProbe({"--check"});
  ASSERT_EQ(check.status, 0);
  expectOneLineOnly(check);
  // With a sound server and a display, both are allowed (the report's form is the unit tests').
  EXPECT_EQ(check.report()["microphone_allowed"], true);
  EXPECT_EQ(check.report()["screen_capture_allowed"], true);
}

TEST_F(AudioProbeTest, CapturesSilenceFromTheNullSourceAndBothSourcesTogether) {
  const std::string microphoneOut = root_ + "/microphone-run";
  const auto microphone = runProbe({"microphone", "1", microphoneOut, "velmaris_source"});
  ASSERT_EQ(microphone.status, 0) << microphone.output;
  expectOneLineOnly(microphone);
  auto report = microphone.report();
  EXPECT_EQ(report["frames"], nlohmann::json({{"microphone", 48000}}));
  EXPECT_EQ(report["measurements"]["microphone"]["peak"], 0);
  EXPECT_TRUE(std::filesystem::exists(microphoneOut + "/microphone.caf"));
  EXPECT_FALSE(std::filesystem::exists(microphoneOut + "/system.caf"));

  const std::string bothOut = root_ + "/both-run";
  const auto both = runProbe({"both", "1", bothOut, "velmaris_source"});
  ASSERT_EQ(both.status, 0) << both.output;
  expectOneLineOnly(both);
  report = both.report();
  EXPECT_EQ(report["frames"], nlohmann::json({{"microphone", 48000}, {"system", 48000}}));
  for (const std::string key : {"system", "microphone"}) EXPECT_EQ(readCaf(bothOut + "/" + key + ".caf").info.frames, 48000) << key;
}

TEST_F(AudioProbeTest, ASourceThatVanishesMidCaptureEndsInWriteFailedWithItsAudioKept) {
  const std::string loaded =
      pactl({"load-module", "module-null-source", "source_name=velmaris_doomed"});
  ASSERT_FALSE(loaded.empty());
  const std::string module = loaded.substr(0, loaded.find('\n'));

  const std::string out = root_ + "/doomed";
  Process probe({binaryPath("velmaris-audio-probe"), "microphone", "3", out, "velmaris_doomed"});
  // Once audio has reached the file, take the source away.
  eventually([&] { return std::filesystem::exists(out + "/microphone.caf"); });
  std::this_thread::sleep_for(200ms);
  pactl({"unload-module", module});

  EXPECT_EQ(probe.wait(30000ms), 1);
  const std::string output = probe.readAvailable(1 << 20, 2000ms);
  EXPECT_EQ(output, R"({"error_code":"writeFailed","partial_files_possible":true,)"
                    R"("speaker_output_verified":false,)"
                    R"("state":"failed"})"
                    "\n");
  EXPECT_EQ(probe.errorText(), "");
  const auto caf = readCaf(out + "/microphone.caf");
  ASSERT_TRUE(caf.opened);
  EXPECT_GT(caf.info.frames, 0);
}

TEST_F(AudioProbeTest, ASourceThatNeverDeliversAddsNoWaitAtTheStop) {
  // A pipe source whose pipe nobody writes: its stream is ready and stays empty.
  const std::string loaded =
      pactl({"load-module", "module-pipe-source", "source_name=velmaris_mute",
             "file=" + root_ + "/mute.fifo", "format=float32le", "rate=48000", "channels=2"});
  ASSERT_FALSE(loaded.empty());
  const auto start = std::chrono::steady_clock::now();
  const auto run = runProbe({"microphone", "3", root_ + "/mute", "velmaris_mute"});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  pactl({"unload-module", loaded.substr(0, loaded.find('\n'))});
  expectOneLineOnly(run);
  EXPECT_EQ(run.report()["error_code"], "noSamples") << run.output;
  EXPECT_LT(elapsed, 4000ms);  // the capture's 3 s, not 3 s more
}

TEST_F(AudioProbeTest, WithoutASoundServerOrADisplayItStillPrintsOneLine) {
  const std::vector<std::string> noServer = {"PULSE_SERVER=unix:" + root_ + "/absent-socket"};
  const auto check = runProbe({"--check"}, noServer);
  EXPECT_EQ(check.status, 0);
  expectOneLineOnly(check);
  EXPECT_EQ(check.report()["microphone_allowed"], false);
  EXPECT_EQ(check.report()["screen_capture_allowed"], true);

  const auto list = runProbe({"--list-devices"}, noServer);
  expectOneLineOnly(list);
  EXPECT_EQ(list.report()["devices"], nlohmann::json::array());

  // The system source needs no microphone permission; the capture itself cannot start.
  const std::string out = root_ + "/no-server";
  const auto capture = runProbe({"system", "1", out}, noServer);
  EXPECT_EQ(capture.status, 1);
  expectOneLineOnly(capture);
  EXPECT_EQ(capture.report()["error_code"], "capture_failed");
  EXPECT_TRUE(std::filesystem::is_directory(out));

  const std::vector<std::string> noDisplay = {"-u", "DISPLAY"};
  const auto denied = runProbe({"system", "1", root_ + "/no-display"}, noDisplay);
  EXPECT_EQ(denied.status, 1);
  expectOneLineOnly(denied);
  EXPECT_EQ(denied.report()["error_code"], "permissionRequired");
  EXPECT_FALSE(std::filesystem::exists(root_ + "/no-display"));
}

}  // namespace
}  // namespace velmaris::testing
