// The probe's one error type. Raised (thrown) by the capture run and recorded by the audio
// sink; caught once, at the top of the run, where its raw value becomes the failed report's
// "error_code".
#pragma once

#include <string_view>

namespace velmaris::probe {

enum class CaptureFailure {
  invalidArguments,
  permissionRequired,
  noDisplay,
  invalidAudio,
  writeFailed,
  noSamples,
};

constexpr std::string_view rawValue(CaptureFailure failure) {
  switch (failure) {
    case CaptureFailure::invalidArguments:
      return "invalidArguments";
    case CaptureFailure::permissionRequired:
      return "permissionRequired";
    case CaptureFailure::noDisplay:
      return "noDisplay";
    case CaptureFailure::invalidAudio:
      return "invalidAudio";
    case CaptureFailure::writeFailed:
      return "writeFailed";
    case CaptureFailure::noSamples:
      return "noSamples";
  }
  return "capture_failed";
}

}  // namespace velmaris::probe
