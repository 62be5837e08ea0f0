// The helper's one refusal value and the per-request deadline. A HelperFailure is thrown
// at any depth and caught once, in the line loop, which turns it into an error response.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "gui/limits.h"
#include "platform/clock.h"

namespace velmaris::gui {

struct HelperFailure {
  std::string code;
  std::optional<std::string> stage;
  std::optional<std::string> attribute;
  std::optional<std::int64_t> axStatus;
  std::optional<bool> inputAttempted;
  std::optional<nlohmann::json> captureDiagnostic;  // an object; never written as an error
};

HelperFailure helperError(std::string code, std::optional<std::string> stage = std::nullopt,
                          std::optional<std::string> attribute = std::nullopt,
                          std::optional<std::int32_t> axStatus = std::nullopt);

// Throws helperError(...) — the common way to refuse.
[[noreturn]] void raise(std::string code, std::optional<std::string> stage = std::nullopt,
                        std::optional<std::string> attribute = std::nullopt,
                        std::optional<std::int32_t> axStatus = std::nullopt);

// The time limit of one request, on the uptime clock. Copied freely; the clock it reads
// outlives every request.
class RequestDeadline {
 public:
  RequestDeadline(const platform::Clock& clock, double timeout = requestDeadlineSeconds);

  double expiresAt() const { return expiresAt_; }
  // Throws "deadline_exceeded" once the uptime has reached expiresAt.
  void check() const;
  // Seconds left, never negative.
  double remaining() const;

 private:
  const platform::Clock* clock_;
  double expiresAt_;
};

}  // namespace velmaris::gui
