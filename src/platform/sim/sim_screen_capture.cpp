// The simulated screen capture's backend and streams. Everything a call needs is copied on
// the calling thread, so the answering threads never read the state that tests edit.
#include "platform/sim/sim_screen_capture.h"

#include <atomic>

namespace velmaris::platform::sim {

SimScreenCapture::~SimScreenCapture() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(threadsMutex_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
}

CapturableWindow& SimScreenCapture::addWindow(std::uint32_t windowID, std::int32_t pid,
                                              ScreenRect frame, std::optional<std::string> title) {
  CapturableWindow w;
  w.windowID = windowID;
  w.owningApplicationPID = pid;
  w.frame = frame;
  w.title = std::move(title);
  w.onScreen = true;
  windows.push_back(std::move(w));
  return windows.back();
}

void SimScreenCapture::touch(const std::string& call) {
  ++calls[call];
  if (beforeCall) beforeCall(call);
}

void SimScreenCapture::spawn(std::function<void()> task) {
  std::lock_guard lock(threadsMutex_);
  threads_.emplace_back(std::move(task));
}

namespace {

class SimSample final : public ScreenSample {
 public:
  SimSample(const SimFrame& frame, std::int32_t width, std::int32_t height)
      : frame_(frame), width_(width), height_(height) {}

  bool isValid() const override { return frame_.valid; }
  std::optional<std::int64_t> frameStatus() const override { return frame_.status; }
  bool hasImageBuffer() const override { return frame_.hasImageBuffer; }
  std::int32_t createImage(std::shared_ptr<const WindowImage>& image) const override {
    if (frame_.conversionStatus != 0) return frame_.conversionStatus;
    auto made = std::make_shared<WindowImage>();
    made->width = width_;
    made->height = height_;
    made->bytesPerRow = std::size_t(width_) * 4;
    made->pixels.resize(made->bytesPerRow * std::size_t(height_));
    for (std::size_t i = 0; i + 3 < made->pixels.size(); i += 4) {
      made->pixels[i] = std::uint8_t(frame_.fill);
      made->pixels[i + 1] = std::uint8_t(frame_.fill >> 8);
      made->pixels[i + 2] = std::uint8_t(frame_.fill >> 16);
      made->pixels[i + 3] = 0xff;
    }
    image = std::move(made);
    return 0;
  }

 private:
  SimFrame frame_;
  std::int32_t width_;
  std::int32_t height_;
};

struct Output {
  std::shared_ptr<ScreenStreamOutput> output;
  std::shared_ptr<SerialQueue> queue;
};

}  // namespace

class SimWindowStream final : public WindowCaptureStream,
                              public std::enable_shared_from_this<SimWindowStream> {
 public:
  SimWindowStream(SimScreenCapture& state, WindowStreamConfiguration configuration)
      : state_(state), configuration_(configuration) {}

  std::optional<ScreenCaptureError> addStreamOutput(std::shared_ptr<ScreenStreamOutput> output,
                                                    SampleOutputType,
                                                    std::shared_ptr<SerialQueue> queue) override {
    state_.touch("addStreamOutput");
    state_.lastQueueLabel = queue ? queue->label() : std::string();
    if (state_.addOutputError) return state_.addOutputError;
    outputs_.push_back(Output{std::move(output), std::move(queue)});
    return std::nullopt;
  }

  void startCapture(CaptureCompletion completion) override {
    state_.touch("startCapture");
    const SimAnswer answer = state_.start;
    std::vector<SimFrame> frames = state_.frames;
    auto self = shared_from_this();
    state_.spawn([self, answer, frames = std::move(frames), completion = std::move(completion)] {
      std::this_thread::sleep_for(answer.delay);
      if (!answer.arrives) return;
      completion(answer.error);
      if (answer.error) return;
      for (const SimFrame& frame : frames) {
        std::this_thread::sleep_for(frame.delay);
        if (self->stopped_) return;
        auto sample = std::make_shared<SimSample>(frame, self->configuration_.width,
                                                  self->configuration_.height);
        for (const Output& o : self->outputs_) {
          o.queue->async([output = o.output, sample, type = frame.type] {
            output->streamDidOutputSample(*sample, type);
          });
        }
      }
    });
  }

  void stopCapture(CaptureCompletion completion) override {
    state_.touch("stopCapture");
    const SimAnswer answer = state_.stop;
    auto self = shared_from_this();
    state_.spawn([self, answer, completion = std::move(completion)] {
      self->stopped_ = true;
      std::this_thread::sleep_for(answer.delay);
      if (answer.arrives) completion(answer.error);
    });
  }

 private:
  SimScreenCapture& state_;
  const WindowStreamConfiguration configuration_;
  std::vector<Output> outputs_;  // set up before the stream starts, read-only afterwards
  std::atomic<bool> stopped_{false};
};

class SimScreenCaptureBackend final : public ScreenCapture {
 public:
  SimScreenCaptureBackend(SimScreenCapture& state, const bool& allowed)
      : state_(state), allowed_(allowed) {}

  bool preflightScreenCaptureAccess() override {
    state_.touch("preflightScreenCaptureAccess");
    return allowed_;
  }

  std::vector<ScreenDisplay> screens() override {
    state_.touch("screens");
    return state_.screens;
  }

  void getShareableContent(bool, bool, ContentCompletion completion) override {
    state_.touch("getShareableContent");
    const SimAnswer answer = state_.content;
    auto content = std::make_shared<CapturableContent>();
    content->windows = state_.windows;
    content->displays = state_.screens;
    state_.spawn([answer, content, completion = std::move(completion)] {
      std::this_thread::sleep_for(answer.delay);
      if (!answer.arrives) return;
      completion(answer.withValue ? content : nullptr, answer.error);
    });
  }

  std::shared_ptr<WindowCaptureStream> makeStream(
      const WindowContentFilter& filter, const WindowStreamConfiguration& configuration) override {
    state_.touch("makeStream");
    state_.lastFilter = filter;
    state_.lastConfiguration = configuration;
    return std::make_shared<SimWindowStream>(state_, configuration);
  }

 private:
  SimScreenCapture& state_;
  const bool& allowed_;
};

std::unique_ptr<ScreenCapture> SimScreenCapture::backend(const bool& allowed) {
  return std::make_unique<SimScreenCaptureBackend>(*this, allowed);
}

}  // namespace velmaris::platform::sim
