// Element attribute readers: absence versus failure, stage words and label limits.
#include "gui/observation/attributes.h"

#include <array>
#include <cmath>

#include "common/text.h"
#include "gui/limits.h"

namespace velmaris::gui {
namespace {

using Kind = AttributeValue::Kind;
using platform::AXError;

bool isAbsence(AXError status) {
  return status == platform::kAXErrorNoValue || status == platform::kAXErrorAttributeUnsupported;
}

constexpr auto kDiagnosticAttributes = std::to_array<const char*>(
    {"AXWindows", "AXChildren", "AXRole", "AXTitle", "AXDescription", "AXHelp", "AXIdentifier",
     "AXValue", "AXEnabled", "AXMinimized"});

constexpr auto kLabelCandidates =
    std::to_array<const char*>({"AXTitle", "AXDescription", "AXHelp"});

}  // namespace

std::string diagnosticAttribute(const std::string& attribute) {
  for (const char* name : kDiagnosticAttributes)
    if (attribute == name) return attribute;
  return "other";
}

std::optional<AttributeValue> copyOptionalAttribute(Accessibility& ax, const Element& element,
                                                    const std::string& attribute) {
  AttributeValue value;
  AXError status = ax.copyAttributeValue(element, attribute, value);
  if (isAbsence(status)) return std::nullopt;
  if (status != platform::kAXErrorSuccess)
    raise("ax_error", "copy_attribute", diagnosticAttribute(attribute), status);
  if (value.kind == Kind::None) return std::nullopt;
  return value;
}

std::optional<std::string> stringAttribute(Accessibility& ax, const Element& element,
                                           const std::string& attribute) {
  auto value = copyOptionalAttribute(ax, element, attribute);
  if (!value) return std::nullopt;
  if (value->kind != Kind::String)
    raise("ax_error", "attribute_type", diagnosticAttribute(attribute));
  return std::move(value->string);
}

std::optional<bool> boolAttribute(Accessibility& ax, const Element& element,
                                  const std::string& attribute) {
  auto value = copyOptionalAttribute(ax, element, attribute);
  if (!value) return std::nullopt;
  // Only a real boolean counts: an integer 0 or 1 is a different type.
  if (value->kind != Kind::Boolean)
    raise("ax_error", "attribute_type", diagnosticAttribute(attribute));
  return value->boolean;
}

ElementList elementArray(Accessibility& ax, const Element& element, const std::string& attribute,
                         std::int64_t maxCount) {
  std::int64_t count = 0;
  AXError status = ax.getAttributeValueCount(element, attribute, count);
  if (isAbsence(status)) return {};
  if (status != platform::kAXErrorSuccess)
    raise("ax_error", "count_attribute", diagnosticAttribute(attribute), status);
  if (count < 0) raise("ax_error", "count_attribute", diagnosticAttribute(attribute), 0);
  if (count == 0) return {};
  std::int64_t n = std::min(count, maxCount);
  AttributeValue values;
  status = ax.copyAttributeValues(element, attribute, 0, n, values);
  if (status != platform::kAXErrorSuccess)
    raise("ax_error", "copy_attribute_values", diagnosticAttribute(attribute), status);
  if (values.kind != Kind::ElementArray)
    raise("ax_error", "attribute_type", diagnosticAttribute(attribute));
  ElementList list;
  list.elements = std::move(values.elements);
  // A platform that hands back more than asked must not widen the bound.
  if (static_cast<std::int64_t>(list.elements.size()) > n) list.elements.resize(static_cast<std::size_t>(n));
  list.truncated = maxCount < count;
  return list;
}

std::int32_t elementPID(Accessibility& ax, const Element& element) {
  std::int32_t pid = 0;
  AXError status = ax.getPid(element, pid);
  if (status != platform::kAXErrorSuccess || pid < 1)
    raise("ax_error", "get_pid", std::nullopt, status);
  return pid;
}

Label labelForElement(Accessibility& ax, const Element& element, const RequestDeadline& deadline) {
  Label label;
  for (const char* candidate : kLabelCandidates) {
    deadline.check();
    AttributeValue value;
    AXError status = ax.copyAttributeValue(element, candidate, value);
    deadline.check();
    if (status != platform::kAXErrorSuccess) {
      label.diagnostics.push_back({{"attribute", candidate}, {"status", status}});
      continue;
    }
    if (value.kind == Kind::None) {
      label.diagnostics.push_back(
          {{"attribute", candidate}, {"status", 0}, {"issue", "missing_value"}});
      continue;
    }
    if (value.kind != Kind::String) {
      label.diagnostics.push_back(
          {{"attribute", candidate}, {"status", 0}, {"issue", "unexpected_type"}});
      continue;
    }
    if (value.string.empty()) continue;
    auto cut = bounded(value.string, maxLabelCharacters);
    label.text = std::move(cut.text);
    label.truncated = cut.truncated;
    return label;
  }
  return label;
}

Identifier identifierForElement(Accessibility& ax, const Element& element) {
  AttributeValue value;
  AXError status = ax.copyAttributeValue(element, "AXIdentifier", value);
  if (status != platform::kAXErrorSuccess || value.kind != Kind::String || value.string.empty())
    return {};
  // An identifier is matched exactly later, so a shortened one would be a lie: drop it.
  if (bounded(value.string, maxLabelCharacters).truncated) return {std::nullopt, true};
  return {std::move(value.string), false};
}

std::optional<Rect> elementBounds(Accessibility& ax, const Element& element) {
  AttributeValue position;
  AttributeValue size;
  if (ax.copyAttributeValue(element, "AXPosition", position) != platform::kAXErrorSuccess)
    return std::nullopt;
  if (ax.copyAttributeValue(element, "AXSize", size) != platform::kAXErrorSuccess)
    return std::nullopt;
  if (position.kind != Kind::Point || size.kind != Kind::Size) return std::nullopt;
  Rect r{position.point.x, position.point.y, size.size.width, size.size.height};
  if (!validBounds(r)) return std::nullopt;
  return standardized(r);
}

Rect standardized(Rect r) {
  if (r.width < 0) {
    r.x += r.width;
    r.width = -r.width;
  }
  if (r.height < 0) {
    r.y += r.height;
    r.height = -r.height;
  }
  return r;
}

bool validBounds(const Rect& rect) {
  const Rect r = standardized(rect);
  return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) &&
         std::isfinite(r.height) && r.width > 0 && r.height > 0 && r.width <= 32768 &&
         r.height <= 32768;
}

nlohmann::json boundsJSON(const Rect& rect) {
  return {{"x", rect.x},
          {"y", rect.y},
          {"width", rect.width},
          {"height", rect.height},
          {"coordinate_unit", "point"},
          {"origin", "global_top_left"}};
}

}  // namespace velmaris::gui
