// The audio sink's work on its queue: each buffer is checked, cut to what its source may
// still take, written to the source's file and only then measured, so a file can hold audio
// that the counts do not (a buffer with a NaN sample is kept on disk but not counted).
#include "probe/audio_sink.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <utility>

namespace velmaris::probe {
namespace {

using platform::AudioBuffer;
using platform::AudioCommonFormat;
using platform::AudioFormatDescription;

// Float PCM in memory, laid out as its format says: interleaved audio is one block of
// frames, deinterleaved audio one block of `capacity` samples per channel.
class PCMBuffer {
 public:
  static std::unique_ptr<PCMBuffer> make(const AudioFormatDescription& format,
                                         std::int64_t capacity) {
    if (format.commonFormat != AudioCommonFormat::float32 || format.channelCount == 0 ||
        capacity < 1) {
      return nullptr;
    }
    const auto samples = static_cast<std::uint64_t>(capacity) * format.channelCount;
    // Each block's size has to fit the 32-bit byte count of an AudioBuffer.
    if (samples * sizeof(float) > UINT32_MAX) return nullptr;
    try {
      return std::unique_ptr<PCMBuffer>(new PCMBuffer(format, capacity, samples));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }

  void setFrameLength(std::int64_t frames) { frameLength_ = std::min(frames, capacity_); }
  std::int64_t frameLength() const { return frameLength_; }

  std::vector<AudioBuffer> mutableAudioBufferList() {
    const auto channels = format_.channelCount;
    if (format_.interleaved) {
      const auto bytes = static_cast<std::uint32_t>(frameLength_ * channels * sizeof(float));
      return {AudioBuffer{channels, bytes, storage_.data()}};
    }
    std::vector<AudioBuffer> list;
    const auto bytes = static_cast<std::uint32_t>(frameLength_ * sizeof(float));
    for (std::uint32_t c = 0; c < channels; ++c)
      list.push_back(AudioBuffer{1, bytes, channelStart(c)});
    return list;
  }

  // One pointer per channel; empty unless the samples are 32-bit floats.
  std::vector<const float*> floatChannelData() {
    std::vector<const float*> pointers;
    if (format_.commonFormat != AudioCommonFormat::float32) return pointers;
    for (std::uint32_t c = 0; c < format_.channelCount; ++c) pointers.push_back(channelStart(c));
    return pointers;
  }

  // The distance between consecutive frames of one channel, in samples.
  std::size_t stride() const { return format_.interleaved ? format_.channelCount : 1; }

  // The frames as the file stores them, interleaved.
  const float* interleaved() {
    if (format_.interleaved) return storage_.data();
    const auto channels = format_.channelCount;
    interleavedCopy_.resize(static_cast<std::size_t>(frameLength_) * channels);
    for (std::uint32_t c = 0; c < channels; ++c) {
      const float* source = channelStart(c);
      for (std::int64_t f = 0; f < frameLength_; ++f)
        interleavedCopy_[f * channels + c] = source[f];
    }
    return interleavedCopy_.data();
  }

 private:
  PCMBuffer(const AudioFormatDescription& format, std::int64_t capacity, std::uint64_t samples)
      : format_(format), capacity_(capacity), storage_(samples, 0.0f) {}

  float* channelStart(std::uint32_t channel) {
    return format_.interleaved ? storage_.data() + channel
                               : storage_.data() + static_cast<std::size_t>(channel) * capacity_;
  }

  AudioFormatDescription format_;
  std::int64_t capacity_;
  std::int64_t frameLength_ = 0;
  std::vector<float> storage_;
  std::vector<float> interleavedCopy_;
};

template <typename Value>
Value valueOr(const std::map<std::string, Value>& table, const std::string& key, Value fallback) {
  const auto found = table.find(key);
  return found == table.end() ? fallback : found->second;
}

// seconds × rate, truncated toward zero; a product beyond the 64-bit range (no real
// format comes near) is held at the largest value.
std::int64_t frameLimit(double seconds, double rate) {
  const double product = std::trunc(seconds * rate);
  if (!(product < 9223372036854775807.0)) return INT64_MAX;
  return static_cast<std::int64_t>(product);
}

}  // namespace

AudioSink::AudioSink(std::string directory, double seconds)
    : queue_(std::make_unique<SerialQueue>(audioSinkQueueLabel)),
      directory_(std::move(directory)),
      seconds_(seconds) {}

AudioSink::~AudioSink() { queue_.reset(); }

void AudioSink::streamDidOutputSampleBuffer(const platform::AudioSampleBuffer& buffer,
                                            platform::StreamOutputType type) {
  consume(buffer, type);
}

void AudioSink::streamDidStopWithError(const platform::PlatformError&) {
  queue_->async([this] { failure_ = CaptureFailure::writeFailed; });
}

void AudioSink::consume(const platform::AudioSampleBuffer& buffer,
                        platform::StreamOutputType type) {
  // After the first failure nothing more is taken, from either source.
  if (failure_) return;

  std::string key;
  if (type == platform::StreamOutputType::audio) {
    key = "system";
  } else if (type == platform::StreamOutputType::microphone) {
    key = "microphone";
  } else {
    return;
  }

  const std::int64_t n = buffer.numSamples();
  const auto description = buffer.formatDescription();
  if (!buffer.dataIsReady() || n <= 0 || n > INT32_MAX || !description) {
    failure_ = CaptureFailure::invalidAudio;
    return;
  }

  // One source keeps one rate for the whole run; the two sources may differ.
  const AudioFormatDescription format = *description;
  const auto earlierRate = rates_.find(key);
  if (!std::isfinite(format.sampleRate) || format.sampleRate <= 0 ||
      format.commonFormat != AudioCommonFormat::float32 ||
      (earlierRate != rates_.end() && earlierRate->second != format.sampleRate)) {
    failure_ = CaptureFailure::invalidAudio;
    return;
  }

  // A full source drops later buffers silently.
  const std::int64_t remaining =
      frameLimit(seconds_, format.sampleRate) - valueOr<std::int64_t>(frames_, key, 0);
  if (remaining < 1) return;

  const std::int64_t count = std::min(n, remaining);
  auto pcm = PCMBuffer::make(format, count);
  if (!pcm) {
    failure_ = CaptureFailure::invalidAudio;
    return;
  }
  pcm->setFrameLength(count);
  const auto list = pcm->mutableAudioBufferList();
  if (buffer.copyPCMData(count, list) != 0) {
    failure_ = CaptureFailure::invalidAudio;
    return;
  }

  auto file = files_.find(key);
  if (file == files_.end()) {
    auto created =
        CafFile::create(directory_ + "/" + key + ".caf", format.sampleRate, format.channelCount);
    if (!created) {
      failure_ = CaptureFailure::writeFailed;
      return;
    }
    file = files_.emplace(key, std::move(created)).first;
  }
  if (!file->second->append(pcm->interleaved(), count)) {
    failure_ = CaptureFailure::writeFailed;
    return;
  }

  const auto channels = pcm->floatChannelData();
  if (channels.empty()) {
    failure_ = CaptureFailure::invalidAudio;
    return;
  }
  // Channel by channel, frame by frame, each square added at once: this order fixes the
  // exact value of the sum. The tables are updated as the samples go, so a bad sample
  // leaves the ones before it measured.
  const std::size_t stride = pcm->stride();
  float* peak = nullptr;
  double* sumSquares = nullptr;
  for (const float* channel : channels) {
    for (std::int64_t f = 0; f < count; ++f) {
      const float sample = channel[static_cast<std::size_t>(f) * stride];
      if (!std::isfinite(sample)) {
        failure_ = CaptureFailure::invalidAudio;
        return;
      }
      if (peak == nullptr) {
        peak = &peaks_.try_emplace(key, 0.0f).first->second;
        sumSquares = &sumSquares_.try_emplace(key, 0.0).first->second;
      }
      *peak = std::max(*peak, std::fabs(sample));
      const double wide = sample;
      *sumSquares += wide * wide;
    }
  }

  values_[key] += count * static_cast<std::int64_t>(format.channelCount);
  rates_[key] = format.sampleRate;
  frames_[key] += count;
}

AudioSink::Collected AudioSink::closeFilesAndReadState() {
  Collected collected;
  queue_->sync([&] {
    files_.clear();
    collected.frames = frames_;
    collected.failure = failure_;
  });
  return collected;
}

void AudioSink::closeFiles() {
  queue_->sync([&] { files_.clear(); });
}

nlohmann::json AudioSink::measurements(const std::vector<std::string>& keys) {
  nlohmann::json result = nlohmann::json::object();
  queue_->sync([&] {
    for (const auto& key : keys) {
      const double rate = valueOr(rates_, key, 0.0);
      const auto frames = valueOr<std::int64_t>(frames_, key, 0);
      const double sumSquares = valueOr(sumSquares_, key, 0.0);
      const auto values = valueOr<std::int64_t>(values_, key, 0);
      result[key] = {
          {"sample_rate", rate},
          {"duration_seconds", static_cast<double>(frames) / rate},
          {"peak", static_cast<double>(valueOr(peaks_, key, 0.0f))},
          {"rms", std::sqrt(sumSquares / static_cast<double>(values))},
      };
    }
  });
  return result;
}

AudioSink::Tables AudioSink::tables() {
  Tables copy;
  queue_->sync([&] {
    for (const auto& entry : files_) copy.openFiles.push_back(entry.first);
    copy.frames = frames_;
    copy.rates = rates_;
    copy.peaks = peaks_;
    copy.sumSquares = sumSquares_;
    copy.values = values_;
    copy.failure = failure_;
  });
  return copy;
}

}  // namespace velmaris::probe
