// The simulated audio platform: permissions, devices, displays and stream results that a
// test sets by hand, and sample buffers of any shape that the capture delivers while the
// probe waits. Used from the test's thread; buffers reach outputs on their queues as they
// would from a real stream, and a scripted stop-with-error comes from the waiting thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_capture.h"

namespace velmaris::platform {

// A sample buffer whose every answer a test may set. `bytes` holds the samples as `format`
// lays them out: frame after frame when interleaved, channel after channel otherwise.
class SimSampleBuffer final : public AudioSampleBuffer {
 public:
  // 32-bit float audio from samples given frame by frame (interleaved); stored
  // deinterleaved when `interleaved` is false.
  static std::shared_ptr<SimSampleBuffer> float32(double rate, std::uint32_t channels,
                                                  const std::vector<float>& frames,
                                                  bool interleaved = true);
  // 16-bit integer audio, interleaved.
  static std::shared_ptr<SimSampleBuffer> int16(double rate, std::uint32_t channels,
                                                const std::vector<std::int16_t>& frames);

  std::int64_t numSamples() const override { return frames; }
  bool dataIsReady() const override { return ready; }
  std::optional<AudioFormatDescription> formatDescription() const override { return format; }
  std::int32_t copyPCMData(std::int64_t frameCount,
                           std::span<const AudioBuffer> buffers) const override;

  std::int64_t frames = 0;
  bool ready = true;
  std::optional<AudioFormatDescription> format;
  std::vector<std::uint8_t> bytes;
  std::int32_t copyStatus = 0;  // non-zero: every copy fails with it
};

// One thing the capture does while the probe waits: deliver a buffer as `type`, or stop
// with an error.
struct SimAudioEvent {
  StreamOutputType type = StreamOutputType::audio;
  std::shared_ptr<const AudioSampleBuffer> buffer;
  bool stopWithError = false;
};

class SimAudioCapture final : public AudioCapture {
 public:
  SimAudioCapture();
  ~SimAudioCapture() override;

  bool screenCaptureAllowed = true;
  std::int32_t microphoneStatus = authorizationStatusAuthorized;
  std::vector<MicrophoneDevice> devices;
  std::optional<PlatformError> contentError;
  std::vector<Display> displays;
  std::optional<PlatformError> addOutputError;
  std::optional<PlatformError> startError;
  std::optional<PlatformError> stopError;
  bool waitCancelled = false;
  // Delivered in order during the first wait of a running capture.
  std::vector<SimAudioEvent> capturedAudio;

  // What the probe did: each platform call by name ("addStreamOutput:audio" names the
  // type), the last configuration and every wait.
  std::vector<std::string> calls;
  std::optional<StreamConfiguration> lastConfiguration;
  std::vector<std::chrono::nanoseconds> waits;

  bool preflightScreenCaptureAccess() override;
  std::int32_t microphoneAuthorizationStatus() override;
  std::vector<MicrophoneDevice> microphoneDevices() override;
  std::variant<ShareableContent, PlatformError> shareableContent(bool excludingDesktopWindows,
                                                                 bool onScreenWindowsOnly) override;
  std::unique_ptr<CaptureStream> makeStream(const Display& display,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override;
  bool wait(std::chrono::nanoseconds duration) override;

  class Stream;

 private:
  friend class Stream;
  Stream* stream_ = nullptr;  // the live stream, if any
};

}  // namespace velmaris::platform
