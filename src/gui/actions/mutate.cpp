// AXHelper::mutateResult: the one way the helper changes another application. It acts only
// on an element a live observation handed out, after proving the application, window,
// element, identity and value are still the ones the client saw; then it either performs
// one action or writes one value and reads it back. Every mutation attempt consumes every
// stored observation, and every refusal says whether input had already been sent.
// Runs on the request thread.
#include "gui/actions/mutate.h"

#include <array>

#include "gui/observation/values.h"
#include "gui/ax_helper.h"
#include "gui/observation/attributes.h"
#include "gui/observation/traversal.h"

namespace velmaris::gui {

using platform::AttributeValue;
using platform::AXError;
using Kind = platform::AttributeValue::Kind;

namespace {

constexpr auto pageScrollActions = std::to_array<std::string_view>(
    {"AXScrollUpByPage", "AXScrollDownByPage", "AXScrollLeftByPage", "AXScrollRightByPage"});

bool isNumber(const AttributeValue& v) { return v.kind == Kind::Integer || v.kind == Kind::Real; }

long double numberOf(const AttributeValue& v) {
  // long double holds every 64-bit integer exactly, so 2^53 + 1 is not taken for 2^53.
  return v.kind == Kind::Integer ? static_cast<long double>(v.integer)
                                 : static_cast<long double>(v.real);
}

}  // namespace

bool isPageScrollAction(std::string_view action) {
  for (auto name : pageScrollActions)
    if (name == action) return true;
  return false;
}

void validateObservedAction(const std::optional<std::string>& expected,
                            const std::optional<std::string>& current, bool press) {
  if (!expected) raise(press ? "press_target_changed" : "action_not_observed");
  if (current && *current == *expected) return;
  raise(press ? "press_target_changed" : "action_target_changed");
}

bool sameAttributeValue(const AttributeValue& a, const AttributeValue& b) {
  if (isNumber(a) && isNumber(b)) return numberOf(a) == numberOf(b);
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Kind::String: return a.string == b.string;
    case Kind::Boolean: return a.boolean == b.boolean;
    case Kind::None: return true;
    default: return false;  // nothing this helper writes
  }
}

namespace {

// What the shared checks proved, handed on to the action or the value write.
struct CheckedElement {
  std::int32_t pid;
  std::int64_t windowID;
  const std::string& observationID;
  const std::string& elementRef;
  const ObservedElement& observed;
  Element element;  // the live element found again
  SetValueEnabledState enabled;
};

Json resultOf(const CheckedElement& c) {
  return {{"process_id", c.pid},
          {"window_id", c.windowID},
          {"observation_id", c.observationID},
          {"element_ref", c.elementRef}};
}

Json performObservedAction(platform::Accessibility& ax, const CheckedElement& c,
                           const std::string& actionName, bool press,
                           const RequestDeadline& deadline, bool& inputAttempted) {
  // A plain press needs an enabled state known to be true. Scroll areas often publish none,
  // so page scrolls may go ahead on one that is a scroll area now as when it was observed.
  if (c.enabled.value != true) {
    const bool scrollAreaWithoutEnabledState =
        !press && !c.enabled.value &&
        c.enabled.axStatus == platform::kAXErrorAttributeUnsupported &&
        isPageScrollAction(actionName) && c.observed.target.role == "AXScrollArea" &&
        stringAttribute(ax, c.element, "AXRole") == "AXScrollArea";
    if (!scrollAreaWithoutEnabledState) raise("element_not_enabled");
  }

  std::optional<std::string> expected;
  if (press) {
    expected = c.observed.pressIdentity;
  } else if (auto it = c.observed.actions.find(actionName); it != c.observed.actions.end()) {
    expected = it->second;
  }
  const auto identities = actionIdentities(ax, c.element, false);
  std::optional<std::string> current;
  if (auto it = identities.find(actionName); it != identities.end()) current = it->second;
  validateObservedAction(expected, current, press);
  deadline.check();

  inputAttempted = true;
  const AXError status = ax.performAction(c.element, actionName);
  if (status != platform::kAXErrorSuccess)
    raise("ax_error", "perform_action", std::nullopt, status);
  Json result = resultOf(c);
  result["action"] = actionName;
  result["action_accepted"] = true;
  result["postcondition_verified"] = false;
  return result;
}

Json writeObservedValue(platform::Accessibility& ax, const CheckedElement& c,
                        const AttributeValue& requested, const RequestDeadline& deadline,
                        bool& inputAttempted) {
  deadline.check();
  inputAttempted = true;
  const AXError status = ax.setAttributeValue(c.element, "AXValue", requested);
  if (status != platform::kAXErrorSuccess) raise("ax_error", "set_attribute", "AXValue", status);
  // Read back at once: this is all the result claims. Whether the value lasts, or whether
  // the application changes it again later, is not waited for.
  const auto readBack = copyOptionalAttribute(ax, c.element, "AXValue");
  Json result = resultOf(c);
  result["enabled"] = c.enabled.value ? Json(*c.enabled.value) : Json();
  result["enabled_provided"] = c.enabled.value.has_value();
  result["enabled_state"] = c.enabled.state;
  result["enabled_ax_status"] = c.enabled.axStatus;
  result["value_verified"] = readBack && sameAttributeValue(*readBack, requested);
  result["persistence_verified"] = false;
  return result;
}

}  // namespace

Json AXHelper::mutateResult(const std::string& app, std::int64_t windowID,
                            const std::string& observationID, const std::string& elementRef,
                            const std::optional<Json>& rawValue, bool press,
                            const std::optional<std::string>& action,
                            const std::optional<SemanticSelector>& selector,
                            const RequestDeadline& deadline) {
  // Set the moment the write or the action is issued: from then on a failure may have left
  // the application changed, and the client must be told so.
  bool inputAttempted = false;
  try {
    deadline.check();
    requireAXPermission();
    pruneState();
    const ObservationRecord observation =
        observations_.live(app, windowID, observationID, clock().uptime());
    const auto found = observation.elements.find(elementRef);
    if (found == observation.elements.end()) raise("observation_mismatch");
    const ObservedElement& observed = found->second;
    // Consumed here whatever follows: every attempt needs a fresh look at the window.
    observations_.clear();

    const std::optional<std::string> actionName =
        press ? std::optional<std::string>("AXPress") : action;
    std::optional<AttributeValue> requested;
    if (!actionName) requested = requestedCFValue(rawValue);

    const WindowRecord window = windows_.find(windowID, app);
    if (!(window.process == observation.process)) raise("process_identity_changed");
    const Element root = revalidateWindow(window, deadline);

    const LocatedElement located =
        locateElement(root, observed.element, observation.breadthFirst, deadline);
    if (located.result == LocatedElement::Case::absent) raise("element_unavailable");
    if (located.result == LocatedElement::Case::limitExceeded) raise("tree_limit_exceeded");
    const Element element = located.element;

    deadline.check();
    if (elementPID(ax(), element) != window.process.pid) raise("element_unavailable");

    if (selector) {
      SemanticTarget live;
      if (selector->label) {
        Label label = labelForElement(ax(), element, deadline);
        if (!label.truncated) live.label = std::move(label.text);
      }
      if (selector->identifier) live.identifier = identifierForElement(ax(), element).text;
      live.role = stringAttribute(ax(), element, "AXRole");
      if (!selector->matches(live)) raise("target_changed");
      verifyUniqueSelector(root, element, *selector, deadline);
    }

    // The process and the window once more, after the reads above: revalidation confirms
    // the process first.
    if (!cfElementsEqual(revalidateWindow(window, deadline), root)) raise("window_unavailable");

    // From here on only the element is read, each read asked of the application after the
    // window was confirmed: the platform may send them all at once, and a change ends that.
    WalkScope checks(ax(), platform::Accessibility::WalkReads::element);
    const SetValueEnabledState enabled = enabledStateForSetValue(ax(), element);
    if (enabled.value == false) raise("element_not_enabled");
    deadline.check();

    if (!actionName && !valueIsSettable(ax(), element)) raise("value_not_settable");

    // The value is compared for actions too: pressing a control whose state moved on since
    // the client looked would act on a situation the client never saw.
    if (!observed.valueDigest) raise("value_not_comparable");
    const auto currentDigest = valueDigest(copyOptionalAttribute(ax(), element, "AXValue"));
    if (!currentDigest) raise("value_not_comparable");
    if (*currentDigest != *observed.valueDigest) raise("value_changed");

    const CheckedElement checked{window.process.pid, windowID, observationID, elementRef,
                                 observed,           element,  enabled};
    if (actionName)
      return performObservedAction(ax(), checked, *actionName, press, deadline, inputAttempted);
    return writeObservedValue(ax(), checked, *requested, deadline, inputAttempted);
  } catch (HelperFailure& failure) {
    failure.inputAttempted = inputAttempted;
    throw;
  }
}

}  // namespace velmaris::gui
