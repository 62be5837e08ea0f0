// The window image an observation attaches: geometry of the request, the stream settings and
// the pieces of the result. AXHelper::screenshotResult (screenshot.cpp) ties them together.
// Pure functions; request thread.
#pragma once

#include <cstdint>

#include "gui/observation/attributes.h"
#include "platform/screen_capture.h"

namespace velmaris::gui {

// Longer sides beyond this many points are scaled down to it; images never exceed it.
inline constexpr double maxCaptureDimension = 1600;

struct ImageSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The pixel size to ask for: one pixel per point, the longer side at most 1600, each side
// rounded half away from zero and at least 1.
ImageSize requestedImageSize(const Rect& bounds);

// The single-window stream settings for a window of `bounds`.
platform::WindowStreamConfiguration captureConfiguration(const Rect& bounds);

}  // namespace velmaris::gui
