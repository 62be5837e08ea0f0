// The pieces of a mutation that stand on their own: the check that an action still acts on
// what was observed, and the equality a written value is read back with. The mutation
// itself is AXHelper::mutateResult (mutate.cpp). Free functions; request thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/accessibility.h"

namespace velmaris::gui {

// The four page-scroll actions, the only ones a scroll area without an enabled state may take.
bool isPageScrollAction(std::string_view action);

// Refuses an action whose identity was not observed or is not the observed one now:
// "press_target_changed" for a press, "action_not_observed" / "action_target_changed" for
// any other action (an "AXPress" asked for by name included).
void validateObservedAction(const std::optional<std::string>& expected,
                            const std::optional<std::string>& current, bool press);

// Whether a value read back equals the value written, as the platform compares its values:
// strings by their exact text, numbers by their numeric value whether stored as integers or
// reals, booleans only with booleans (true is not the number 1).
bool sameAttributeValue(const platform::AttributeValue& a, const platform::AttributeValue& b);

}  // namespace velmaris::gui
