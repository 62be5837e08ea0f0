// Typed readers of element attributes: the one place that decides which statuses mean
// "the attribute is not there" and which are failures, and that applies the label limits.
// Free functions on the request thread; they keep no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gui/failure.h"
#include "platform/accessibility.h"

namespace velmaris::gui {

using platform::Accessibility;
using platform::AttributeValue;
using platform::Element;

struct ElementList {
  std::vector<Element> elements;
  bool truncated = false;
};

struct Label {
  std::optional<std::string> text;
  bool truncated = false;
  nlohmann::json diagnostics = nlohmann::json::array();
};

struct Identifier {
  std::optional<std::string> text;
  bool truncated = false;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

std::optional<AttributeValue> copyOptionalAttribute(Accessibility& ax, const Element& element,
                                                    const std::string& attribute);
std::optional<std::string> stringAttribute(Accessibility& ax, const Element& element,
                                           const std::string& attribute);
std::optional<bool> boolAttribute(Accessibility& ax, const Element& element,
                                  const std::string& attribute);
ElementList elementArray(Accessibility& ax, const Element& element, const std::string& attribute,
                         std::int64_t maxCount);
std::int32_t elementPID(Accessibility& ax, const Element& element);
Label labelForElement(Accessibility& ax, const Element& element, const RequestDeadline& deadline);
Identifier identifierForElement(Accessibility& ax, const Element& element);
std::optional<Rect> elementBounds(Accessibility& ax, const Element& element);
bool validBounds(const Rect& rect);
// The same rectangle with non-negative extents, measured from its smaller edges.
Rect standardized(Rect rect);
nlohmann::json boundsJSON(const Rect& rect);
std::string diagnosticAttribute(const std::string& attribute);
inline bool cfElementsEqual(const Element& a, const Element& b) { return a.equals(b); }

}  // namespace velmaris::gui
