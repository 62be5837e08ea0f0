// Capture window matching, the uniqueness proof on the accessibility side, and JPEG encoding
// through libturbojpeg. Frames are compared exactly: a window that moved by a fraction of a
// point is another place, and a picture of another place is never a good capture.
#include "gui/capture/window_matching.h"

#include <turbojpeg.h>

#include <cmath>

#include "gui/ax_helper.h"
#include "gui/limits.h"

namespace velmaris::gui {

bool rectsEqual(const Rect& a, const Rect& b) {
  const Rect x = standardized(a);
  const Rect y = standardized(b);
  return x.x == y.x && x.y == y.y && x.width == y.width && x.height == y.height;
}

bool captureMatches(std::int32_t pid, const Rect& frame, const std::optional<std::string>& title,
                    std::int32_t expectedPID, const Rect& expectedFrame,
                    const std::optional<std::string>& expectedTitle) {
  // Optional equality: two absent titles are equal, and absent never equals "".
  return pid == expectedPID && rectsEqual(frame, expectedFrame) && validBounds(frame) &&
         title == expectedTitle;
}

void requireCapturableWindow(std::optional<bool> minimized) {
  if (!minimized) raise("capture_window_state_unavailable");
  if (*minimized) raise("capture_window_minimized");
}

void AXHelper::requireUniqueCaptureWindow(const WindowRecord& window, const Rect& bounds,
                                          const std::optional<std::string>& title,
                                          const RequestDeadline& deadline) {
  const Element element = revalidateWindow(window, deadline);
  const auto liveBounds = elementBounds(ax(), element);
  if (!liveBounds || !rectsEqual(*liveBounds, bounds)) raise("capture_target_changed");
  if (stringAttribute(ax(), element, "AXTitle") != title) raise("capture_target_changed");
  requireCapturableWindow(boolAttribute(ax(), element, "AXMinimized"));

  const Element appElement = confirmProcess(window.process);
  int matching = 0;
  for (const Element& candidate : currentWindows(appElement, window.process.pid, deadline)) {
    deadline.check();
    const auto frame = elementBounds(ax(), candidate);
    if (!frame || !rectsEqual(*frame, bounds)) continue;
    if (stringAttribute(ax(), candidate, "AXTitle") == title) ++matching;
  }
  if (matching != 1) raise("capture_window_ambiguous");
}

std::optional<std::string> jpegData(const platform::WindowImage& image, double quality) {
  if (image.width < 1 || image.height < 1 ||
      image.bytesPerRow < std::size_t(image.width) * 4 ||
      image.pixels.size() < image.bytesPerRow * std::size_t(image.height))
    return std::nullopt;
  tjhandle handle = tjInitCompress();
  if (!handle) return std::nullopt;
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  const int status =
      tjCompress2(handle, image.pixels.data(), image.width, int(image.bytesPerRow), image.height,
                  TJPF_BGRX, &jpeg, &size, TJSAMP_420, int(std::lround(quality * 100)), 0);
  std::optional<std::string> out;
  if (status == 0 && jpeg) out.emplace(reinterpret_cast<const char*>(jpeg), size);
  tjFree(jpeg);
  tjDestroy(handle);
  return out;
}

std::string encodedCapture(const platform::WindowImage& image, const JpegEncoder& encode) {
  for (double quality : jpegQualities) {
    auto data = encode(image, quality);
    if (data && std::int64_t(data->size()) <= maxImageBytes) return std::move(*data);
  }
  raise("image_too_large");
}

}  // namespace velmaris::gui
