// The capture run, step by step. A CaptureFailure is thrown wherever a check fails and
// caught once at the bottom of main(), which stops the stream, closes the sink's files
// (leaving what was written) and prints the failed report. Any other exception, including
// a failure the platform reported, is a "capture_failed".
#include "probe/audio_probe.h"

#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>

#include "common/json_writer.h"
#include "probe/audio_sink.h"
#include "probe/capture_failure.h"

namespace velmaris::probe {
namespace {

using platform::StreamOutputType;

// Thrown for an error the platform reported; reported as "capture_failed".
struct PlatformFailure {
  platform::PlatformError error;
};

struct CaptureRequest {
  std::string source;
  double seconds = 0;
  std::string outputDirectory;  // without a trailing "/"
  std::optional<std::string> microphoneDeviceID;
};

// The whole text as a floating-point number, in the forms strtod reads (decimal, hex,
// "inf", "nan"); leading white space, which strtod would skip, is refused.
std::optional<double> parseDouble(const std::string& text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

// The path as a directory path: trailing "/" removed, except from the root itself.
std::string directoryPath(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The command line of a capture, checked rule by rule; the first rule broken ends it.
CaptureRequest validate(const std::vector<std::string>& arguments,
                        platform::AudioCapture& platform) {
  if (arguments.size() != 3 && arguments.size() != 4) throw CaptureFailure::invalidArguments;
  CaptureRequest request;
  request.source = arguments[0];
  if (request.source != "system" && request.source != "microphone" && request.source != "both") {
    throw CaptureFailure::invalidArguments;
  }
  const auto seconds = parseDouble(arguments[1]);
  if (!seconds) throw CaptureFailure::invalidArguments;
  if (!std::isfinite(*seconds) || *seconds < 1.0 || *seconds > 30.0)
    throw CaptureFailure::invalidArguments;
  request.seconds = *seconds;
  if (arguments[2].empty() || arguments[2].front() != '/') throw CaptureFailure::invalidArguments;
  request.outputDirectory = directoryPath(arguments[2]);
  if (request.source == "system") {
    if (arguments.size() != 3) throw CaptureFailure::invalidArguments;
    return request;
  }
  if (arguments.size() != 4) throw CaptureFailure::invalidArguments;
  bool known = false;
  for (const auto& device : platform.microphoneDevices())
    known = known || device.uniqueID == arguments[3];
  if (!known) throw CaptureFailure::invalidArguments;
  request.microphoneDeviceID = arguments[3];
  return request;
}

std::vector<std::string> requiredKeys(const std::string& source) {
  if (source == "both") return {"system", "microphone"};
  return {source};
}

void throwIfError(const std::optional<platform::PlatformError>& error) {
  if (error) throw PlatformFailure{*error};
}

nlohmann::json deviceListReport(platform::AudioCapture& platform) {
  nlohmann::json devices = nlohmann::json::array();
  for (const auto& device : platform.microphoneDevices()) {
    devices.push_back({{"id", device.uniqueID}, {"name", device.localizedName}});
  }
  return {{"state", "device_list"}, {"capture_started", false}, {"devices", std::move(devices)}};
}

nlohmann::json failedReport(std::string_view errorCode) {
  return {{"state", "failed"},
          {"error_code", errorCode},
          {"partial_files_possible", true},
          {"speaker_output_verified", false}};
}

}  // namespace

std::string iso8601Now() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  const auto length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, length);
}

void AudioProbe::emit(const nlohmann::json& report, const ReportPrinter& print) {
  const auto text = writeJSON(report);
  if (!text) return;
  print(*text + "\n");
}

int AudioProbe::main(const std::vector<std::string>& arguments, platform::AudioCapture& platform,
                     const ReportPrinter& print) {
  // Both permissions are read on every run, whatever it goes on to do.
  const bool screenAllowed = platform.preflightScreenCaptureAccess();
  const bool microphoneAllowed =
      platform.microphoneAuthorizationStatus() == platform::authorizationStatusAuthorized;

  if (arguments == std::vector<std::string>{"--list-devices"}) {
    emit(deviceListReport(platform), print);
    return 0;
  }
  if (arguments == std::vector<std::string>{"--check"}) {
    emit({{"state", "permission_check"},
          {"screen_capture_allowed", screenAllowed},
          {"microphone_allowed", microphoneAllowed},
          {"capture_started", false},
          {"microphone_mode_requires_screen_permission_in_probe", true}},
         print);
    return 0;
  }

  // The sink before the stream: the stream refers to it and must go first.
  std::unique_ptr<AudioSink> sink;
  std::unique_ptr<platform::CaptureStream> stream;
  std::string errorCode;
  try {
    const CaptureRequest request = validate(arguments, platform);

    // Screen recording is needed for every source, the microphone only when it is captured.
    if (!screenAllowed) throw CaptureFailure::permissionRequired;
    if (request.source != "system" && !microphoneAllowed) throw CaptureFailure::permissionRequired;

    if (mkdir(request.outputDirectory.c_str(), 0700) != 0) throw CaptureFailure::writeFailed;

    auto content = platform.shareableContent(false, true);
    if (auto* error = std::get_if<platform::PlatformError>(&content)) throw PlatformFailure{*error};
    const auto& displays = std::get<platform::ShareableContent>(content).displays;
    if (displays.empty()) throw CaptureFailure::noDisplay;

    platform::StreamConfiguration configuration;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = std::chrono::seconds(1);
    configuration.capturesAudio = request.source != "microphone";
    configuration.captureMicrophone = request.source != "system";
    configuration.microphoneCaptureDeviceID = request.microphoneDeviceID;
    configuration.sampleRate = 48000;
    configuration.channelCount = 2;

    sink = std::make_unique<AudioSink>(request.outputDirectory, request.seconds);
    stream = platform.makeStream(displays.front(), configuration, *sink);
    if (!stream) throw PlatformFailure{};

    // No screen output is added, so no video reaches the program.
    if (configuration.capturesAudio) {
      throwIfError(stream->addStreamOutput(*sink, StreamOutputType::audio, sink->queue()));
    }
    if (configuration.captureMicrophone) {
      throwIfError(stream->addStreamOutput(*sink, StreamOutputType::microphone, sink->queue()));
    }

    const std::string startedAt = iso8601Now();
    throwIfError(stream->startCapture());
    const auto duration =
        std::chrono::nanoseconds(static_cast<std::int64_t>(request.seconds * 1e9));
    if (!platform.wait(duration)) throw PlatformFailure{};
    throwIfError(stream->stopCapture());
    stream.reset();

    const AudioSink::Collected collected = sink->closeFilesAndReadState();
    if (collected.failure) throw *collected.failure;
    const auto keys = requiredKeys(request.source);
    for (const auto& key : keys) {
      const auto found = collected.frames.find(key);
      if (found == collected.frames.end() || found->second == 0) throw CaptureFailure::noSamples;
    }
    nlohmann::json measurements = sink->measurements(keys);

    emit({{"state", "captured"},
          {"source", request.source},
          {"started_at", startedAt},
          {"completed_at", iso8601Now()},
          {"requested_seconds", request.seconds},
          {"frames", collected.frames},
          {"measurements", std::move(measurements)},
          {"microphone_device_id", request.microphoneDeviceID.value_or("none")},
          {"output_directory", request.outputDirectory},
          {"speaker_output_verified", false}},
         print);
    return 0;
  } catch (const CaptureFailure failure) {
    errorCode = rawValue(failure);
  } catch (...) {
    errorCode = "capture_failed";
  }

  // The failure path: whatever was written stays where it is.
  if (stream) (void)stream->stopCapture();
  if (sink) sink->closeFiles();
  emit(failedReport(errorCode), print);
  return 1;
}

}  // namespace velmaris::probe
