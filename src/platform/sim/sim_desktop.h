// The simulated desktop: applications, processes and accessibility elements held in memory,
// edited directly by tests. Any call can be made to answer any status, and hooks run
// between calls so tests can restart a process or drop an element mid-request.
// Single-threaded, like the request thread it serves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/accessibility.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/sim/sim_screen_capture.h"
#include "platform/sim/sim_window_server.h"
#include "platform/workspace.h"

namespace velmaris::platform::sim {

// A clock that only moves when a test moves it.
class TestClock final : public Clock {
 public:
  double uptime() const override { return now; }
  void advance(double seconds) { now += seconds; }
  double now = 1000.0;
};

struct SimAttribute {
  AXError status = kAXErrorSuccess;
  AttributeValue value;
  // Element lists: answers of the count and ranged copy, when a test wants them to differ.
  AXError countStatus = kAXErrorSuccess;
  std::optional<std::int64_t> countOverride;
  AXError valuesStatus = kAXErrorSuccess;
  std::optional<AttributeValue> valuesOverride;
  bool settable = false;
  AXError settableStatus = kAXErrorSuccess;
  AXError writeStatus = kAXErrorSuccess;  // a settable value that refuses a write anyway
  // What the element keeps of a written value (a field that trims or formats its input).
  std::function<AttributeValue(const AttributeValue&)> normalize;
};

struct SimElement {
  std::int32_t pid = 0;
  AXError pidStatus = kAXErrorSuccess;
  std::optional<std::int32_t> pidOverride;
  bool valid = true;  // false: every call answers -25202
  std::map<std::string, SimAttribute> attributes;
  std::vector<std::string> actions;
  AXError actionsStatus = kAXErrorSuccess;
  std::map<std::string, AXError> actionResults;  // missing: success
  std::vector<std::string> performed;             // actions performed, in order
};

struct SimProcess {
  RunningApplication app;
  std::uint64_t startSeconds = 1700000000;
  std::uint64_t startMicroseconds = 250000;
  bool recordReadable = true;
  std::optional<std::int32_t> recordPid;  // a record naming another pid
  bool inAccessibility = true;            // false: its application element cannot complete
};

class SimDesktop {
 public:
  // Processes.
  SimProcess& addProcess(std::int32_t pid, std::optional<std::string> bundleID,
                         ActivationPolicy policy = ActivationPolicy::Regular);
  SimProcess* process(std::int32_t pid);
  void removeProcess(std::int32_t pid);
  // Ends `pid` and starts the same application again under `newPid`, with a new start
  // time and new elements.
  SimProcess& restartProcess(std::int32_t pid, std::int32_t newPid);

  // Elements. The application element of a pid is created with its process.
  Element applicationElement(std::int32_t pid) const;
  Element addElement(std::int32_t pid, const std::string& role,
                     std::optional<std::string> title = std::nullopt);
  // A window of `pid`: role "AXWindow", appended to its application's "AXWindows".
  Element addWindow(std::int32_t pid, std::optional<std::string> title);
  void removeWindow(std::int32_t pid, const Element& window);
  void addChild(const Element& parent, const Element& child);
  SimElement& element(const Element& e);
  SimAttribute& attribute(const Element& e, const std::string& name);
  void setString(const Element& e, const std::string& name, std::string value);
  void setStatus(const Element& e, const std::string& name, AXError status);
  void invalidate(const Element& e) { element(e).valid = false; }

  bool trusted = true;
  AXError timeoutStatus = kAXErrorSuccess;
  std::optional<float> messagingTimeout;
  bool screenCaptureAllowed = true;
  bool walking = false;  // between beginWalk and endWalk

  // Runs before every workspace or accessibility call, with the call's name.
  std::function<void(const std::string& call)> beforeCall;

  // Counts of calls, by name, for tests that prove no platform work was done.
  std::map<std::string, int> calls;

  // The window server's side of the desktop: hidden and active applications, on-screen windows.
  SimWindowServer windowServer;

  // The capture side: capturable windows, screens, streams; its preflight reads
  // screenCaptureAllowed.
  SimScreenCapture screenCapture;

  // Builds a Platform whose backends read and write this desktop, on `clock`.
  Platform platform(TestClock& clock);

 private:
  friend class SimAccessibility;
  friend class SimWorkspace;
  void touch(const std::string& call);
  SimElement* find(const Element& e);

  std::map<std::int32_t, SimProcess> processes_;
  std::map<std::string, SimElement> elements_;  // by owner + path
  std::map<std::int32_t, std::string> owners_;  // pid → owner name of its elements
  int nextOwner_ = 1;
  int nextPath_ = 1;
};

}  // namespace velmaris::platform::sim
