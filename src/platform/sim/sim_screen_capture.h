// The simulated screen capture: capturable windows, screens and the behaviour of every
// asynchronous answer, edited directly by tests. Answers really come from threads of their
// own (joined when this state goes), after an optional delay, or never; frames go through the
// queue the caller handed over. Tests edit the state on their own thread between requests,
// or from beforeCall, which runs on the calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/screen_capture.h"

namespace velmaris::platform::sim {

// How one asynchronous call answers.
struct SimAnswer {
  bool arrives = true;  // false: the completion is never called
  bool withValue = true;  // the content query only: whether content comes with the answer
  std::optional<ScreenCaptureError> error;
  std::chrono::milliseconds delay{0};

  static SimAnswer never() { return SimAnswer{false, false, std::nullopt, {}}; }
  static SimAnswer failing(std::string domain, std::int64_t code, bool withValue = false) {
    return SimAnswer{true, withValue, ScreenCaptureError{std::move(domain), code}, {}};
  }
  static SimAnswer after(std::chrono::milliseconds delay) {
    return SimAnswer{true, true, std::nullopt, delay};
  }
};

// One sample a started stream delivers, in order. By default a complete frame of the
// configured size filled with `fill` (blue, green, red, unused).
struct SimFrame {
  SampleOutputType type = SampleOutputType::screen;
  bool valid = true;
  std::optional<std::int64_t> status = frameStatusComplete;  // absent: no attachment
  bool hasImageBuffer = true;
  std::int32_t conversionStatus = 0;  // non-zero: turning it into an image fails so
  std::uint32_t fill = 0x00336699;
  std::chrono::milliseconds delay{0};  // after the previous sample
};

class SimScreenCapture {
 public:
  SimScreenCapture() = default;
  ~SimScreenCapture();  // waits for every answer still under way
  SimScreenCapture(const SimScreenCapture&) = delete;
  SimScreenCapture& operator=(const SimScreenCapture&) = delete;

  std::vector<ScreenDisplay> screens = {ScreenDisplay{1, ScreenRect{0, 0, 1920, 1200}}};
  std::vector<CapturableWindow> windows;  // what the content query hands over

  SimAnswer content;
  std::optional<ScreenCaptureError> addOutputError;
  SimAnswer start;
  SimAnswer stop;
  std::vector<SimFrame> frames = {SimFrame{}};

  // Runs on the calling thread before every call, with the call's name; counts by name.
  std::function<void(const std::string& call)> beforeCall;
  std::map<std::string, int> calls;

  // What the last stream was made with.
  std::optional<WindowContentFilter> lastFilter;
  std::optional<WindowStreamConfiguration> lastConfiguration;
  std::string lastQueueLabel;

  // A window the content query lists, owned by `pid`.
  CapturableWindow& addWindow(std::uint32_t windowID, std::int32_t pid, ScreenRect frame,
                              std::optional<std::string> title);

  // The backend a Platform holds. Its preflight answers `allowed`, read at every call.
  std::unique_ptr<ScreenCapture> backend(const bool& allowed);

 private:
  friend class SimScreenCaptureBackend;
  friend class SimWindowStream;
  void touch(const std::string& call);
  // Runs `task` on a thread of its own.
  void spawn(std::function<void()> task);

  std::mutex threadsMutex_;
  std::vector<std::thread> threads_;
};

}  // namespace velmaris::platform::sim
