// The simulated window server: which applications are hidden or active and which windows
// are on screen, edited directly by tests. A reveal can be made to show only after some
// run-loop slices, or never; each slice moves the test clock, so waiting tests never sleep.
// Single-threaded, like the request thread it serves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/window_server.h"

namespace velmaris::platform::sim {

class TestClock;

struct SimWindow {
  std::int32_t pid = 0;
  std::int32_t layer = 0;
};

class SimWindowServer {
 public:
  std::set<std::int32_t> hidden;          // applications whose windows are all hidden
  std::optional<std::int32_t> activePid;  // the frontmost application
  std::vector<SimWindow> windows;         // on screen while their application is not hidden
  bool listReadable = true;               // false: the window list cannot be read

  // Run-loop slices before an unhide or activation shows; nothing: it never does.
  std::optional<int> revealAfterSlices = 0;

  // Runs before every call, with the call's name; counts of calls, by name.
  std::function<void(const std::string& call)> beforeCall;
  std::map<std::string, int> calls;

  // The backend a Platform holds; it reads and writes this state and moves `clock` by the
  // length of every run-loop slice.
  std::unique_ptr<WindowServer> backend(TestClock& clock);

 private:
  friend class SimWindowServerBackend;
  struct Pending {
    std::int32_t pid = 0;
    int slicesLeft = 0;
  };
  void touch(const std::string& call);
  void settle();

  std::vector<Pending> unhides_;
  std::optional<Pending> activation_;
};

}  // namespace velmaris::platform::sim
