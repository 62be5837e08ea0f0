// Request shape checking: the parameter validators and the typed call that a request
// turns into once every member has been checked. Nothing here touches the platform, so
// a refused request has cost nothing but parsing. AXHelper::handle (dispatcher.cpp)
// serves the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "gui/observation/selector.h"

namespace velmaris::gui {

using Json = nlohmann::json;

// Byte limits of the string members.
inline constexpr std::size_t maxMethodBytes = 64;
inline constexpr std::size_t maxAppBytes = 512;
inline constexpr std::size_t maxReferenceBytes = 128;  // observation_id, element_ref, action, role
inline constexpr std::size_t maxSelectorTextBytes = 2048;  // label, identifier

// Validators: `value` is the member, or null when the member is missing (which fails
// like a wrong value). Each refusal throws "invalid_input".
std::string nonEmptyString(const Json* value, std::size_t maxBytes);
std::int64_t positiveInt(const Json* value);
bool isBooleanNSNumber(const Json& value);

// A request after its shape check, with the typed arguments of its method.
struct MethodCall {
  std::string method;
  std::string app;
  std::int64_t windowID = 0;
  std::string observationID;
  std::string elementRef;  // empty for the selector methods until the target is resolved
  std::optional<Json> rawValue;
  bool press = false;
  std::optional<std::string> action;
  std::optional<SemanticSelector> selector;
  bool includeImage = false;
};

// The browser methods check their own members; `reveal` tells which one it is.
std::optional<bool> browserMethodReveal(const Json& request);

// Every check a request passes before any work starts. Throws "invalid_input" or
// "unknown_method". `request` need not have been seen by the loop.
MethodCall checkedCall(const Json& request);

// Merges a window image into an observation result. `screenshot` is called only when
// the result carries a string "observation_id"; its HelperFailure is reported inside the
// result, anything else it throws passes through.
void attachWindowImage(Json& result,
                       const std::function<Json(const std::string& observationID)>& screenshot);

}  // namespace velmaris::gui
