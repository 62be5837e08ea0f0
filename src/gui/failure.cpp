// HelperFailure construction and the request deadline.
#include "gui/failure.h"

#include <algorithm>

namespace velmaris::gui {

HelperFailure helperError(std::string code, std::optional<std::string> stage,
                          std::optional<std::string> attribute,
                          std::optional<std::int32_t> axStatus) {
  HelperFailure f;
  f.code = std::move(code);
  f.stage = std::move(stage);
  f.attribute = std::move(attribute);
  if (axStatus) f.axStatus = static_cast<std::int64_t>(*axStatus);
  return f;
}

void raise(std::string code, std::optional<std::string> stage,
           std::optional<std::string> attribute, std::optional<std::int32_t> axStatus) {
  throw helperError(std::move(code), std::move(stage), std::move(attribute), axStatus);
}

RequestDeadline::RequestDeadline(const platform::Clock& clock, double timeout)
    : clock_(&clock), expiresAt_(clock.uptime() + timeout) {}

void RequestDeadline::check() const {
  if (!(clock_->uptime() < expiresAt_)) raise("deadline_exceeded");
}

double RequestDeadline::remaining() const {
  return std::max(0.0, expiresAt_ - clock_->uptime());
}

}  // namespace velmaris::gui
