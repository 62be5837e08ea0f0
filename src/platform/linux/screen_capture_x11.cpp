// The X11 screen capture backend. Every asynchronous call runs on a worker thread of its own
// and answers from there; a stream's worker finds the window's top-level frame, waits for a
// freshly shown window to paint, reads its pixels once and hands that one complete frame to
// the outputs' queues. Every wait of a worker ends by the deadline of the request that started
// it, or at once when its stream is stopped; workers are joined when the backend goes, after
// the display has ended their waits.
#include "platform/linux/screen_capture_x11.h"

#include <xcb/xcb.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/x11_capture_display.h"

namespace velmaris::platform {

namespace linux_desktop {
namespace {

// Threads for the asynchronous answers. Finished ones are joined whenever another starts, the
// rest when the backend goes, so none outlives the display it uses.
class Workers {
 public:
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() {
    std::vector<Worker> all;
    {
      std::lock_guard lock(mutex_);
      all.swap(workers_);
    }
    for (auto& w : all) w.thread.join();
  }

  void run(std::function<void()> task) {
    std::lock_guard lock(mutex_);
    std::erase_if(workers_, [](Worker& w) {
      if (!*w.done) return false;
      w.thread.join();
      return true;
    });
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back(Worker{std::thread([task = std::move(task), done] {
                                task();
                                *done = true;
                              }),
                              done});
  }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex mutex_;
  std::vector<Worker> workers_;
};

// One frame as read: the picture, or the X error that kept it from being read.
class X11Sample final : public ScreenSample {
 public:
  X11Sample(std::int32_t status, std::shared_ptr<const WindowImage> image)
      : status_(status), image_(std::move(image)) {}
  bool isValid() const override { return true; }
  std::optional<std::int64_t> frameStatus() const override { return frameStatusComplete; }
  bool hasImageBuffer() const override { return true; }
  std::int32_t createImage(std::shared_ptr<const WindowImage>& image) const override {
    if (status_ != 0) return status_;
    image = image_;
    return 0;
  }

 private:
  std::int32_t status_;
  std::shared_ptr<const WindowImage> image_;
};

class X11WindowStream final : public WindowCaptureStream,
                              public std::enable_shared_from_this<X11WindowStream> {
 public:
  X11WindowStream(std::shared_ptr<X11CaptureDisplay> display, Workers& workers,
                  std::shared_ptr<const RequestTime> requestTime,
                  const WindowContentFilter& filter, const WindowStreamConfiguration& configuration)
      : display_(std::move(display)),
        workers_(workers),
        requestTime_(std::move(requestTime)),
        client_(filter.window.windowID),
        configuration_(configuration) {
    // The content alone, in the frame's coordinates.
    if (filter.contentOnly && filter.window.contentFrame) {
      const ScreenRect& content = *filter.window.contentFrame;
      area_ = ScreenRect{content.x - filter.window.frame.x, content.y - filter.window.frame.y,
                         content.width, content.height};
    }
  }

  std::optional<ScreenCaptureError> addStreamOutput(std::shared_ptr<ScreenStreamOutput> output,
                                                    SampleOutputType type,
                                                    std::shared_ptr<SerialQueue> queue) override {
    std::lock_guard lock(mutex_);
    if (!output || !queue || started_) return ScreenCaptureError{x11ErrorDomain, xBadMatch};
    outputs_.push_back(Output{type, std::move(output), std::move(queue)});
    return std::nullopt;
  }

  void startCapture(CaptureCompletion completion) override {
    bool again = false;
    {
      std::lock_guard lock(mutex_);
      again = started_;
      started_ = running_ = !again;
    }
    if (again) {
      workers_.run([completion = std::move(completion)] {
        completion(ScreenCaptureError{x11ErrorDomain, xBadMatch});
      });
      return;
    }
    workers_.run([self = shared_from_this(), completion = std::move(completion),
                  deadline = deadlineOf(*requestTime_)] { self->run(completion, deadline); });
  }

  void stopCapture(CaptureCompletion completion) override {
    stopping_ = true;
    workers_.run([self = shared_from_this(), completion = std::move(completion)] {
      {
        std::unique_lock lock(self->mutex_);
        self->finished_.wait(lock, [&] { return !self->running_; });
      }
      completion(std::nullopt);
    });
  }

 private:
  struct Output {
    SampleOutputType type;
    std::shared_ptr<ScreenStreamOutput> output;
    std::shared_ptr<SerialQueue> queue;
  };

  void run(const CaptureCompletion& completion, Deadline deadline) {
    xcb_window_t frame = 0;
    if (auto error = display_->viewableFrame(client_, deadline, stopping_, frame)) {
      finish();
      completion(error);
      return;
    }
    completion(std::nullopt);
    display_->waitUntilPainted(frame, deadline, stopping_);
    if (!stopping_) {
      std::shared_ptr<const WindowImage> image;
      const std::int32_t status = display_->readFrame(
          frame, area_, configuration_.width, configuration_.height, deadline, stopping_, image);
      auto sample = std::make_shared<X11Sample>(status, std::move(image));
      std::lock_guard lock(mutex_);
      // Checked under the lock that the stop's wait takes: once it is confirmed, nothing more
      // is handed to any queue.
      if (!stopping_) {
        for (const Output& o : outputs_) {
          if (o.type != SampleOutputType::screen) continue;
          o.queue->async([output = o.output, sample] {
            output->streamDidOutputSample(*sample, SampleOutputType::screen);
          });
        }
      }
    }
    finish();
  }

  void finish() {
    {
      std::lock_guard lock(mutex_);
      running_ = false;
    }
    finished_.notify_all();
  }

  const std::shared_ptr<X11CaptureDisplay> display_;
  Workers& workers_;
  const std::shared_ptr<const RequestTime> requestTime_;
  const xcb_window_t client_;
  std::optional<ScreenRect> area_;
  const WindowStreamConfiguration configuration_;
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<Output> outputs_;
  bool started_ = false;
  bool running_ = false;
  std::atomic<bool> stopping_{false};
};

class X11ScreenCapture final : public ScreenCapture {
 public:
  explicit X11ScreenCapture(std::shared_ptr<const RequestTime> requestTime)
      : requestTime_(std::move(requestTime)), display_(std::make_shared<X11CaptureDisplay>()) {}
  // Ends the workers' waits before they are joined.
  ~X11ScreenCapture() override { display_->close(); }

  bool preflightScreenCaptureAccess() override {
    return display_->captureAllowed(deadlineOf(*requestTime_));
  }

  std::vector<ScreenDisplay> screens() override {
    return display_->monitors(deadlineOf(*requestTime_));
  }

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override {
    workers_.run([display = display_, excludingDesktopWindows, onScreenWindowsOnly,
                  deadline = deadlineOf(*requestTime_), completion = std::move(completion)] {
      auto content = std::make_shared<CapturableContent>();
      if (auto error = display->windows(excludingDesktopWindows, onScreenWindowsOnly, deadline,
                                        content->windows)) {
        completion(nullptr, error);
        return;
      }
      content->displays = display->monitors(deadline);
      completion(std::move(content), std::nullopt);
    });
  }

  std::shared_ptr<WindowCaptureStream> makeStream(
      const WindowContentFilter& filter, const WindowStreamConfiguration& configuration) override {
    return std::make_shared<X11WindowStream>(display_, workers_, requestTime_, filter,
                                             configuration);
  }

 private:
  const std::shared_ptr<const RequestTime> requestTime_;
  std::shared_ptr<X11CaptureDisplay> display_;
  Workers workers_;  // declared last: joined before the display can go
};

}  // namespace
}  // namespace linux_desktop

std::unique_ptr<ScreenCapture> makeX11ScreenCapture(std::shared_ptr<const RequestTime> requestTime) {
  return std::make_unique<linux_desktop::X11ScreenCapture>(std::move(requestTime));
}

}  // namespace velmaris::platform
