// Reading, rendering and converting element values under their status rules: which
// statuses mean "no value", which mean "could not tell", and which stop the request.
// Free functions on the request thread.
#include "gui/observation/values.h"

#include <cmath>
#include <limits>

#include "common/text.h"
#include "gui/failure.h"
#include "gui/limits.h"

namespace velmaris::gui {

using platform::AttributeValue;
using platform::AXError;
using Kind = platform::AttributeValue::Kind;

namespace {

// A fixed byte limit for written strings, independent of how observations shorten values.
constexpr std::size_t maxRequestedValueBytes = 32768;

bool isAbsence(AXError status) {
  return status == platform::kAXErrorNoValue || status == platform::kAXErrorAttributeUnsupported;
}

}  // namespace

AttributeValue requestedCFValue(const std::optional<nlohmann::json>& raw) {
  if (!raw) raise("invalid_input");
  if (raw->is_string()) {
    const auto& text = raw->get_ref<const std::string&>();
    if (text.size() > maxRequestedValueBytes) raise("input_too_large");
    return AttributeValue::ofString(text);
  }
  // JSON booleans are their own type, never the numbers 1 and 0.
  if (raw->is_boolean()) return AttributeValue::ofBoolean(raw->get<bool>());
  if (raw->is_number_unsigned()) {
    // Above the signed range an integer can only travel as a double.
    const auto n = raw->get<std::uint64_t>();
    if (n <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return AttributeValue::ofInteger(static_cast<std::int64_t>(n));
    return AttributeValue::ofReal(static_cast<double>(n));
  }
  if (raw->is_number_integer()) return AttributeValue::ofInteger(raw->get<std::int64_t>());
  if (raw->is_number_float()) {
    const double d = raw->get<double>();
    if (!std::isfinite(d)) raise("invalid_input");
    return AttributeValue::ofReal(d);
  }
  raise("invalid_input");
}

ScalarValue jsonScalar(const std::optional<AttributeValue>& value) {
  if (!value) return {};
  switch (value->kind) {
    case Kind::String: {
      auto cut = bounded(value->string, maxValueCharacters);
      return {std::move(cut.text), cut.truncated};
    }
    case Kind::Boolean: return {value->boolean, false};
    case Kind::Integer: return {value->integer, false};
    case Kind::Real:
      // A number JSON cannot carry is shown as no value rather than failing the whole
      // observation when the tree is serialised.
      if (!std::isfinite(value->real)) return {};
      return {value->real, false};
    default: return {};
  }
}

ReadOnlyValue observedValue(platform::Accessibility& ax, const platform::Element& element) {
  AttributeValue value;
  AXError status = ax.copyAttributeValue(element, "AXValue", value);
  if (status != platform::kAXErrorSuccess || value.kind == Kind::None)
    return observedValueResult(status, std::nullopt);
  return observedValueResult(status, std::move(value));
}

ReadOnlyValue observedValueResult(AXError status, std::optional<AttributeValue> value) {
  if (status == platform::kAXErrorSuccess) {
    return {std::move(value), true};
  }
  if (isAbsence(status)) return {std::nullopt, true};
  if (status == platform::kAXErrorFailure) return {std::nullopt, false};
  raise("ax_error", "copy_attribute", "AXValue", status);
}

bool valueIsSettable(platform::Accessibility& ax, const platform::Element& element) {
  bool settable = false;
  AXError status = ax.isAttributeSettable(element, "AXValue", settable);
  if (status == platform::kAXErrorSuccess) return settable;
  if (isAbsence(status)) return false;
  raise("ax_error", "is_settable", "AXValue", status);
}

bool observedValueIsSettable(platform::Accessibility& ax, const platform::Element& element) {
  bool settable = false;
  AXError status = ax.isAttributeSettable(element, "AXValue", settable);
  return observedValueSettableResult(status, status == platform::kAXErrorSuccess && settable);
}

bool observedValueSettableResult(AXError status, bool settable) {
  if (status == platform::kAXErrorSuccess) return settable;
  if (isAbsence(status) || status == platform::kAXErrorFailure) return false;
  raise("ax_error", "is_settable", "AXValue", status);
}

SetValueEnabledState enabledStateForSetValue(platform::Accessibility& ax,
                                             const platform::Element& element) {
  AttributeValue value;
  AXError status = ax.copyAttributeValue(element, "AXEnabled", value);
  if (status == platform::kAXErrorNoValue) return {std::nullopt, "unknown_no_value", status};
  if (status == platform::kAXErrorAttributeUnsupported)
    return {std::nullopt, "unknown_attribute_unsupported", status};
  if (status != platform::kAXErrorSuccess) raise("ax_error", "copy_attribute", "AXEnabled", status);
  if (value.kind != Kind::Boolean) raise("ax_error", "attribute_type", "AXEnabled");
  return {value.boolean, "known", 0};
}

}  // namespace velmaris::gui
