// Tying an accessibility window to exactly one capturable window, and turning the captured
// picture into a bounded JPEG. The two sides know windows under unrelated identities, so
// they are matched by exact agreement of process, frame and title, with no tolerance.
// Request thread only (the JPEG encoder itself is safe from any thread).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "gui/capture/frame_capture.h"
#include "gui/observation/attributes.h"

namespace velmaris::gui {

// Rectangle equality after standardising both (negative extents counted from the other edge).
bool rectsEqual(const Rect& a, const Rect& b);

bool captureMatches(std::int32_t pid, const Rect& frame, const std::optional<std::string>& title,
                    std::int32_t expectedPID, const Rect& expectedFrame,
                    const std::optional<std::string>& expectedTitle);

// Throws "capture_window_state_unavailable" (absent) or "capture_window_minimized" (true).
void requireCapturableWindow(std::optional<bool> minimized);

// The JPEG quality steps, best first (1.0 is best).
inline constexpr double jpegQualities[] = {0.75, 0.5};

// JPEG bytes of `image` at `quality`, or nothing when it cannot be encoded.
using JpegEncoder = std::function<std::optional<std::string>(const platform::WindowImage& image,
                                                             double quality)>;
std::optional<std::string> jpegData(const platform::WindowImage& image, double quality);

// The JPEG at the first quality step whose data fits in maxImageBytes, else "image_too_large".
std::string encodedCapture(const platform::WindowImage& image,
                           const JpegEncoder& encode = jpegData);

}  // namespace velmaris::gui
