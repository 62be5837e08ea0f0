// The real uptime clock, shared by every backend.
#include <time.h>

#include "platform/clock.h"

namespace velmaris::platform {
namespace {

class SystemClock final : public Clock {
 public:
  double uptime() const override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
};

}  // namespace

std::unique_ptr<Clock> makeSystemClock() { return std::make_unique<SystemClock>(); }

}  // namespace velmaris::platform
