// AXHelper::screenshotResult: one registered window, matched to exactly one capturable
// window before and after one frame is taken, encoded as JPEG with the geometry that maps
// its pixels to screen points. Steps run strictly one after another on the request thread;
// only the capture waits inside them let other threads call back.
#include "gui/capture/screenshot.h"

#include <algorithm>
#include <cmath>

#include "common/base64.h"
#include "common/uuid.h"
#include "gui/ax_helper.h"
#include "gui/capture/frame_capture.h"
#include "gui/capture/window_matching.h"

namespace velmaris::gui {

namespace {

std::int32_t pixels(double points) {
  return std::int32_t(std::max(1.0, std::round(points)));  // std::round: halves away from zero
}

Rect rectOf(const platform::ScreenRect& r) { return Rect{r.x, r.y, r.width, r.height}; }

// A capturable window that agrees exactly with the expected window, through either of the
// rectangles of the same window: its frame, or its content within the frame, whichever the
// toolkit describes. Each window counts once, so the match is as strict as with one rectangle.
struct Candidate {
  platform::CapturableWindow window;
  bool contentOnly = false;  // matched through its content rectangle
};

std::vector<Candidate> matchingWindows(const platform::CapturableContent& content,
                                       std::int32_t pid, const Rect& bounds,
                                       const std::optional<std::string>& title) {
  std::vector<Candidate> kept;
  for (const auto& window : content.windows) {
    if (!window.owningApplicationPID) continue;
    const std::int32_t owner = *window.owningApplicationPID;
    if (captureMatches(owner, rectOf(window.frame), window.title, pid, bounds, title)) {
      kept.push_back({window, false});
    } else if (window.contentFrame && captureMatches(owner, rectOf(*window.contentFrame),
                                                     window.title, pid, bounds, title)) {
      kept.push_back({window, true});
    }
  }
  return kept;
}

}  // namespace

ImageSize requestedImageSize(const Rect& bounds) {
  const double scale = std::min(1.0, maxCaptureDimension / std::max(bounds.width, bounds.height));
  return ImageSize{pixels(bounds.width * scale), pixels(bounds.height * scale)};
}

platform::WindowStreamConfiguration captureConfiguration(const Rect& bounds) {
  const ImageSize size = requestedImageSize(bounds);
  platform::WindowStreamConfiguration configuration;
  configuration.width = size.width;
  configuration.height = size.height;
  configuration.showsCursor = false;
  configuration.capturesAudio = false;
  configuration.ignoreShadowsSingleWindow = true;
  configuration.ignoreGlobalClipSingleWindow = true;
  configuration.captureResolution = platform::CaptureResolution::nominal;
  return configuration;
}

Json AXHelper::screenshotResult(const std::string& app, std::int64_t windowID,
                                const std::string& observationID, const RequestDeadline& deadline) {
  platform::ScreenCapture* capture = platform_.screenCapture.get();
  if (!capture) raise("screen_capture_unavailable");
  if (!capture->preflightScreenCaptureAccess()) raise("screen_recording_required");
  if (capture->screens().empty()) raise("screen_capture_unavailable");

  // Copied: revalidation may prune or refresh the registry's records.
  const WindowRecord window = windows_.find(windowID, app);
  const Element element = revalidateWindow(window, deadline);
  const auto bounds = elementBounds(ax(), element);
  if (!bounds) raise("capture_window_unavailable");
  const auto title = stringAttribute(ax(), element, "AXTitle");
  requireUniqueCaptureWindow(window, *bounds, title, deadline);

  const std::int32_t pid = window.process.pid;
  ContentRef before = captureContent(*capture, CaptureStage::enumerationBefore, deadline);
  auto candidates = matchingWindows(*before, pid, *bounds, title);
  if (candidates.empty()) raise("capture_window_unavailable");
  if (candidates.size() > 1) raise("capture_window_ambiguous");
  const platform::CapturableWindow target = candidates.front().window;

  const platform::WindowContentFilter filter{target, candidates.front().contentOnly};
  ImageRef image = captureStreamFrame(*capture, filter, captureConfiguration(*bounds), deadline,
                                      clock());
  if (!image || image->width < 1 || image->height < 1 || image->width > maxCaptureDimension ||
      image->height > maxCaptureDimension)
    raise("image_too_large");

  // The picture may show another window unless the same one, alone, is still there.
  ContentRef after = captureContent(*capture, CaptureStage::enumerationAfter, deadline);
  auto remaining = matchingWindows(*after, pid, *bounds, title);
  if (remaining.size() != 1 || remaining.front().window.windowID != target.windowID ||
      remaining.front().contentOnly != filter.contentOnly)
    raise("capture_target_changed");
  requireUniqueCaptureWindow(window, *bounds, title, deadline);
  deadline.check();

  const std::string jpeg = encodedCapture(*image);
  Json content = Json::array();
  content.push_back({{"type", "image"}, {"mimeType", "image/jpeg"}, {"data", base64Encode(jpeg)}});
  Json visual = {
      {"kind", "native_window"},
      {"capture_mode", "sequential"},
      {"capture_source", "single_window_stream"},
      {"capture_id", randomUUID()},
      {"observation_id", observationID},
      {"window_id", windowID},
      {"capture_window_id", target.windowID},
      {"process_id", pid},
      {"bounds", boundsJSON(*bounds)},
      {"width", image->width},
      {"height", image->height},
      {"image_origin", "window_top_left"},
      {"coordinate_unit", "pixel"},
      {"mime_type", "image/jpeg"},
      {"bytes", jpeg.size()},
      {"scale_x", double(image->width) / bounds->width},
      {"scale_y", double(image->height) / bounds->height},
  };
  return {{"content", std::move(content)}, {"visual", std::move(visual)}};
}

}  // namespace velmaris::gui
