// The audio probe's backend on a Linux desktop: the X display for the screen permission and
// the displays, the sound server for the microphone permission, devices and capture.
#pragma once

#include <memory>

#include "platform/audio_capture.h"

namespace velmaris::platform {

std::unique_ptr<AudioCapture> makeLinuxAudioCapture();

}  // namespace velmaris::platform
