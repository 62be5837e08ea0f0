// The system uptime clock: monotonic seconds since boot, read afresh at every use.
// Tests hand the helper a clock they move by hand, so no test sleeps to reach a time.
#pragma once

#include <memory>

namespace velmaris::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual double uptime() const = 0;
};

// CLOCK_MONOTONIC (uptime since boot, as the kernel counts it).
std::unique_ptr<Clock> makeSystemClock();

}  // namespace velmaris::platform
