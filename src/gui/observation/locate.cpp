// Finding an observed element again in the live tree (in the order the observation walked
// it, within the same limits) and proving a selector designates exactly one live element.
// Both run on the request thread and change no stored state.
#include "gui/observation/locate.h"

#include <algorithm>

#include "gui/ax_helper.h"
#include "gui/limits.h"
#include "gui/observation/attributes.h"
#include "gui/observation/traversal.h"

namespace velmaris::gui {

using platform::AXError;

namespace {

struct WorkEntry {
  Element element;
  std::int64_t depth = 0;
};

// Whether an element at a depth limit has children that the limit hides.
bool hasHiddenChildren(platform::Accessibility& ax, const Element& element) {
  std::int64_t count = 0;
  AXError status = ax.getAttributeValueCount(element, "AXChildren", count);
  if (status == platform::kAXErrorSuccess) return count >= 1;
  if (status == platform::kAXErrorAttributeUnsupported || status == platform::kAXErrorNoValue)
    return false;
  raise("ax_error", "count_attribute", "AXChildren", status);
}

}  // namespace

LocatedElement AXHelper::locateElement(const Element& root, const Element& target,
                                       bool breadthFirst, const RequestDeadline& deadline) {
  WalkScope walk(ax(), platform::Accessibility::WalkReads::structure);
  ElementSet visited;
  bool cutOff = false;
  std::vector<WorkEntry> work{{root, 0}};
  std::size_t readIndex = 0;

  auto remaining = [&] { return breadthFirst ? readIndex < work.size() : !work.empty(); };
  while (remaining()) {
    deadline.check();
    WorkEntry entry;
    if (breadthFirst) {
      entry = work[readIndex++];
    } else {
      entry = std::move(work.back());
      work.pop_back();
    }
    if (visited.contains(entry.element)) continue;
    if (static_cast<std::int64_t>(visited.size()) >= maxTreeNodes) {
      cutOff = true;
      break;
    }
    visited.insert(entry.element);
    if (cfElementsEqual(entry.element, target)) return {LocatedElement::Case::found, entry.element};

    if (entry.depth < maxTreeDepth) {
      ElementList children = elementArray(ax(), entry.element, "AXChildren", maxChildrenPerElement);
      if (children.truncated) cutOff = true;
      // A stack takes the last entry first: push in reverse so the first child comes next,
      // the same pre-order the observation walked.
      if (breadthFirst) {
        for (Element& child : children.elements) work.push_back({std::move(child), entry.depth + 1});
      } else {
        for (auto it = children.elements.rbegin(); it != children.elements.rend(); ++it)
          work.push_back({std::move(*it), entry.depth + 1});
      }
    } else if (hasHiddenChildren(ax(), entry.element)) {
      cutOff = true;
    }
  }
  if (remaining()) cutOff = true;
  return {cutOff ? LocatedElement::Case::limitExceeded : LocatedElement::Case::absent, {}};
}

void AXHelper::verifyUniqueSelector(const Element& root, const Element& selected,
                                    const SemanticSelector& selector,
                                    const RequestDeadline& deadline) {
  WalkScope walk(ax(), platform::Accessibility::WalkReads::labels);
  ElementSet visited;
  std::optional<Element> firstMatch;
  std::vector<WorkEntry> queue{{root, 0}};
  std::size_t readIndex = 0;

  while (readIndex < queue.size()) {
    deadline.check();
    // Even if every entry left were a repetition: a scan this large proves nothing.
    if (static_cast<std::int64_t>(visited.size()) >= maxSelectorScanNodes)
      raise("tree_limit_exceeded");
    const WorkEntry entry = queue[readIndex++];
    if (visited.contains(entry.element)) continue;
    visited.insert(entry.element);

    try {
      auto role = stringAttribute(ax(), entry.element, "AXRole");
      if (role && canonicallyEqual(*role, selector.role)) {
        // Only the attributes the selector names are read, and only for role matches.
        SemanticTarget target{role, std::nullopt, std::nullopt};
        if (selector.label) {
          Label label = labelForElement(ax(), entry.element, deadline);
          if (!label.truncated) target.label = std::move(label.text);
        }
        if (selector.identifier) target.identifier = identifierForElement(ax(), entry.element).text;
        // A match counts the moment role, label and identifier have answered: a rival
        // that vanishes while its children are read still made the selector ambiguous.
        if (selector.matches(target)) {
          if (firstMatch) raise("target_ambiguous");
          firstMatch = entry.element;
        }
      }

      if (entry.depth < maxSelectorScanDepth) {
        ElementList children =
            elementArray(ax(), entry.element, "AXChildren", maxSelectorChildrenPerElement);
        if (children.truncated) raise("tree_limit_exceeded");
        for (Element& child : children.elements) queue.push_back({std::move(child), entry.depth + 1});
      } else if (hasHiddenChildren(ax(), entry.element)) {
        raise("tree_limit_exceeded");
      }
    } catch (const HelperFailure& failure) {
      // An element that went away mid-scan is no longer a candidate.
      if (failure.code != "ax_error" || failure.axStatus != platform::kAXErrorInvalidUIElement)
        throw;
    }
  }
  if (firstMatch && cfElementsEqual(*firstMatch, selected)) return;
  raise("target_changed");
}

}  // namespace velmaris::gui
