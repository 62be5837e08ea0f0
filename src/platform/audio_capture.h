// The audio probe's way to the machine: the two permission preflights, the microphone
// devices, the displays, and one capture stream whose audio arrives as sample buffers.
// Calls are made on the probe's main thread and block until the platform has answered;
// sample buffers reach a stream output on the serial queue given with that output, and a
// stream that dies tells its delegate from a thread of the platform's choosing.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/serial_queue.h"

namespace velmaris::platform {

// A failure the platform reported: where it comes from and its code. The probe only asks
// whether there was one; the fields are for a person reading a debugger.
struct PlatformError {
  std::string domain;
  std::int64_t code = 0;
};

// What a stream output receives; the raw values are the ones sample buffers are tagged with.
enum class StreamOutputType : std::int32_t { screen = 0, audio = 1, microphone = 2 };

// The sample layout of PCM audio, by its common name.
enum class AudioCommonFormat : std::uint32_t {
  other = 0,
  float32 = 1,
  float64 = 2,
  int16 = 3,
  int32 = 4
};

inline std::uint32_t bytesPerSample(AudioCommonFormat format) {
  switch (format) {
    case AudioCommonFormat::int16:
      return 2;
    case AudioCommonFormat::float32:
    case AudioCommonFormat::int32:
      return 4;
    case AudioCommonFormat::float64:
      return 8;
    case AudioCommonFormat::other:
      return 0;
  }
  return 0;
}

struct AudioFormatDescription {
  double sampleRate = 0;
  AudioCommonFormat commonFormat = AudioCommonFormat::other;
  std::uint32_t channelCount = 0;
  bool interleaved = true;
};

// One block of memory that PCM data is copied into. Interleaved audio has one block that
// carries every channel; deinterleaved audio has one block per channel.
struct AudioBuffer {
  std::uint32_t numberChannels = 0;
  std::uint32_t dataByteSize = 0;
  void* data = nullptr;
};

// A buffer of captured audio as the platform hands it over. Read-only and safe to read
// from any thread; its owner keeps it alive until the output call it was passed to returns.
class AudioSampleBuffer {
 public:
  virtual ~AudioSampleBuffer() = default;

  // The number of frames it holds (a frame is one sample per channel).
  virtual std::int64_t numSamples() const = 0;
  virtual bool dataIsReady() const = 0;
  virtual std::optional<AudioFormatDescription> formatDescription() const = 0;
  // Copies the first `frameCount` frames into `buffers`, laid out as formatDescription()
  // says; answers 0 on success and a non-zero status otherwise.
  virtual std::int32_t copyPCMData(std::int64_t frameCount,
                                   std::span<const AudioBuffer> buffers) const = 0;
};

class StreamOutput {
 public:
  virtual ~StreamOutput() = default;
  // Called on the sample handler queue given with the output.
  virtual void streamDidOutputSampleBuffer(const AudioSampleBuffer& buffer,
                                           StreamOutputType type) = 0;
};

class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  // Called once when the stream stops because of an error, on a platform thread.
  virtual void streamDidStopWithError(const PlatformError& error) = 0;
};

struct MicrophoneDevice {
  std::string uniqueID;
  std::string localizedName;
};

struct Display {
  std::uint32_t displayID = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct ShareableContent {
  std::vector<Display> displays;
};

struct StreamConfiguration {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::chrono::nanoseconds minimumFrameInterval{0};
  bool capturesAudio = false;
  bool captureMicrophone = false;
  std::optional<std::string> microphoneCaptureDeviceID;
  std::int32_t sampleRate = 0;
  std::int32_t channelCount = 0;
};

// One capture of one display. It holds its outputs and its delegate by reference: they
// must outlive it. Destroying a running stream stops it without telling anyone.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;

  virtual std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                                       SerialQueue& sampleHandlerQueue) = 0;
  // Returns once the capture runs, or could not be started.
  virtual std::optional<PlatformError> startCapture() = 0;
  // Returns once no more sample buffers will be handed to any output queue.
  virtual std::optional<PlatformError> stopCapture() = 0;
};

// Microphone authorization statuses, by their raw values.
inline constexpr std::int32_t authorizationStatusNotDetermined = 0;
inline constexpr std::int32_t authorizationStatusDenied = 2;
inline constexpr std::int32_t authorizationStatusAuthorized = 3;

class AudioCapture {
 public:
  virtual ~AudioCapture() = default;

  // Whether this process may capture the screen; never prompts.
  virtual bool preflightScreenCaptureAccess() = 0;
  // The microphone authorization status; never prompts.
  virtual std::int32_t microphoneAuthorizationStatus() = 0;
  // The microphones present now, in the platform's order.
  virtual std::vector<MicrophoneDevice> microphoneDevices() = 0;
  virtual std::variant<ShareableContent, PlatformError> shareableContent(
      bool excludingDesktopWindows, bool onScreenWindowsOnly) = 0;
  // A stream over the whole of `display` (no window excluded) with `delegate`.
  virtual std::unique_ptr<CaptureStream> makeStream(const Display& display,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate& delegate) = 0;
  // Sleeps for `duration`; false when the wait was cancelled before its end.
  virtual bool wait(std::chrono::nanoseconds duration) = 0;
};

}  // namespace velmaris::platform
