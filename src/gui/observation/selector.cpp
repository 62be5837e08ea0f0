// Selector matching: exact, case-sensitive equality of the fields a selector gives, with
// precomposed and decomposed spellings of the same text taken as equal. Pure functions.
#include "gui/observation/selector.h"

#include "common/text.h"

namespace velmaris::gui {

bool canonicallyEqual(const std::string& a, const std::string& b) {
  // Identical bytes are the common case and need no normalisation.
  return a == b || nfc(a) == nfc(b);
}

bool SemanticSelector::matches(const SemanticTarget& target) const {
  if (!target.role || !canonicallyEqual(*target.role, role)) return false;
  if (label && (!target.label || !canonicallyEqual(*target.label, *label))) return false;
  if (identifier && (!target.identifier || !canonicallyEqual(*target.identifier, *identifier)))
    return false;
  return true;
}

}  // namespace velmaris::gui
