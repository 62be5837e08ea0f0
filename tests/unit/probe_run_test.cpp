// The probe's run on the simulated audio platform: the command line and the order of its
// checks, the permission rules, the output directory, the failure path, and the exact text
// of each report.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "common/json_writer.h"
#include "platform/sim/sim_audio.h"
#include "probe/audio_probe.h"
#include "readback.h"

namespace velmaris::probe {
namespace {

using platform::PlatformError;
using platform::SimAudioCapture;
using platform::SimAudioEvent;
using platform::SimSampleBuffer;
using platform::StreamOutputType;

std::string failed(const std::string& code) {
  return R"({"error_code":")" + code +
         R"(","partial_files_possible":true,"speaker_output_verified":false,"state":"failed"})" +
         "\n";
}

std::shared_ptr<SimSampleBuffer> tone(std::size_t frames, float level) {
  return SimSampleBuffer::float32(48000, 2, std::vector<float>(frames * 2, level));
}

class AudioProbeRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform_.devices = {{"mic-1", "Built-in Microphone"}, {"mic-2", "USB Microphone"}};
  }

  // Runs the probe, on `platform_` unless told; the printed bytes go to `output_`.
  int run(const std::vector<std::string>& arguments) { return run(arguments, platform_); }
  // `onReport` runs as the report is printed.
  int run(const std::vector<std::string>& arguments, SimAudioCapture& platform,
          const std::function<void()>& onReport = [] {}) {
    output_.clear();
    return AudioProbe::main(arguments, platform, [&](std::string_view bytes) {
      output_ += bytes;
      onReport();
    });
  }

  bool called(const std::string& name) const {
    return std::find(platform_.calls.begin(), platform_.calls.end(), name) != platform_.calls.end();
  }

  // The report with its two time stamps, checked for their form, replaced by "T".
  std::string withoutTimes() const {
    static const std::regex stamp(
        R"re("(started_at|completed_at)":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")re");
    return std::regex_replace(output_, stamp, "\"$1\":\"T\"");
  }

  // The report of a one-second capture into `out_`, as withoutTimes() leaves it; the path as
  // the writer escapes it.
  std::string captured(const std::string& frames, const std::string& measurements,
                       const std::string& device, const std::string& source) const {
    return R"({"completed_at":"T","frames":{)" + frames + R"(},"measurements":{)" + measurements +
           R"(},"microphone_device_id":")" + device + R"(","output_directory":)" +
           *writeJSON(out_) + R"(,"requested_seconds":1,"source":")" + source +
           R"(","speaker_output_verified":false,"started_at":"T","state":"captured"})" + "\n";
  }

  SimAudioCapture platform_;
  testing::TemporaryDirectory directory_;
  const std::string root_ = directory_.path;
  const std::string out_ = root_ + "/out";
  std::string output_;  // a report printed twice would show here twice
};

TEST_F(AudioProbeRunTest, RefusesEveryMalformedCommandLineBeforeLookingAtPermissions) {
  platform_.screenCaptureAllowed = false;
  platform_.microphoneStatus = platform::authorizationStatusDenied;
  const std::vector<std::vector<std::string>> rejected = {
      {"--check", "extra"},
      {"system", "2"},
      {"system", "2", out_, "mic-1", "extra"},
      {"System", "2", out_},
      {"system", "0.999", out_},
      {"system", "30.5", out_},
      {"system", "nan", out_},
      {"system", " 2", out_},
      {"system", "2 ", out_},
      {"system", "2", "out"},
      {"system", "2", out_, "mic-1"},
      {"microphone", "2", out_},
      {"both", "2", out_, "MIC-1"},
  };
  for (const auto& arguments : rejected) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    platform_.calls.clear();
    EXPECT_EQ(run(arguments), 1);
    EXPECT_EQ(output_, failed("invalidArguments"));
    // Both permissions are read on every run, and nothing is created or captured.
    EXPECT_TRUE(called("preflightScreenCaptureAccess"));
    EXPECT_TRUE(called("microphoneAuthorizationStatus"));
    EXPECT_FALSE(called("makeStream"));
    EXPECT_FALSE(std::filesystem::exists(out_));
  }
}

TEST_F(AudioProbeRunTest, AcceptsSecondsAtBothEndsAndWaitsWholeNanoseconds) {
  const std::vector<std::pair<std::string, std::int64_t>> accepted = {
      {"1", 1'000'000'000},
      {"30", 30'000'000'000},
      {"2.5", 2'500'000'000},
      {"1.0000000001", 1'000'000'000},
      {"0x1p1", 2'000'000'000}};
  int index = 0;
  for (const auto& [seconds, nanoseconds] : accepted) {
    SCOPED_TRACE(seconds);
    platform_.waits.clear();
    platform_.capturedAudio = {{StreamOutputType::audio, tone(100, 0.5f)}};
    EXPECT_EQ(run({"system", seconds, out_ + std::to_string(index++)}), 0) << output_;
    ASSERT_EQ(platform_.waits.size(), 1u);
    EXPECT_EQ(platform_.waits[0].count(), nanoseconds);
  }
}

TEST_F(AudioProbeRunTest, RequiresScreenRecordingForEverySourceAndTheMicrophoneOnlyWhenCaptured) {
  const std::pair<bool, std::vector<std::string>> refused[] = {
      {false, {"microphone", "1", out_, "mic-1"}}, {false, {"system", "1", out_}},
      {true, {"microphone", "1", out_, "mic-1"}}, {true, {"both", "1", out_, "mic-1"}}};
  for (const auto& [screen, arguments] : refused) {
    platform_.screenCaptureAllowed = screen;  // and with it, a microphone not yet allowed
    if (screen) platform_.microphoneStatus = platform::authorizationStatusNotDetermined;
    EXPECT_EQ(run(arguments), 1);
    EXPECT_EQ(output_, failed("permissionRequired"));
    EXPECT_FALSE(std::filesystem::exists(out_));
  }

  platform_.capturedAudio = {{StreamOutputType::audio, tone(100, 0.5f)}};
  EXPECT_EQ(run({"system", "1", out_}), 0);
  EXPECT_NE(output_.find(R"("state":"captured")"), std::string::npos) << output_;
}

TEST_F(AudioProbeRunTest, ListsDevicesAndReportsPermissionsWithoutCheckingThem) {
  platform_.screenCaptureAllowed = false;
  platform_.microphoneStatus = platform::authorizationStatusDenied;
  EXPECT_EQ(run({"--list-devices"}), 0);
  EXPECT_EQ(output_,
            R"({"capture_started":false,"devices":[{"id":"mic-1","name":"Built-in Microphone"},)"
            R"({"id":"mic-2","name":"USB Microphone"}],"state":"device_list"})"
            "\n");
  EXPECT_EQ(run({"--check"}), 0);
  EXPECT_EQ(output_, R"({"capture_started":false,"microphone_allowed":false,)"
                     R"("microphone_mode_requires_screen_permission_in_probe":true,)"
                     R"("screen_capture_allowed":false,)"
                     R"("state":"permission_check"})"
                     "\n");
}

TEST_F(AudioProbeRunTest, AnOutputDirectoryThatExistsOrHasNoParentFailsBeforeAnyCapture) {
  ASSERT_EQ(mkdir(out_.c_str(), 0755), 0);
  for (const auto& directory : {out_, root_ + "/missing/out"}) {
    platform_.calls.clear();
    EXPECT_EQ(run({"both", "1", directory, "mic-2"}), 1);
    EXPECT_EQ(output_, failed("writeFailed"));
    EXPECT_FALSE(called("shareableContent:01"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(out_));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/missing"));
}

TEST_F(AudioProbeRunTest, CapturesSystemAudioInOrderAndReportsItExactly) {
  platform_.capturedAudio = {{StreamOutputType::audio, tone(24000, 0.5f)},
                             {StreamOutputType::microphone, tone(100, 1.0f)},  // no such output
                             {StreamOutputType::audio, tone(30000, 0.5f)}};
  EXPECT_EQ(run({"system", "1", out_ + "/"}), 0);
  EXPECT_EQ(withoutTimes(), captured(R"("system":48000)",
                                     R"("system":{"duration_seconds":1,"peak":0.5,"rms":0.5,)"
                                     R"("sample_rate":48000})",
                                     "none", "system"));

  const std::vector<std::string> expectedCalls = {
      "preflightScreenCaptureAccess", "microphoneAuthorizationStatus", "shareableContent:01",
      "makeStream", "addStreamOutput:audio", "startCapture", "wait", "stopCapture"};
  EXPECT_EQ(platform_.calls, expectedCalls);
  const auto& c = *platform_.lastConfiguration;
  EXPECT_EQ(std::tie(c.width, c.height, c.minimumFrameInterval, c.capturesAudio, c.captureMicrophone,
                     c.microphoneCaptureDeviceID, c.sampleRate, c.channelCount),
            std::make_tuple(2, 2, std::chrono::seconds(1), true, false, std::optional<std::string>(), 48000, 2));

  struct stat info {};
  ASSERT_EQ(stat(out_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_TRUE(std::filesystem::exists(out_ + "/system.caf"));
}

TEST_F(AudioProbeRunTest, CapturesBothSourcesWithOneMemberEach) {
  platform_.capturedAudio = {{StreamOutputType::microphone, tone(4800, 0.0f)},
                             {StreamOutputType::audio, tone(9600, 0.25f)}};
  EXPECT_EQ(run({"both", "1", out_, "mic-2"}), 0);
  EXPECT_EQ(withoutTimes(),
            captured(R"("microphone":4800,"system":9600)",
                     R"("microphone":{"duration_seconds":0.1,"peak":0,"rms":0,"sample_rate":48000},)"
                     R"("system":{"duration_seconds":0.2,"peak":0.25,"rms":0.25,"sample_rate":48000})",
                     "mic-2", "both"));
  // System audio's output is added first, on the same queue as the microphone's.
  const auto audio =
      std::find(platform_.calls.begin(), platform_.calls.end(), "addStreamOutput:audio");
  ASSERT_NE(audio, platform_.calls.end());
  EXPECT_EQ(*std::next(audio), "addStreamOutput:microphone");
  EXPECT_EQ(platform_.lastConfiguration->microphoneCaptureDeviceID, "mic-2");
}

TEST_F(AudioProbeRunTest, ARequiredSourceWithoutFramesIsNoSamplesAndTheOtherFileStays) {
  platform_.capturedAudio = {{StreamOutputType::audio, tone(480, 0.5f)}};
  EXPECT_EQ(run({"both", "1", out_, "mic-1"}), 1);
  EXPECT_EQ(output_, failed("noSamples"));
  EXPECT_EQ(std::count(platform_.calls.begin(), platform_.calls.end(), "stopCapture"), 1);
  EXPECT_TRUE(std::filesystem::exists(out_ + "/system.caf"));
  EXPECT_FALSE(std::filesystem::exists(out_ + "/microphone.caf"));
}

TEST_F(AudioProbeRunTest, EveryFailureAfterTheDirectoryTakesTheFailurePath) {
  struct Case {
    const char* name;
    std::function<void(SimAudioCapture&)> arrange;
    std::string expected;
    int stops;  // stopCapture calls: the run's own and the failure path's
  };
  const std::vector<Case> cases = {
      {"content", [](SimAudioCapture& p) { p.contentError = PlatformError{"sim", 1}; },
       "capture_failed", 0},
      {"no display", [](SimAudioCapture& p) { p.displays.clear(); }, "noDisplay", 0},
      {"add output", [](SimAudioCapture& p) { p.addOutputError = PlatformError{"sim", 2}; },
       "capture_failed", 1},
      {"start", [](SimAudioCapture& p) { p.startError = PlatformError{"sim", 3}; },
       "capture_failed", 1},
      {"wait cancelled", [](SimAudioCapture& p) { p.waitCancelled = true; }, "capture_failed", 1},
      {"stop", [](SimAudioCapture& p) { p.stopError = PlatformError{"sim", 4}; },
       "capture_failed", 2},
      // The sink's own failure, whichever it is (each is proven with the sink).
      {"stream died",
       [](SimAudioCapture& p) {
         p.capturedAudio = {{StreamOutputType::audio, SimSampleBuffer::float32(48000, 2, {})},
                            {StreamOutputType::audio, nullptr, true}};
       },
       "writeFailed", 1},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimAudioCapture platform;
    platform.capturedAudio = {{StreamOutputType::audio, tone(10, 0.5f)}};
    c.arrange(platform);
    const std::string directory = out_ + std::to_string(index++);
    const std::string file = directory + "/system.caf";
    sf_count_t framesWhenReported = -1;
    EXPECT_EQ(run({"system", "1", directory}, platform,
                  [&] { framesWhenReported = testing::readCaf(file).info.frames; }),
              1);
    EXPECT_EQ(output_, failed(c.expected));
    // The report comes once the file is complete.
    EXPECT_EQ(framesWhenReported, testing::readCaf(file).info.frames);
    EXPECT_EQ(std::count(platform.calls.begin(), platform.calls.end(), "stopCapture"), c.stops);
    // Written audio stays: the directory is never removed.
    EXPECT_TRUE(std::filesystem::is_directory(directory));
  }
}

TEST_F(AudioProbeRunTest, AReportThatCannotBeSerialisedPrintsNothing) {
  std::string output;
  AudioProbe::emit({{"state", "captured"}, {"rms", std::nan("")}},
                   [&](std::string_view bytes) { output += bytes; });
  EXPECT_EQ(output, "");
}

}  // namespace
}  // namespace velmaris::probe
