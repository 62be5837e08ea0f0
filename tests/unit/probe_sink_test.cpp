// The audio sink on simulated sample buffers: what it takes, what it refuses, what lands in
// the CAF files, and the exact levels it reports.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <functional>
#include <limits>
#include <numeric>
#include <thread>

#include "platform/sim/sim_audio.h"
#include "probe/audio_sink.h"
#include "probe/caf_file.h"
#include "readback.h"

namespace velmaris::probe {
namespace {

using testing::readCaf;
using platform::AudioCommonFormat;
using platform::SimSampleBuffer;
using platform::StreamOutputType;

constexpr auto kSystem = StreamOutputType::audio;
constexpr auto kMicrophone = StreamOutputType::microphone;

// `frames` frames of `channels` channels, every sample `value`.
std::vector<float> constant(std::size_t frames, std::uint32_t channels, float value) {
  return std::vector<float>(frames * channels, value);
}

class AudioSinkTest : public ::testing::Test {
 protected:
  AudioSink& sink(double seconds = 2) {
    if (!sink_) sink_ = std::make_unique<AudioSink>(directory_, seconds);
    return *sink_;
  }

  void feed(const std::shared_ptr<SimSampleBuffer>& buffer, StreamOutputType type) {
    sink().queue().sync([&] { sink().streamDidOutputSampleBuffer(*buffer, type); });
  }

  std::string file(const std::string& key) const { return directory_ + "/" + key + ".caf"; }
  bool exists(const std::string& key) const { return std::filesystem::exists(file(key)); }

  testing::TemporaryDirectory scratch_;
  const std::string directory_ = scratch_.path;
  std::unique_ptr<AudioSink> sink_;
};

TEST_F(AudioSinkTest, TakesExactlyTheFrameLimitAndCutsTheBufferThatCrossesIt) {
  // 95500 frames leave 500 free of 2 s × 48000 Hz.
  feed(SimSampleBuffer::float32(48000, 2, constant(95500, 2, 0.25f)), kSystem);
  std::vector<float> crossing = constant(1024, 2, 1.0f);
  std::fill(crossing.begin(), crossing.begin() + 500 * 2, 0.25f);
  feed(SimSampleBuffer::float32(48000, 2, crossing), kSystem);
  feed(SimSampleBuffer::float32(48000, 2, constant(1024, 2, 1.0f)), kSystem);

  const auto tables = sink().tables();
  EXPECT_FALSE(tables.failure);
  EXPECT_EQ(tables.frames.at("system"), 96000);
  EXPECT_EQ(tables.values.at("system"), 192000);
  // Only the first 500 frames of the crossing buffer were measured: the 1.0 tail was not.
  EXPECT_EQ(tables.peaks.at("system"), 0.25f);
  EXPECT_EQ(tables.sumSquares.at("system"), 192000 * 0.0625);

  // The file's rate and channels are proven where the sources differ in them.
  EXPECT_EQ(sink().closeFilesAndReadState().frames.at("system"), 96000);
  const auto caf = readCaf(file("system"));
  ASSERT_TRUE(caf.opened);
  EXPECT_EQ(caf.info.format, SF_FORMAT_CAF | SF_FORMAT_FLOAT);
  EXPECT_EQ(caf.info.frames, 96000);
  EXPECT_EQ(caf.samples.back(), 0.25f);
  EXPECT_FALSE(exists("microphone"));  // a source that never delivered has no file
}

TEST_F(AudioSinkTest, TheLargestFrameCountsAreTaken) {
  sink(std::ldexp(1.0, 48));  // 2^48 s at 32768 Hz: 2^63 frames, one past the largest count
  feed(SimSampleBuffer::float32(32768, 2, constant(10, 2, 0.5f)), kSystem);
  EXPECT_EQ(sink().tables().frames.at("system"), 10);

  // A buffer of 2^31-1 frames, the most one may hold, of which a 1 s limit at 1 Hz takes one.
  sink_.reset();
  sink(1);
  auto largest = SimSampleBuffer::float32(1, 2, constant(10, 2, 0.5f));
  largest->frames = 2147483647;
  feed(largest, kSystem);
  EXPECT_EQ(sink().tables().frames.at("system"), 1);
}

TEST_F(AudioSinkTest, RefusesBuffersItCannotTakeWithoutTouchingTheTables) {
  struct Case {
    const char* name;
    std::shared_ptr<SimSampleBuffer> buffer;
    CaptureFailure failure = CaptureFailure::invalidAudio;
  };
  // A readable ten-frame buffer with one thing broken.
  auto broken = [](const std::function<void(SimSampleBuffer&)>& breakIt) {
    auto buffer = SimSampleBuffer::float32(48000, 2, constant(10, 2, 0.5f));
    breakIt(*buffer);
    return buffer;
  };
  const std::vector<Case> cases = {
      {"no frames", SimSampleBuffer::float32(48000, 2, {})},
      {"16-bit integers", SimSampleBuffer::int16(48000, 2, std::vector<std::int16_t>(20, 1000))},
      {"data not ready", broken([](SimSampleBuffer& b) { b.ready = false; })},
      {"no format description", broken([](SimSampleBuffer& b) { b.format.reset(); })},
      {"more than 2^31-1 frames",
       broken([](SimSampleBuffer& b) { b.frames = std::int64_t{2147483647} + 1; })},
      {"rate 0", SimSampleBuffer::float32(0, 2, constant(10, 2, 0.5f))},
      {"rate NaN", SimSampleBuffer::float32(std::nan(""), 2, constant(10, 2, 0.5f))},
      {"copy fails", broken([](SimSampleBuffer& b) { b.copyStatus = -1; })},
      {"no channels", broken([](SimSampleBuffer& b) { b.format->channelCount = 0; })},
      {"readable, but no directory for its file",
       SimSampleBuffer::float32(48000, 2, constant(10, 2, 0.5f)), CaptureFailure::writeFailed},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sink_.reset();
    if (c.failure == CaptureFailure::writeFailed) std::filesystem::remove_all(directory_);  // last
    feed(c.buffer, kSystem);
    // After the first failure nothing more is taken, from either source.
    feed(SimSampleBuffer::float32(48000, 2, constant(10, 2, 0.5f)), kSystem);
    feed(SimSampleBuffer::float32(48000, 2, constant(10, 2, 0.5f)), kMicrophone);
    const auto tables = sink().tables();
    EXPECT_EQ(tables.failure, c.failure);
    EXPECT_TRUE(tables.frames.empty());
    EXPECT_TRUE(tables.peaks.empty());
    EXPECT_FALSE(exists("system"));
  }
}

TEST_F(AudioSinkTest, KeepsOneRatePerSourceButLetsTheSourcesDiffer) {
  feed(SimSampleBuffer::float32(48000, 2, constant(10, 2, 0.5f)), kSystem);
  // The microphone's first buffer crosses its own limit of 2 s at once.
  feed(SimSampleBuffer::float32(44100, 1, constant(88201, 1, 0.5f)), kMicrophone);
  EXPECT_FALSE(sink().tables().failure);

  feed(SimSampleBuffer::float32(44100, 2, constant(10, 2, 0.5f)), kSystem);
  const auto tables = sink().tables();
  EXPECT_EQ(tables.failure, CaptureFailure::invalidAudio);
  EXPECT_EQ(tables.frames.at("system"), 10);

  sink().closeFiles();
  const auto microphone = readCaf(file("microphone"));
  ASSERT_TRUE(microphone.opened);
  EXPECT_EQ(microphone.info.samplerate, 44100);
  EXPECT_EQ(microphone.info.channels, 1);
  EXPECT_EQ(microphone.info.frames, 88200);
}

TEST_F(AudioSinkTest, ANaNSampleIsRefusedAfterTheBufferReachedTheFile) {
  // Channel 0 is measured in full before channel 1's first sample, the NaN.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  feed(SimSampleBuffer::float32(48000, 2, {0.5f, nan, -0.75f, 1.0f, 0.25f, 1.0f}), kSystem);

  const auto tables = sink().tables();
  EXPECT_EQ(tables.failure, CaptureFailure::invalidAudio);
  EXPECT_EQ(tables.peaks.at("system"), 0.75f);
  EXPECT_EQ(tables.sumSquares.at("system"), 0.25 + 0.5625 + 0.0625);
  EXPECT_TRUE(tables.frames.empty());

  sink().closeFiles();
  const auto caf = readCaf(file("system"));
  ASSERT_TRUE(caf.opened);
  EXPECT_EQ(caf.info.frames, 3);
  EXPECT_TRUE(std::isnan(caf.samples[1]));
}

TEST_F(AudioSinkTest, CafFilesTakeWholeHertzFromOneToTheLargestInt) {
  const std::pair<double, bool> rates[] = {{0.4, false}, {0.5, true}, {2147483647.4, true}, {2147483647.5, false}};
  for (const auto& [rate, made] : rates) EXPECT_EQ(CafFile::create(file("rate"), rate, 2) != nullptr, made) << rate;
  EXPECT_FALSE(CafFile::create(file("rate"), 48000, 0));
}

TEST_F(AudioSinkTest, StopWithErrorRecordsWriteFailedOverAnEarlierFailure) {
  feed(SimSampleBuffer::float32(48000, 2, {}), kSystem);
  EXPECT_EQ(sink().tables().failure, CaptureFailure::invalidAudio);
  // The notification comes from a thread of the platform's; it only schedules the change.
  std::thread platformThread([&] { sink().streamDidStopWithError({"test", 1}); });
  platformThread.join();
  EXPECT_EQ(sink().closeFilesAndReadState().failure, CaptureFailure::writeFailed);
}

TEST_F(AudioSinkTest, MeasuresChannelByChannelInDoublePrecisionWhateverTheLayout) {
  // Channel 0 holds three tiny samples, channel 1 one 1.0: summed channel by channel the
  // tiny squares add up before meeting 1.0 and survive; frame by frame they would vanish.
  // Every sample of channel 0 counts, so a frame left out changes the sum.
  const float tiny = std::ldexp(1.0f, -27);
  const std::vector<float> frames = {tiny, 1.0f, tiny, 0.0f, tiny, 0.0f};
  const double channelOrder =
      ((((tiny * double{tiny}) + tiny * double{tiny}) + tiny * double{tiny}) + 1.0);
  const double frameOrder =
      (((tiny * double{tiny}) + 1.0) + tiny * double{tiny}) + tiny * double{tiny};
  ASSERT_NE(channelOrder, frameOrder);

  feed(SimSampleBuffer::float32(48000, 2, frames, true), kSystem);
  feed(SimSampleBuffer::float32(48000, 2, frames, false), kMicrophone);
  const auto tables = sink().tables();
  ASSERT_FALSE(tables.failure);
  for (const std::string key : {"system", "microphone"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(tables.frames.at(key), 3);
    EXPECT_EQ(tables.values.at(key), 6);
    EXPECT_EQ(tables.peaks.at(key), 1.0f);
    EXPECT_EQ(tables.sumSquares.at(key), channelOrder);
  }

  // Deinterleaved input is stored interleaved, sample for sample.
  sink().closeFiles();
  EXPECT_EQ(readCaf(file("system")).samples, frames);
  EXPECT_EQ(readCaf(file("microphone")).samples, frames);
}

TEST_F(AudioSinkTest, IgnoresOutputsOtherThanAudioAndMicrophone) {
  feed(SimSampleBuffer::float32(48000, 2, {}), StreamOutputType::screen);
  const auto tables = sink().tables();
  EXPECT_FALSE(tables.failure);
  EXPECT_TRUE(tables.frames.empty());
}

TEST_F(AudioSinkTest, AFileThatCannotGrowRecordsWriteFailed) {
  // A file size limit stops the second buffer's write part way, as a full disk would.
  feed(SimSampleBuffer::float32(48000, 2, constant(10, 2, 0.5f)), kSystem);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 65536;
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  feed(SimSampleBuffer::float32(48000, 2, constant(48000, 2, 0.5f)), kSystem);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(sink().tables().failure, CaptureFailure::writeFailed);
}

TEST(SerialQueueTest, RunsTasksInOrderAndSyncWaitsForEarlierOnes) {
  SerialQueue queue("test");
  std::vector<int> order, expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  for (int i : expected) queue.async([&order, i] { order.push_back(i); });
  queue.sync([] {});
  EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace velmaris::probe
