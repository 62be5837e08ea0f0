// The receiving end of the probe's capture stream: turns audio sample buffers into one CAF
// file per source, caps each source at the requested length, and accumulates its peak and
// energy. Every table below is touched only on `queue()`: buffers arrive there, the stop
// notification is moved there, and the capture run reads through synchronous tasks on it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/serial_queue.h"
#include "platform/audio_capture.h"
#include "probe/caf_file.h"
#include "probe/capture_failure.h"

namespace velmaris::probe {

inline constexpr const char* audioSinkQueueLabel = "velmaris.audio.probe";

class AudioSink final : public platform::StreamOutput, public platform::StreamDelegate {
 public:
  // `directory` exists already; the files go directly into it.
  AudioSink(std::string directory, double seconds);
  ~AudioSink() override;

  AudioSink(const AudioSink&) = delete;
  AudioSink& operator=(const AudioSink&) = delete;

  SerialQueue& queue() { return *queue_; }

  // On `queue()`.
  void streamDidOutputSampleBuffer(const platform::AudioSampleBuffer& buffer,
                                   platform::StreamOutputType type) override;
  // From any thread: records writeFailed on `queue()`, over any earlier failure.
  void streamDidStopWithError(const platform::PlatformError& error) override;
  // On `queue()`: takes one buffer of one source.
  void consume(const platform::AudioSampleBuffer& buffer, platform::StreamOutputType type);

  struct Collected {
    std::map<std::string, std::int64_t> frames;
    std::optional<CaptureFailure> failure;
  };
  // Synchronously, as one task: closes every file, then copies the frame table and failure.
  Collected closeFilesAndReadState();
  // Synchronously: closes every file.
  void closeFiles();
  // Synchronously, as one task: {key: {"duration_seconds", "peak", "rms", "sample_rate"}}
  // for each of `keys`.
  nlohmann::json measurements(const std::vector<std::string>& keys);

  // A copy of every table, taken synchronously; for tests and diagnostics.
  struct Tables {
    std::vector<std::string> openFiles;
    std::map<std::string, std::int64_t> frames;
    std::map<std::string, double> rates;
    std::map<std::string, float> peaks;
    std::map<std::string, double> sumSquares;
    std::map<std::string, std::int64_t> values;
    std::optional<CaptureFailure> failure;
  };
  Tables tables();

 private:
  // The tables are declared in the order the sink is described in; `queue_` is ended
  // first in the destructor so no task outlives them.
  std::unique_ptr<SerialQueue> queue_;
  std::string directory_;
  double seconds_;
  std::map<std::string, std::unique_ptr<CafFile>> files_;
  std::map<std::string, std::int64_t> frames_;
  std::map<std::string, double> rates_;
  std::map<std::string, float> peaks_;
  std::map<std::string, double> sumSquares_;
  std::map<std::string, std::int64_t> values_;
  std::optional<CaptureFailure> failure_;
};

}  // namespace velmaris::probe
