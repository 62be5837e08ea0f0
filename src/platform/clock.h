// The system uptime clock: monotonic seconds since boot, read afresh at every use.
// Tests hand the helper a clock they move by hand, so no test sleeps to reach a time.
#pragma once

#include <atomic>
#include <limits>
#include <memory>

namespace velmaris::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual double uptime() const = 0;
};

// When the request being served runs out of time, on the uptime clock. The helper sets it as
// each request starts; backends that wait on another process (the X server) end every such
// wait by then, so no wait outlives its request. Read from any thread.
class RequestTime {
 public:
  void setExpiresAt(double uptime) { expiresAt_.store(uptime); }
  double expiresAt() const { return expiresAt_.load(); }

 private:
  std::atomic<double> expiresAt_{std::numeric_limits<double>::infinity()};
};

// CLOCK_MONOTONIC (uptime since boot, as the kernel counts it).
std::unique_ptr<Clock> makeSystemClock();

}  // namespace velmaris::platform
