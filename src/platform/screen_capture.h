// Window capture as the helper sees the platform: the capturable windows and the screens,
// and short-lived streams over one window that hand over frames. Every answer of the
// asynchronous calls arrives through its completion on a thread of the platform's choosing,
// never on the caller's, and possibly never; frames reach a stream output on the serial
// queue given with that output. The synchronous calls may be made from any one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/serial_queue.h"

namespace velmaris::platform {

// A failure as the platform reports it: the domain it comes from and an integer code.
struct ScreenCaptureError {
  std::string domain;
  std::int64_t code = 0;
};

// A rectangle in screen points, origin at the top left of the main screen.
struct ScreenRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// One window that can be captured, as the capture side names it. Its own id is unrelated to
// any accessibility identity; pid, frame and title are what tie the two together.
struct CapturableWindow {
  std::uint32_t windowID = 0;
  std::optional<std::int32_t> owningApplicationPID;  // absent: no owning application
  ScreenRect frame;
  // The window's own content where it differs from `frame`: on X11 the client window inside
  // the window manager's frame. Toolkits describe their window as one or the other.
  std::optional<ScreenRect> contentFrame;
  std::optional<std::string> title;  // absent and empty are different answers
  bool onScreen = false;
};

struct ScreenDisplay {
  std::uint32_t displayID = 0;
  ScreenRect frame;
};

// What the shareable-content query hands over.
struct CapturableContent {
  std::vector<CapturableWindow> windows;
  std::vector<ScreenDisplay> displays;
};

// A captured picture: 32-bit pixels in memory order blue, green, red, unused, rows top to
// bottom. Immutable once handed over, so shared freely between threads.
struct WindowImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::size_t bytesPerRow = 0;
  std::vector<std::uint8_t> pixels;
};

enum class CaptureResolution : std::int32_t { automatic = 0, best = 1, nominal = 2 };

struct WindowStreamConfiguration {
  std::int32_t width = 0;   // pixels of the delivered frames; the window is scaled to fit
  std::int32_t height = 0;
  bool showsCursor = true;
  bool capturesAudio = false;
  bool ignoreShadowsSingleWindow = false;
  bool ignoreGlobalClipSingleWindow = false;
  CaptureResolution captureResolution = CaptureResolution::automatic;
};

// The content of a stream: one window alone, wherever it is and whatever covers it.
struct WindowContentFilter {
  CapturableWindow window;
  bool contentOnly = false;  // the window's contentFrame alone, without the frame around it
};

// What a stream output receives; the raw values are the ones samples are tagged with.
enum class SampleOutputType : std::int32_t { screen = 0, audio = 1, microphone = 2 };

// Frame statuses a screen sample carries in its first attachment.
inline constexpr std::int64_t frameStatusComplete = 0;
inline constexpr std::int64_t frameStatusIdle = 1;
inline constexpr std::int64_t frameStatusBlank = 2;
inline constexpr std::int64_t frameStatusSuspended = 3;
inline constexpr std::int64_t frameStatusStarted = 4;
inline constexpr std::int64_t frameStatusStopped = 5;

// One sample of a screen stream. Valid only during the output call it is passed to.
class ScreenSample {
 public:
  virtual ~ScreenSample() = default;
  virtual bool isValid() const = 0;
  // The frame status of the first attachment, absent when the sample has no attachments,
  // the first has no status entry, or it is not an integer.
  virtual std::optional<std::int64_t> frameStatus() const = 0;
  virtual bool hasImageBuffer() const = 0;
  // Turns the sample's image buffer into an image: 0 and `image`, or a non-zero status.
  virtual std::int32_t createImage(std::shared_ptr<const WindowImage>& image) const = 0;
};

class ScreenStreamOutput {
 public:
  virtual ~ScreenStreamOutput() = default;
  // Called on the queue given with the output, one sample at a time.
  virtual void streamDidOutputSample(const ScreenSample& sample, SampleOutputType type) = 0;
};

// Answers of the asynchronous calls. The content is null when none came with the answer; a
// platform may hand over both content and an error.
using CaptureCompletion = std::function<void(const std::optional<ScreenCaptureError>& error)>;
using ContentCompletion = std::function<void(std::shared_ptr<const CapturableContent> content,
                                             const std::optional<ScreenCaptureError>& error)>;

// One capture stream over one window. A caller may let go of it at any time; one that runs
// keeps itself, its outputs and their queues alive until it has stopped.
class WindowCaptureStream {
 public:
  virtual ~WindowCaptureStream() = default;
  virtual std::optional<ScreenCaptureError> addStreamOutput(
      std::shared_ptr<ScreenStreamOutput> output, SampleOutputType type,
      std::shared_ptr<SerialQueue> sampleHandlerQueue) = 0;
  virtual void startCapture(CaptureCompletion completion) = 0;
  // Once confirmed, no more samples reach any output.
  virtual void stopCapture(CaptureCompletion completion) = 0;
};

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  // Whether this process may capture the screen now; never prompts.
  virtual bool preflightScreenCaptureAccess() = 0;
  // The screens attached now, main screen first.
  virtual std::vector<ScreenDisplay> screens() = 0;
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completion) = 0;
  virtual std::shared_ptr<WindowCaptureStream> makeStream(
      const WindowContentFilter& filter, const WindowStreamConfiguration& configuration) = 0;
};

}  // namespace velmaris::platform
