// The "observe" method: a depth-first, pre-order walk of a window's element tree, bounded
// by node count, depth, children per element and serialised bytes, that records every
// node it hands out as an observed element. One walk per request, on the request thread.
#include "gui/observation/traversal.h"

#include "common/json_writer.h"
#include "common/uuid.h"
#include "gui/observation/values.h"
#include "gui/ax_helper.h"
#include "gui/limits.h"
#include "gui/observation/attributes.h"

namespace velmaris::gui {

using platform::AXError;

bool seen(const Element& element, const TraversalState& state) {
  return state.visited.contains(element);
}

std::int64_t chargedOutputBytes(const Json& record) {
  auto text = writeJSON(record);
  if (!text) raise("internal_error");
  return static_cast<std::int64_t>(text->size()) + 4;
}

bool reserveNodeOutput(Json& node, TraversalState& state) {
  std::int64_t size = chargedOutputBytes(node);
  if (state.outputBytes + size > maxWalkOutputBytes) {
    node["value"] = nullptr;
    node["label"] = nullptr;
    node["identifier"] = nullptr;
    node["value_truncated"] = true;
    node["label_truncated"] = true;
    node["identifier_truncated"] = true;
    state.truncated = true;
    size = chargedOutputBytes(node);
  }
  // Only a node already cut above can still be too large: `truncated` is set.
  if (state.outputBytes + size > maxWalkOutputBytes) return false;
  state.outputBytes += size;
  return true;
}

namespace {

Json actionNames(const std::map<std::string, std::string>& identities) {
  // The map's byte order is code-point order for UTF-8 names.
  Json names = Json::array();
  for (const auto& [name, digest] : identities) names.push_back(name);
  return names;
}

std::optional<std::string> stringOrNone(const Json& value) {
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

// The child count of an element whose children lie beyond the depth limit: only whether
// there are any matters, to say that something was cut off.
bool hasChildrenBeyondLimit(platform::Accessibility& ax, const Element& element) {
  std::int64_t count = 0;
  AXError status = ax.getAttributeValueCount(element, "AXChildren", count);
  if (status == platform::kAXErrorSuccess) return count > 0;
  if (status == platform::kAXErrorAttributeUnsupported || status == platform::kAXErrorNoValue)
    return false;
  raise("ax_error", "count_attribute", "AXChildren", status);
}

}  // namespace

std::optional<Json> AXHelper::buildNode(const Element& element, std::int64_t depth,
                                        TraversalState& state,
                                        std::map<std::string, ObservedElement>& refs,
                                        const RequestDeadline& deadline) {
  deadline.check();
  // The node limit is checked by the caller, before each child: the root always fits.

  // A cycle or a repeated element: listed once, and nothing was cut off.
  if (seen(element, state)) return std::nullopt;
  state.visited.insert(element);
  ++state.nodeCount;

  std::string ref = randomUUID();
  auto role = stringAttribute(ax(), element, "AXRole");
  deadline.check();
  Label label = labelForElement(ax(), element, deadline);
  deadline.check();
  ReadOnlyValue value = observedValue(ax(), element);
  auto actions = actionIdentities(ax(), element, true);
  std::optional<std::string> pressIdentity;
  if (auto press = actions.find("AXPress"); press != actions.end()) pressIdentity = press->second;
  std::optional<std::string> digest;
  if (value.comparable) digest = valueDigest(value.value);
  ScalarValue scalar = jsonScalar(value.value);
  deadline.check();
  auto enabled = boolAttribute(ax(), element, "AXEnabled");
  deadline.check();
  bool settable = observedValueIsSettable(ax(), element);
  deadline.check();
  // Identifiers are only worth showing for what can be acted on.
  Identifier identifier;
  if (settable || (!actions.empty() && digest)) {
    identifier = identifierForElement(ax(), element);
    deadline.check();
  }

  Json node = {
      {"element_ref", ref},
      {"role", role ? Json(*role) : Json()},
      {"label", label.text ? Json(*label.text) : Json()},
      {"identifier", identifier.text ? Json(*identifier.text) : Json()},
      {"value", std::move(scalar.json)},
      {"enabled", enabled ? Json(*enabled) : Json()},
      {"settable", settable},
      {"pressable", pressIdentity.has_value() && digest.has_value()},
      {"actions", digest ? actionNames(actions) : Json::array()},
      {"children", Json::array()},
  };
  if (auto bounds = elementBounds(ax(), element)) node["bounds"] = boundsJSON(*bounds);
  if (label.truncated) node["label_truncated"] = true;
  if (identifier.truncated) node["identifier_truncated"] = true;
  if (!label.diagnostics.empty()) node["label_diagnostics"] = std::move(label.diagnostics);
  if (scalar.truncated) node["value_truncated"] = true;

  if (!reserveNodeOutput(node, state)) return std::nullopt;

  // The target is what the caller was shown: a shortened label or a field the budget
  // nulled can never be matched by a selector.
  SemanticTarget target{stringOrNone(node["role"]),
                        label.truncated ? std::nullopt : stringOrNone(node["label"]),
                        stringOrNone(node["identifier"])};
  refs[ref] = ObservedElement{element, digest, pressIdentity, std::move(target), std::move(actions)};

  if (depth < maxTreeDepth) {
    ElementList children = elementArray(ax(), element, "AXChildren", maxChildrenPerElement);
    if (children.truncated) state.truncated = true;
    Json& list = node["children"];
    for (const Element& child : children.elements) {
      if (state.nodeCount >= maxTreeNodes) {
        state.truncated = true;
        break;
      }
      if (auto childNode = buildNode(child, depth + 1, state, refs, deadline))
        list.push_back(std::move(*childNode));
    }
  } else if (hasChildrenBeyondLimit(ax(), element)) {
    state.truncated = true;
  }
  return node;
}

std::pair<WindowRecord, Element> AXHelper::windowToObserve(const std::string& app,
                                                           std::int64_t windowID,
                                                           const RequestDeadline& deadline) {
  deadline.check();
  requireAXPermission();
  pruneState();
  observations_.requireRoom();
  WindowRecord record = windows_.find(windowID, app);
  Element root = revalidateWindow(record, deadline);
  return {std::move(record), std::move(root)};
}

Json AXHelper::observeResult(const std::string& app, std::int64_t windowID,
                             const RequestDeadline& deadline) {
  const auto [record, root] = windowToObserve(app, windowID, deadline);

  TraversalState state;
  std::map<std::string, ObservedElement> refs;
  std::optional<Json> tree;
  {
    WalkScope walk(ax(), platform::Accessibility::WalkReads::everything);
    tree = buildNode(root, 0, state, refs, deadline);
  }
  if (!tree) raise("tree_limit_exceeded");

  Json result = storeObservation(app, windowID, record.process, std::move(refs), false, state);
  result["tree"] = std::move(*tree);
  return result;
}

Json AXHelper::storeObservation(const std::string& app, std::int64_t windowID,
                                const ProcessIdentity& process,
                                std::map<std::string, ObservedElement> elements, bool breadthFirst,
                                const TraversalState& state) {
  std::string id =
      observations_.store(app, windowID, process, std::move(elements), breadthFirst, clock().uptime());
  return {{"observation_id", std::move(id)},
          {"process_id", process.pid},
          {"window_id", windowID},
          {"ttl_seconds", static_cast<std::int64_t>(observationTTL)},
          {"visited_elements", state.nodeCount},
          {"truncated", state.truncated}};
}

}  // namespace velmaris::gui
