// Capture steps as blocking waits, the frame receiver and the stream run. Nothing is retried:
// every step either yields its value or ends the capture with a diagnostic saying how far it
// got, and a stream that was set up is always asked to stop before the run returns.
#include "gui/capture/frame_capture.h"

#include <array>
#include <chrono>
#include <exception>
#include <utility>

namespace velmaris::gui {

using platform::ScreenCaptureError;

namespace {

constexpr auto stageNames = std::to_array<std::pair<CaptureStage, std::string_view>>({
    {CaptureStage::enumerationBefore, "shareable_content_before"},
    {CaptureStage::enumerationAfter, "shareable_content_after"},
    {CaptureStage::streamSetup, "single_window_stream_setup"},
    {CaptureStage::streamStart, "single_window_stream_start"},
    {CaptureStage::streamFrame, "single_window_stream_frame"},
    {CaptureStage::streamStop, "single_window_stream_stop"},
});

constexpr auto keptDomains = std::to_array<std::string_view>({
    "com.apple.ScreenCaptureKit.SCStreamErrorDomain",
    "SCStreamErrorDomain",
    "NSOSStatusErrorDomain",
    "NSCocoaErrorDomain",
});

}  // namespace

std::string_view captureStageString(CaptureStage stage) {
  for (const auto& [s, name] : stageNames)
    if (s == stage) return name;
  return {};
}

std::string reducedErrorDomain(std::string_view domain) {
  for (auto kept : keptDomains)
    if (kept == domain) return std::string(domain);
  return "other";
}

HelperFailure captureFailure(std::string code, nlohmann::json diagnostic) {
  HelperFailure failure = helperError(std::move(code));
  failure.captureDiagnostic = std::move(diagnostic);
  return failure;
}

template <typename T>
void CaptureResult<T>::complete(std::optional<T> value,
                                const std::optional<ScreenCaptureError>& error) {
  {
    std::lock_guard guard(lock_);
    if (completed_) return;
    completed_ = true;
    value_ = std::move(value);
    failed_ = error.has_value();
    if (error) {
      errorDomain_ = reducedErrorDomain(error->domain);
      errorCode_ = error->code;
    }
  }
  ready_.release();
}

template <typename T>
T CaptureResult<T>::wait(const RequestDeadline& deadline) {
  const auto budget = std::chrono::duration<double>(deadline.remaining());
  if (!ready_.try_acquire_for(std::chrono::duration_cast<std::chrono::nanoseconds>(budget))) {
    throw captureFailure("deadline_exceeded", {{"stage", captureStageString(stage_)},
                                               {"callback_completed", false}});
  }
  std::lock_guard guard(lock_);
  if (!failed_ && value_) return *value_;
  nlohmann::json diagnostic = {{"stage", captureStageString(stage_)},
                               {"callback_value_present", value_.has_value()}};
  if (errorDomain_) diagnostic["error_domain"] = *errorDomain_;
  if (errorCode_) diagnostic["error_code"] = *errorCode_;
  throw captureFailure("capture_failed", std::move(diagnostic));
}

template class CaptureResult<ContentRef>;
template class CaptureResult<bool>;
template class CaptureResult<ImageRef>;

ContentRef captureContent(platform::ScreenCapture& capture, CaptureStage stage,
                          const RequestDeadline& deadline) {
  auto result = std::make_shared<CaptureResult<ContentRef>>(stage);
  capture.getShareableContent(
      true, false, [result](ContentRef content, const std::optional<ScreenCaptureError>& error) {
        // Content that did not come counts as no value, like a null object would.
        result->complete(content ? std::optional<ContentRef>(std::move(content)) : std::nullopt,
                         error);
      });
  return result->wait(deadline);
}

void SingleWindowFrameOutput::streamDidOutputSample(const platform::ScreenSample& sample,
                                                    platform::SampleOutputType type) {
  if (type != platform::SampleOutputType::screen || !sample.isValid()) return;
  // Idle, blank, suspended, started and stopped frames carry no new picture.
  const auto status = sample.frameStatus();
  if (!status || *status != platform::frameStatusComplete) return;
  if (!sample.hasImageBuffer()) return;
  std::shared_ptr<const platform::WindowImage> image;
  const std::int32_t converted = sample.createImage(image);
  if (converted == 0 && image) {
    result->complete(std::move(image), std::nullopt);
  } else {
    result->complete(std::nullopt, ScreenCaptureError{"NSOSStatusErrorDomain", converted});
  }
}

namespace {

// A step's completion handler for calls that answer with an error or nothing.
platform::CaptureCompletion completes(std::shared_ptr<CaptureResult<bool>> result) {
  return [result = std::move(result)](const std::optional<ScreenCaptureError>& error) {
    if (error) {
      result->complete(std::nullopt, error);
    } else {
      result->complete(true, std::nullopt);
    }
  };
}

}  // namespace

ImageRef captureStreamFrame(platform::ScreenCapture& capture,
                            const platform::WindowContentFilter& filter,
                            const platform::WindowStreamConfiguration& configuration,
                            const RequestDeadline& deadline, const platform::Clock& clock) {
  auto output = std::make_shared<SingleWindowFrameOutput>();
  std::shared_ptr<platform::WindowCaptureStream> stream = capture.makeStream(filter, configuration);
  // A stream that cannot be set up was never started and needs no stop.
  auto setupFailed = [&](const std::optional<ScreenCaptureError>& error) {
    CaptureResult<bool> setup(CaptureStage::streamSetup);
    setup.complete(std::nullopt, error);
    setup.wait(deadline);  // completed without a value: throws "capture_failed"
    throw captureFailure("capture_failed", {{"stage", captureStageString(CaptureStage::streamSetup)}});
  };
  if (!stream) setupFailed(std::nullopt);
  // Each capture has a queue of its own, so a late frame of an earlier capture never waits
  // in line before this one's.
  auto queue = std::make_shared<SerialQueue>(frameQueueLabel);
  if (auto error = stream->addStreamOutput(output, platform::SampleOutputType::screen, queue))
    setupFailed(error);

  ImageRef image;
  std::exception_ptr remembered;
  std::optional<std::string> rememberedCode;
  try {
    auto started = std::make_shared<CaptureResult<bool>>(CaptureStage::streamStart);
    stream->startCapture(completes(started));
    started->wait(deadline);
    image = output->result->wait(deadline);
  } catch (const HelperFailure& failure) {
    remembered = std::current_exception();
    rememberedCode = failure.code;
  } catch (...) {
    remembered = std::current_exception();
  }

  auto stopped = std::make_shared<CaptureResult<bool>>(CaptureStage::streamStop);
  stream->stopCapture(completes(stopped));
  try {
    stopped->wait(RequestDeadline(clock, streamStopWaitSeconds));
  } catch (const HelperFailure& stopFailure) {
    nlohmann::json diagnostic = stopFailure.captureDiagnostic.value_or(
        nlohmann::json{{"stage", captureStageString(CaptureStage::streamStop)}});
    diagnostic["cleanup_confirmed"] = false;
    if (rememberedCode) diagnostic["original_capture_error"] = *rememberedCode;
    throw captureFailure("capture_cleanup_unconfirmed", std::move(diagnostic));
  }
  if (remembered) std::rethrow_exception(remembered);
  return image;
}

}  // namespace velmaris::gui
