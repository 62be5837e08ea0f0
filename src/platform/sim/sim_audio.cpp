// The simulated audio platform's streams and sample buffers. A stream only feeds outputs
// that were added for the buffer's type, and only while it runs, as a real one would.
#include "platform/sim/sim_audio.h"

#include <cstring>
#include <utility>

namespace velmaris::platform {

namespace {
constexpr std::int32_t simCopyFailed = -12731;
}

std::shared_ptr<SimSampleBuffer> SimSampleBuffer::float32(double rate, std::uint32_t channels,
                                                          const std::vector<float>& frames,
                                                          bool interleaved) {
  auto buffer = std::make_shared<SimSampleBuffer>();
  buffer->format = AudioFormatDescription{rate, AudioCommonFormat::float32, channels, interleaved};
  const std::size_t count = channels == 0 ? 0 : frames.size() / channels;
  buffer->frames = static_cast<std::int64_t>(count);
  std::vector<float> laidOut = frames;
  if (!interleaved) {
    for (std::size_t c = 0; c < channels; ++c) {
      for (std::size_t f = 0; f < count; ++f) laidOut[c * count + f] = frames[f * channels + c];
    }
  }
  buffer->bytes.resize(laidOut.size() * sizeof(float));
  if (!laidOut.empty()) std::memcpy(buffer->bytes.data(), laidOut.data(), buffer->bytes.size());
  return buffer;
}

std::shared_ptr<SimSampleBuffer> SimSampleBuffer::int16(double rate, std::uint32_t channels,
                                                        const std::vector<std::int16_t>& frames) {
  auto buffer = std::make_shared<SimSampleBuffer>();
  buffer->format = AudioFormatDescription{rate, AudioCommonFormat::int16, channels, true};
  buffer->frames = channels == 0 ? 0 : static_cast<std::int64_t>(frames.size() / channels);
  buffer->bytes.resize(frames.size() * sizeof(std::int16_t));
  if (!frames.empty()) std::memcpy(buffer->bytes.data(), frames.data(), buffer->bytes.size());
  return buffer;
}

std::int32_t SimSampleBuffer::copyPCMData(std::int64_t frameCount,
                                          std::span<const AudioBuffer> buffers) const {
  if (copyStatus != 0) return copyStatus;
  if (!format || format->channelCount == 0 || frameCount < 0) return simCopyFailed;
  const std::size_t sampleBytes = bytesPerSample(format->commonFormat);
  const std::size_t channels = format->channelCount;
  if (sampleBytes == 0) return simCopyFailed;
  const std::size_t stored = bytes.size() / (sampleBytes * channels);
  const auto count = static_cast<std::size_t>(frameCount);
  if (count > stored) return simCopyFailed;
  if (format->interleaved) {
    const std::size_t size = count * channels * sampleBytes;
    if (buffers.size() != 1 || buffers[0].numberChannels != channels ||
        buffers[0].dataByteSize < size) {
      return simCopyFailed;
    }
    std::memcpy(buffers[0].data, bytes.data(), size);
    return 0;
  }
  if (buffers.size() != channels) return simCopyFailed;
  for (std::size_t c = 0; c < channels; ++c) {
    if (buffers[c].numberChannels != 1 || buffers[c].dataByteSize < count * sampleBytes)
      return simCopyFailed;
    std::memcpy(buffers[c].data, bytes.data() + c * stored * sampleBytes, count * sampleBytes);
  }
  return 0;
}

class SimAudioCapture::Stream final : public CaptureStream {
 public:
  Stream(SimAudioCapture& platform, StreamDelegate& delegate)
      : platform_(platform), delegate_(delegate) {}
  ~Stream() override {
    if (platform_.stream_ == this) platform_.stream_ = nullptr;
  }

  std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                               SerialQueue& queue) override {
    platform_.calls.push_back("addStreamOutput:" +
                              std::string(type == StreamOutputType::audio        ? "audio"
                                          : type == StreamOutputType::microphone ? "microphone"
                                                                                 : "screen"));
    if (platform_.addOutputError) return platform_.addOutputError;
    outputs_.push_back(Output{type, &output, &queue});
    return std::nullopt;
  }

  std::optional<PlatformError> startCapture() override {
    platform_.calls.push_back("startCapture");
    if (platform_.startError) return platform_.startError;
    running_ = true;
    return std::nullopt;
  }

  std::optional<PlatformError> stopCapture() override {
    platform_.calls.push_back("stopCapture");
    running_ = false;
    return platform_.stopError;
  }

  void deliver(const std::vector<SimAudioEvent>& events) {
    if (!running_) return;
    for (const auto& event : events) {
      if (event.stopWithError) {
        delegate_.streamDidStopWithError(PlatformError{"sim", 1});
        continue;
      }
      for (const auto& output : outputs_) {
        if (output.type != event.type) continue;
        auto buffer = event.buffer;
        StreamOutput* target = output.output;
        const StreamOutputType type = event.type;
        output.queue->async(
            [target, buffer, type] { target->streamDidOutputSampleBuffer(*buffer, type); });
      }
    }
  }

 private:
  struct Output {
    StreamOutputType type;
    StreamOutput* output;
    SerialQueue* queue;
  };

  SimAudioCapture& platform_;
  StreamDelegate& delegate_;
  std::vector<Output> outputs_;
  bool running_ = false;
};

SimAudioCapture::SimAudioCapture() : displays{Display{1, 1920, 1080}} {}

SimAudioCapture::~SimAudioCapture() = default;

bool SimAudioCapture::preflightScreenCaptureAccess() {
  calls.push_back("preflightScreenCaptureAccess");
  return screenCaptureAllowed;
}

std::int32_t SimAudioCapture::microphoneAuthorizationStatus() {
  calls.push_back("microphoneAuthorizationStatus");
  return microphoneStatus;
}

std::vector<MicrophoneDevice> SimAudioCapture::microphoneDevices() {
  calls.push_back("microphoneDevices");
  return devices;
}

std::variant<ShareableContent, PlatformError> SimAudioCapture::shareableContent(
    bool excludingDesktopWindows, bool onScreenWindowsOnly) {
  calls.push_back(std::string("shareableContent:") + (excludingDesktopWindows ? "1" : "0") +
                  (onScreenWindowsOnly ? "1" : "0"));
  if (contentError) return *contentError;
  return ShareableContent{displays};
}

std::unique_ptr<CaptureStream> SimAudioCapture::makeStream(const Display&,
                                                           const StreamConfiguration& configuration,
                                                           StreamDelegate& delegate) {
  calls.push_back("makeStream");
  lastConfiguration = configuration;
  auto stream = std::make_unique<Stream>(*this, delegate);
  stream_ = stream.get();
  return stream;
}

bool SimAudioCapture::wait(std::chrono::nanoseconds duration) {
  calls.push_back("wait");
  waits.push_back(duration);
  if (stream_ != nullptr) stream_->deliver(std::exchange(capturedAudio, {}));
  return !waitCancelled;
}

}  // namespace velmaris::platform
