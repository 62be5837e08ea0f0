// The "observe_targets" method: a breadth-first scan of a window that lists, flat, the
// elements that can be acted on or written, each with an element ref in a new observation,
// and the ref a selector designates in an observation. One scan per request, on the
// request thread.
#include "common/uuid.h"
#include "gui/observation/values.h"
#include "gui/ax_helper.h"
#include "gui/limits.h"
#include "gui/observation/attributes.h"

namespace velmaris::gui {

using platform::AXError;

namespace {

struct QueueEntry {
  Element element;
  std::int64_t depth = 0;
};

bool vanished(const HelperFailure& failure) {
  return failure.code == "ax_error" && failure.axStatus == platform::kAXErrorInvalidUIElement;
}

}  // namespace

Json AXHelper::observeTargetsResult(const std::string& app, std::int64_t windowID,
                                    const RequestDeadline& deadline) {
  const auto [record, root] = windowToObserve(app, windowID, deadline);

  TraversalState state;
  std::map<std::string, ObservedElement> refs;
  Json targets = Json::array();
  std::vector<QueueEntry> queue{{root, 0}};
  std::size_t index = 0;

  WalkScope walk(ax(), platform::Accessibility::WalkReads::targets);
  while (index < queue.size() && state.nodeCount < maxTreeNodes) {
    deadline.check();
    const QueueEntry entry = queue[index++];
    if (seen(entry.element, state)) continue;
    state.visited.insert(entry.element);
    ++state.nodeCount;

    try {
      auto actions = actionIdentities(ax(), entry.element, true);
      const bool settable = observedValueIsSettable(ax(), entry.element);

      // A candidate's record is committed only once its children have been read too, so
      // an element that vanishes half-way through leaves nothing behind.
      std::optional<std::pair<std::string, Json>> pending;
      std::optional<ObservedElement> observed;
      std::int64_t pendingBytes = 0;
      if (!actions.empty() || settable) {
        ReadOnlyValue value = observedValue(ax(), entry.element);
        std::optional<std::string> digest;
        if (value.comparable) digest = valueDigest(value.value);
        auto role = stringAttribute(ax(), entry.element, "AXRole");
        Label label = labelForElement(ax(), entry.element, deadline);
        Identifier identifier = identifierForElement(ax(), entry.element);
        auto enabled = boolAttribute(ax(), entry.element, "AXEnabled");

        std::optional<std::string> pressIdentity;
        if (auto press = actions.find("AXPress"); press != actions.end())
          pressIdentity = press->second;
        // A shortened label is never shown: it could not be matched exactly anyway.
        std::optional<std::string> shownLabel;
        if (label.text && !label.truncated) shownLabel = label.text;

        Json names = Json::array();
        if (digest)
          for (const auto& [name, identity] : actions) names.push_back(name);
        std::string ref = randomUUID();
        Json target = {
            {"element_ref", ref},
            {"role", role ? Json(*role) : Json()},
            {"label", shownLabel ? Json(*shownLabel) : Json()},
            {"identifier", identifier.text ? Json(*identifier.text) : Json()},
            {"label_truncated", label.truncated},
            {"identifier_truncated", identifier.truncated},
            {"enabled", enabled ? Json(*enabled) : Json()},
            {"pressable", pressIdentity.has_value() && digest.has_value()},
            {"actions", std::move(names)},
            {"settable", settable},
        };
        if (auto bounds = elementBounds(ax(), entry.element)) target["bounds"] = boundsJSON(*bounds);

        pendingBytes = chargedOutputBytes(target);
        if (state.outputBytes + pendingBytes > maxWalkOutputBytes) {
          state.truncated = true;
          break;
        }
        observed = ObservedElement{entry.element, digest, pressIdentity,
                                   SemanticTarget{role, shownLabel, identifier.text},
                                   std::move(actions)};
        pending.emplace(std::move(ref), std::move(target));
      }

      std::vector<QueueEntry> children;
      if (entry.depth < maxTreeDepth) {
        ElementList list = elementArray(ax(), entry.element, "AXChildren", maxChildrenPerElement);
        if (list.truncated) state.truncated = true;
        for (Element& child : list.elements) children.push_back({std::move(child), entry.depth + 1});
      } else {
        std::int64_t count = 0;
        AXError status = ax().getAttributeValueCount(entry.element, "AXChildren", count);
        if (status == platform::kAXErrorSuccess) {
          if (count > 0) state.truncated = true;
        } else if (status != platform::kAXErrorAttributeUnsupported &&
                   status != platform::kAXErrorNoValue) {
          raise("ax_error", "count_attribute", "AXChildren", status);
        }
      }

      if (pending) {
        state.outputBytes += pendingBytes;
        refs.emplace(pending->first, std::move(*observed));
        targets.push_back(std::move(pending->second));
      }
      for (QueueEntry& child : children) queue.push_back(std::move(child));
    } catch (const HelperFailure& failure) {
      // An element that went away between its parent's child read and its own reads is
      // skipped; the window itself going away ends the request.
      if (!vanished(failure) || state.nodeCount <= 1) throw;
      state.truncated = true;
    }
  }
  if (index < queue.size()) state.truncated = true;

  Json result = storeObservation(app, windowID, record.process, std::move(refs), true, state);
  result["targets"] = std::move(targets);
  result["tree_omitted"] = true;
  return result;
}

std::string AXHelper::targetRef(const std::string& app, std::int64_t windowID,
                                const std::string& observationID, const SemanticSelector& selector) {
  pruneState();
  ObservationRecord record = observations_.live(app, windowID, observationID, clock().uptime());
  return matchingElementRef(record.elements, selector);
}

}  // namespace velmaris::gui
