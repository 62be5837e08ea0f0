// PulseAudio connection and record streams. Every touch of a libpulse object happens with
// the main loop's lock held (PulseLock); callbacks already hold it. Captured audio is copied
// out of the server's buffer in the read callback and handed, as a sample buffer of its own,
// to the output's serial queue, so the main loop never waits for the consumer.
#include "platform/linux/pulse_audio.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace velmaris::platform {
namespace {

constexpr const char* errorDomain = "org.pulseaudio";
// Codes of our own, for refusals that the server never saw.
constexpr std::int64_t errorAlreadyStarted = 1001;
constexpr std::int64_t errorNotRunning = 1002;
constexpr std::int64_t errorUnsupportedOutput = 1003;
constexpr std::int64_t errorNoSource = 1004;
constexpr std::int64_t errorBadFormat = 1005;

// How long a record stream's fragments are: the latency between the server capturing a
// sample and the probe receiving it.
constexpr pa_usec_t fragmentMicroseconds = 20 * 1000;
// At the stop, how long to wait at most for the audio captured before it to arrive. A sink
// may have rendered up to two seconds ahead before a monitor stream joined it (a null sink
// does when nobody asked it for low latency); its monitor then stays silent for as long, and
// the stream's audio trails the wall clock by that much for the rest of the capture.
constexpr auto stopDrainLimit = std::chrono::milliseconds(3000);

class PulseLock {
 public:
  explicit PulseLock(pa_threaded_mainloop* mainloop) : mainloop_(mainloop) {
    pa_threaded_mainloop_lock(mainloop_);
  }
  ~PulseLock() { pa_threaded_mainloop_unlock(mainloop_); }
  PulseLock(const PulseLock&) = delete;
  PulseLock& operator=(const PulseLock&) = delete;

 private:
  pa_threaded_mainloop* mainloop_;
};

void signalMainloop(pa_threaded_mainloop* mainloop) { pa_threaded_mainloop_signal(mainloop, 0); }

// Waits, lock held, until `operation` has finished or been cancelled (a dying context
// cancels its operations and signals through the state callback).
void awaitOperation(pa_threaded_mainloop* mainloop, pa_operation* operation) {
  if (operation == nullptr) return;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
    pa_threaded_mainloop_wait(mainloop);
  pa_operation_unref(operation);
}

// Interleaved float32 frames copied out of a record stream.
class PulseSampleBuffer final : public AudioSampleBuffer {
 public:
  PulseSampleBuffer(std::vector<float> samples, double rate, std::uint32_t channels)
      : samples_(std::move(samples)), rate_(rate), channels_(channels) {}

  std::int64_t numSamples() const override {
    return static_cast<std::int64_t>(samples_.size() / channels_);
  }
  bool dataIsReady() const override { return true; }
  std::optional<AudioFormatDescription> formatDescription() const override {
    return AudioFormatDescription{rate_, AudioCommonFormat::float32, channels_, true};
  }
  std::int32_t copyPCMData(std::int64_t frameCount,
                           std::span<const AudioBuffer> buffers) const override {
    const auto bytes = static_cast<std::uint64_t>(frameCount) * channels_ * sizeof(float);
    if (frameCount < 0 || frameCount > numSamples() || buffers.size() != 1 ||
        buffers[0].numberChannels != channels_ || buffers[0].dataByteSize < bytes ||
        buffers[0].data == nullptr) {
      return -1;
    }
    std::memcpy(buffers[0].data, samples_.data(), bytes);
    return 0;
  }

 private:
  std::vector<float> samples_;
  double rate_;
  std::uint32_t channels_;
};

class PulseCaptureStream final : public CaptureStream {
 public:
  PulseCaptureStream(PulseConnection& pulse, StreamConfiguration configuration,
                     StreamDelegate& delegate)
      : pulse_(pulse), configuration_(std::move(configuration)), delegate_(delegate) {}

  ~PulseCaptureStream() override {
    if (pulse_.mainloop() == nullptr) return;
    PulseLock lock(pulse_.mainloop());
    disconnectAll();
  }

  std::optional<PlatformError> addStreamOutput(StreamOutput& output, StreamOutputType type,
                                               SerialQueue& queue) override {
    if (type == StreamOutputType::screen) return PlatformError{errorDomain, errorUnsupportedOutput};
    if (started_) return PlatformError{errorDomain, errorAlreadyStarted};
    for (const auto& record : records_) {
      if (record->type == type) return PlatformError{errorDomain, errorUnsupportedOutput};
    }
    // An output whose kind of audio is not configured is kept but never fed.
    const bool configured = type == StreamOutputType::audio ? configuration_.capturesAudio
                                                            : configuration_.captureMicrophone;
    if (configured) {
      auto record = std::make_unique<Record>();
      record->owner = this;
      record->type = type;
      record->output = &output;
      record->queue = &queue;
      records_.push_back(std::move(record));
    }
    return std::nullopt;
  }

  std::optional<PlatformError> startCapture() override {
    if (started_) return PlatformError{errorDomain, errorAlreadyStarted};
    started_ = true;
    if (!pulse_.connect()) return PlatformError{errorDomain, PA_ERR_CONNECTIONREFUSED};

    for (auto& record : records_) {
      if (record->type == StreamOutputType::audio) {
        const auto monitor = pulse_.defaultSinkMonitor();
        if (!monitor) return PlatformError{errorDomain, errorNoSource};
        record->source = *monitor;
      } else {
        if (!configuration_.microphoneCaptureDeviceID)
          return PlatformError{errorDomain, errorNoSource};
        record->source = *configuration_.microphoneCaptureDeviceID;
      }
    }

    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = static_cast<std::uint32_t>(configuration_.sampleRate);
    spec.channels = static_cast<std::uint8_t>(configuration_.channelCount);
    pa_channel_map map{};
    if (configuration_.sampleRate <= 0 || configuration_.channelCount <= 0 ||
        configuration_.channelCount > static_cast<std::int32_t>(PA_CHANNELS_MAX) ||
        !pa_sample_spec_valid(&spec) ||
        pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT) == nullptr) {
      return PlatformError{errorDomain, errorBadFormat};
    }
    spec_ = spec;

    PulseLock lock(pulse_.mainloop());
    for (auto& record : records_) {
      const char* name = record->type == StreamOutputType::audio ? "system" : "microphone";
      record->stream = pa_stream_new(pulse_.context(), name, &spec, &map);
      if (record->stream == nullptr) return failStart();
      pa_stream_set_state_callback(record->stream, &PulseCaptureStream::onState, record.get());
      pa_stream_set_read_callback(record->stream, &PulseCaptureStream::onRead, record.get());
      pa_buffer_attr attributes{};
      attributes.maxlength = static_cast<std::uint32_t>(-1);
      attributes.tlength = static_cast<std::uint32_t>(-1);
      attributes.prebuf = static_cast<std::uint32_t>(-1);
      attributes.minreq = static_cast<std::uint32_t>(-1);
      attributes.fragsize =
          static_cast<std::uint32_t>(pa_usec_to_bytes(fragmentMicroseconds, &spec));
      // A capture stays on the device it was started on: if that goes away, the stream
      // fails (and the probe hears of it) instead of moving elsewhere.
      const auto flags =
          static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
      if (pa_stream_connect_record(record->stream, record->source.c_str(), &attributes, flags) <
          0) {
        return failStart();
      }
    }
    for (;;) {
      bool allReady = true;
      for (const auto& record : records_) {
        const auto state = pa_stream_get_state(record->stream);
        if (!PA_STREAM_IS_GOOD(state)) return failStart();
        allReady = allReady && state == PA_STREAM_READY;
      }
      if (allReady) break;
      pa_threaded_mainloop_wait(pulse_.mainloop());
    }
    capturing_ = true;
    startedAt_ = std::chrono::steady_clock::now();
    return std::nullopt;
  }

  std::optional<PlatformError> stopCapture() override {
    if (!capturing_) return PlatformError{errorDomain, errorNotRunning};
    drain();
    PulseLock lock(pulse_.mainloop());
    disconnectAll();
    capturing_ = false;
    return std::nullopt;
  }

 private:
  struct Record {
    PulseCaptureStream* owner = nullptr;
    StreamOutputType type = StreamOutputType::audio;
    StreamOutput* output = nullptr;
    SerialQueue* queue = nullptr;
    std::string source;
    pa_stream* stream = nullptr;
    // Delivered frames plus the frames of holes: how much of the capture's time the stream
    // has accounted for.
    std::int64_t framesPassed = 0;
    std::vector<std::uint8_t> pending;  // bytes of a frame cut by a fragment boundary
  };

  // A record stream's audio trails the wall clock: by a fragment at least, and by whatever
  // the sink had rendered ahead when the stream joined it. A stop means "as much audio as
  // the capture has lasted", so wait, bounded, until each live stream has delivered as many
  // frames as the time since the start holds. A hole is time that passed without audio. A
  // stream that has passed nothing for longer than any sink renders ahead never will, and
  // is not waited for.
  void drain() {
    const auto stopAt = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(stopAt - startedAt_).count();
    const auto due = static_cast<std::int64_t>(elapsed * spec_.rate);
    while (std::chrono::steady_clock::now() - stopAt < stopDrainLimit) {
      const bool silentTooLong = std::chrono::steady_clock::now() - startedAt_ >= stopDrainLimit;
      bool complete = true;
      {
        PulseLock lock(pulse_.mainloop());
        for (const auto& record : records_) {
          if (record->stream != nullptr && pa_stream_get_state(record->stream) == PA_STREAM_READY &&
              record->framesPassed < due && !(record->framesPassed == 0 && silentTooLong)) {
            complete = false;
          }
        }
      }
      if (complete) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Lock held. Afterwards no callback of ours runs again, so nothing more reaches a queue.
  void disconnectAll() {
    stopping_ = true;
    for (auto& record : records_) {
      if (record->stream == nullptr) continue;
      pa_stream_set_state_callback(record->stream, nullptr, nullptr);
      pa_stream_set_read_callback(record->stream, nullptr, nullptr);
      if (PA_STREAM_IS_GOOD(pa_stream_get_state(record->stream)))
        pa_stream_disconnect(record->stream);
      pa_stream_unref(record->stream);
      record->stream = nullptr;
    }
  }

  // Lock held.
  PlatformError failStart() {
    const int code = pa_context_errno(pulse_.context());
    disconnectAll();
    return PlatformError{errorDomain, code};
  }

  static void onState(pa_stream* stream, void* userdata) {
    auto* record = static_cast<Record*>(userdata);
    PulseCaptureStream& self = *record->owner;
    signalMainloop(self.pulse_.mainloop());
    const auto state = pa_stream_get_state(stream);
    if (self.capturing_ && !self.stopping_ && !self.stopReported_ &&
        (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)) {
      self.stopReported_ = true;
      self.delegate_.streamDidStopWithError(
          PlatformError{errorDomain, pa_context_errno(self.pulse_.context())});
    }
  }

  static void onRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* record = static_cast<Record*>(userdata);
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      // A hole (no data for a stretch) carries no samples to pass on, only time.
      if (data != nullptr)
        record->owner->deliver(*record, static_cast<const std::uint8_t*>(data), bytes);
      else
        record->owner->skip(*record, bytes);
      pa_stream_drop(stream);
    }
  }

  // Lock held (main loop thread). Audio before the start completes is not the capture's.
  void deliver(Record& record, const std::uint8_t* data, std::size_t bytes) {
    if (!capturing_ || stopping_) return;
    const std::size_t frameBytes = pa_frame_size(&spec_);
    record.pending.insert(record.pending.end(), data, data + bytes);
    const std::size_t frames = record.pending.size() / frameBytes;
    if (frames == 0) return;
    std::vector<float> samples(frames * spec_.channels);
    std::memcpy(samples.data(), record.pending.data(), frames * frameBytes);
    record.pending.erase(record.pending.begin(),
                         record.pending.begin() + static_cast<std::ptrdiff_t>(frames * frameBytes));
    record.framesPassed += static_cast<std::int64_t>(frames);
    auto buffer =
        std::make_shared<const PulseSampleBuffer>(std::move(samples), spec_.rate, spec_.channels);
    StreamOutput* output = record.output;
    const StreamOutputType type = record.type;
    record.queue->async(
        [output, buffer, type] { output->streamDidOutputSampleBuffer(*buffer, type); });
  }

  // Lock held (main loop thread).
  void skip(Record& record, std::size_t bytes) {
    if (!capturing_ || stopping_) return;
    record.framesPassed += static_cast<std::int64_t>(bytes / pa_frame_size(&spec_));
  }

  PulseConnection& pulse_;
  StreamConfiguration configuration_;
  StreamDelegate& delegate_;
  std::vector<std::unique_ptr<Record>> records_;
  pa_sample_spec spec_{};
  bool started_ = false;
  // Read and written with the main loop's lock held.
  bool capturing_ = false;
  bool stopping_ = false;
  bool stopReported_ = false;
  std::chrono::steady_clock::time_point startedAt_;
};

}  // namespace

PulseConnection::PulseConnection() = default;

PulseConnection::~PulseConnection() {
  if (mainloop_ == nullptr) return;
  {
    PulseLock lock(mainloop_);
    if (context_ != nullptr) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
  }
  pa_threaded_mainloop_stop(mainloop_);
  pa_threaded_mainloop_free(mainloop_);
}

bool PulseConnection::connect() {
  if (mainloop_ == nullptr) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) return false;
    if (pa_threaded_mainloop_start(mainloop_) < 0) {
      pa_threaded_mainloop_free(mainloop_);
      mainloop_ = nullptr;
      return false;
    }
  }
  PulseLock lock(mainloop_);
  if (context_ != nullptr && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
    // A connection that failed or ended is not reused; a new one may find the server back.
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  if (context_ == nullptr) {
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "velmaris-audio-probe");
    if (context_ == nullptr) return false;
    pa_context_set_state_callback(
        context_,
        [](pa_context*, void* mainloop) {
          signalMainloop(static_cast<pa_threaded_mainloop*>(mainloop));
        },
        mainloop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return false;
  }
  for (;;) {
    const auto state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY) return true;
    if (!PA_CONTEXT_IS_GOOD(state)) return false;
    pa_threaded_mainloop_wait(mainloop_);
  }
}

std::vector<PulseSource> PulseConnection::sources() {
  struct Listing {
    pa_threaded_mainloop* mainloop;
    std::vector<PulseSource> sources;
  };
  if (!connect()) return {};
  PulseLock lock(mainloop_);
  Listing listing{mainloop_, {}};
  awaitOperation(
      mainloop_,
      pa_context_get_source_info_list(
          context_,
          [](pa_context*, const pa_source_info* info, int last, void* userdata) {
            auto* listing = static_cast<Listing*>(userdata);
            if (last == 0 && info != nullptr) {
              listing->sources.push_back(PulseSource{info->name ? info->name : "",
                                                     info->description ? info->description : "",
                                                     info->monitor_of_sink != PA_INVALID_INDEX});
            }
            if (last != 0) signalMainloop(listing->mainloop);
          },
          &listing));
  return listing.sources;
}

std::optional<std::string> PulseConnection::defaultSinkMonitor() {
  struct Lookup {
    pa_threaded_mainloop* mainloop;
    std::optional<std::string> value;
  };
  if (!connect()) return std::nullopt;
  PulseLock lock(mainloop_);
  Lookup sink{mainloop_, std::nullopt};
  awaitOperation(mainloop_, pa_context_get_server_info(
                                context_,
                                [](pa_context*, const pa_server_info* info, void* userdata) {
                                  auto* lookup = static_cast<Lookup*>(userdata);
                                  if (info != nullptr && info->default_sink_name != nullptr) {
                                    lookup->value = info->default_sink_name;
                                  }
                                  signalMainloop(lookup->mainloop);
                                },
                                &sink));
  if (!sink.value) return std::nullopt;
  Lookup monitor{mainloop_, std::nullopt};
  awaitOperation(mainloop_,
                 pa_context_get_sink_info_by_name(
                     context_, sink.value->c_str(),
                     [](pa_context*, const pa_sink_info* info, int last, void* userdata) {
                       auto* lookup = static_cast<Lookup*>(userdata);
                       if (last == 0 && info != nullptr && info->monitor_source_name != nullptr) {
                         lookup->value = info->monitor_source_name;
                       }
                       if (last != 0) signalMainloop(lookup->mainloop);
                     },
                     &monitor));
  return monitor.value;
}

std::unique_ptr<CaptureStream> PulseConnection::makeStream(const StreamConfiguration& configuration,
                                                           StreamDelegate& delegate) {
  return std::make_unique<PulseCaptureStream>(*this, configuration, delegate);
}

}  // namespace velmaris::platform
