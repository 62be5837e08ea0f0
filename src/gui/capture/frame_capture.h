// Single-window frame capture: the platform's capture calls answer through callbacks on
// threads of its choosing; here each becomes a blocking step the request thread waits for
// under the request deadline. A CaptureResult is completed from any thread and waited for by
// the request thread; its fields are guarded by its lock, and its semaphore is signalled once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "gui/failure.h"
#include "platform/screen_capture.h"

namespace velmaris::gui {

enum class CaptureStage {
  enumerationBefore,
  enumerationAfter,
  streamSetup,
  streamStart,
  streamFrame,
  streamStop,
};

// The fixed string written into diagnostics ("shareable_content_before" ...).
std::string_view captureStageString(CaptureStage stage);

// The error domains kept as they are; any other is recorded as "other".
std::string reducedErrorDomain(std::string_view domain);

using ContentRef = std::shared_ptr<const platform::CapturableContent>;
using ImageRef = std::shared_ptr<const platform::WindowImage>;

// The outcome of one capture step. Shared between the waiting request thread and the
// callback that completes it, so a callback arriving after the wait gave up is harmless.
// Instantiated for ContentRef, bool and ImageRef.
template <typename T>
class CaptureResult {
 public:
  explicit CaptureResult(CaptureStage stage) : stage_(stage) {}
  CaptureResult(const CaptureResult&) = delete;
  CaptureResult& operator=(const CaptureResult&) = delete;

  CaptureStage stage() const { return stage_; }
  // Records the callback's outcome; callable from any thread, only the first call counts.
  void complete(std::optional<T> value, const std::optional<platform::ScreenCaptureError>& error);
  // Blocks until the outcome is recorded or the deadline's remaining time has passed.
  // Throws "deadline_exceeded" or "capture_failed" with their capture diagnostics.
  T wait(const RequestDeadline& deadline);

 private:
  std::mutex lock_;
  const CaptureStage stage_;
  std::optional<T> value_;
  bool failed_ = false;
  bool completed_ = false;
  std::optional<std::string> errorDomain_;
  std::optional<std::int64_t> errorCode_;
  std::counting_semaphore<> ready_{0};
};

extern template class CaptureResult<ContentRef>;
extern template class CaptureResult<bool>;
extern template class CaptureResult<ImageRef>;

// A failure carrying a capture diagnostic.
HelperFailure captureFailure(std::string code, nlohmann::json diagnostic);

// The capturable windows (desktop windows left out, off-screen ones included); `stage` says
// which of the two enumerations this is.
ContentRef captureContent(platform::ScreenCapture& capture, CaptureStage stage,
                          const RequestDeadline& deadline);

// The one-shot frame receiver: keeps the first complete screen frame and ignores the rest.
class SingleWindowFrameOutput final : public platform::ScreenStreamOutput {
 public:
  SingleWindowFrameOutput()
      : result(std::make_shared<CaptureResult<ImageRef>>(CaptureStage::streamFrame)) {}
  void streamDidOutputSample(const platform::ScreenSample& sample,
                             platform::SampleOutputType type) override;

  const std::shared_ptr<CaptureResult<ImageRef>> result;
};

// How long a stream is given to confirm its stop, whatever is left of the request.
inline constexpr double streamStopWaitSeconds = 0.5;
inline constexpr const char* frameQueueLabel = "vx.exact-window-frame";

// One complete frame of the filter's window: start, first complete frame, and always stop.
// The stop wait may run up to streamStopWaitSeconds past the request's deadline; `clock`
// times it.
ImageRef captureStreamFrame(platform::ScreenCapture& capture,
                            const platform::WindowContentFilter& filter,
                            const platform::WindowStreamConfiguration& configuration,
                            const RequestDeadline& deadline, const platform::Clock& clock);

}  // namespace velmaris::gui
