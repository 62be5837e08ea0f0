// The simulated window server's state changes and the backend that serves it.
#include "platform/sim/sim_window_server.h"

#include <algorithm>

#include "platform/sim/sim_desktop.h"

namespace velmaris::platform::sim {

void SimWindowServer::touch(const std::string& call) {
  ++calls[call];
  if (beforeCall) beforeCall(call);
}

// Applies every request whose slices have run out.
void SimWindowServer::settle() {
  for (const Pending& p : unhides_)
    if (p.slicesLeft <= 0) hidden.erase(p.pid);
  std::erase_if(unhides_, [](const Pending& p) { return p.slicesLeft <= 0; });
  if (activation_ && activation_->slicesLeft <= 0) {
    activePid = activation_->pid;
    activation_.reset();
  }
}

class SimWindowServerBackend final : public WindowServer {
 public:
  SimWindowServerBackend(SimWindowServer& s, TestClock& clock) : s_(s), clock_(clock) {}

  bool isHidden(std::int32_t pid) override {
    s_.touch("isHidden");
    return s_.hidden.count(pid) != 0;
  }
  bool isActive(std::int32_t pid) override {
    s_.touch("isActive");
    return s_.activePid == pid;
  }
  void unhide(std::int32_t pid) override {
    s_.touch("unhide");
    if (!s_.revealAfterSlices) return;
    s_.unhides_.push_back({pid, *s_.revealAfterSlices});
    s_.settle();
  }
  void activate(std::int32_t pid) override {
    s_.touch("activate");
    if (!s_.revealAfterSlices) return;
    s_.activation_ = SimWindowServer::Pending{pid, *s_.revealAfterSlices};
    s_.settle();
  }
  void runLoopFor(double seconds) override {
    s_.touch("runLoopFor");
    clock_.advance(seconds);
    for (auto& p : s_.unhides_) --p.slicesLeft;
    if (s_.activation_) --s_.activation_->slicesLeft;
    s_.settle();
  }
  std::vector<OnScreenWindow> onScreenWindows() override {
    s_.touch("onScreenWindows");
    std::vector<OnScreenWindow> list;
    if (!s_.listReadable) return list;
    for (const SimWindow& w : s_.windows)
      if (s_.hidden.count(w.pid) == 0) list.push_back({w.pid, w.layer});
    return list;
  }

 private:
  SimWindowServer& s_;
  TestClock& clock_;
};

std::unique_ptr<WindowServer> SimWindowServer::backend(TestClock& clock) {
  return std::make_unique<SimWindowServerBackend>(*this, clock);
}

}  // namespace velmaris::platform::sim
