// The workspace: running applications, the kernel's process records and the permission
// preflights. Snapshots are plain values; whether one has since terminated is asked anew.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmaris::platform {

enum class ActivationPolicy { Regular, Accessory, Prohibited };

struct RunningApplication {
  std::int32_t pid = 0;
  std::optional<std::string> bundleID;
  ActivationPolicy activationPolicy = ActivationPolicy::Regular;
  bool terminated = false;
};

// The kernel's record of a process, as read; the caller judges its plausibility.
struct ProcessRecord {
  std::int32_t pid = 0;
  std::uint64_t startSeconds = 0;
  std::uint64_t startMicroseconds = 0;
};

class Workspace {
 public:
  virtual ~Workspace() = default;

  virtual std::vector<RunningApplication> runningApplications() = 0;
  // The running application of a pid now, if any.
  virtual std::optional<RunningApplication> runningApplication(std::int32_t pid) = 0;
  // Whether the application listed in `app` has terminated since.
  virtual bool isTerminated(const RunningApplication& app) = 0;
  // The kernel's record of `pid`, or nothing when it cannot be read.
  virtual std::optional<ProcessRecord> processRecord(std::int32_t pid) = 0;
  // Whether the process may already capture the screen; never prompts.
  virtual bool preflightScreenCaptureAccess() = 0;
};

}  // namespace velmaris::platform
