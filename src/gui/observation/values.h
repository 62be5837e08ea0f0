// Element values between the three worlds they live in: request JSON, platform attribute
// values and accessibility statuses. Decides once which statuses mean "no value",
// "unknown" or failure for values, settability and the enabled state.
// Free functions on the request thread; no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/accessibility.h"

namespace velmaris::gui {

// An element's "AXValue" as read for reporting. `comparable` is false when the element
// failed to answer, so that the missing value says nothing about it.
struct ReadOnlyValue {
  std::optional<platform::AttributeValue> value;
  bool comparable = false;
};

// "AXEnabled" as the action path sees it; `state` is "known", "unknown_no_value" or
// "unknown_attribute_unsupported".
struct SetValueEnabledState {
  std::optional<bool> value;
  std::string state;
  std::int64_t axStatus = 0;
};

struct ScalarValue {
  nlohmann::json json;
  bool truncated = false;
};

// The request's "value" converted to what a write sends, or "input_too_large" /
// "invalid_input".
platform::AttributeValue requestedCFValue(const std::optional<nlohmann::json>& raw);

// How a value is shown in an observation; only strings are ever shortened.
ScalarValue jsonScalar(const std::optional<platform::AttributeValue>& value);

ReadOnlyValue observedValue(platform::Accessibility& ax, const platform::Element& element);
ReadOnlyValue observedValueResult(platform::AXError status,
                                  std::optional<platform::AttributeValue> value);

// The write path's settability test: a generic failure stops the write.
bool valueIsSettable(platform::Accessibility& ax, const platform::Element& element);
// The observation's settability test: a generic failure reads as "not settable".
bool observedValueIsSettable(platform::Accessibility& ax, const platform::Element& element);
bool observedValueSettableResult(platform::AXError status, bool settable);

SetValueEnabledState enabledStateForSetValue(platform::Accessibility& ax,
                                             const platform::Element& element);

}  // namespace velmaris::gui
