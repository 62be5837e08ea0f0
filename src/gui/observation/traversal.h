// The state and output budget of one bounded walk of an element tree, shared by the
// depth-first "observe" walk and the breadth-first target scan. Lives for one request.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/accessibility.h"

namespace velmaris::gui {

// Bytes of serialised nodes or targets one walk may hand out.
inline constexpr std::int64_t maxWalkOutputBytes = 49152;

struct TraversalState {
  std::vector<platform::Element> visited;  // for cycle and repetition detection only
  std::int64_t nodeCount = 0;
  bool truncated = false;  // any limit cut something off; never reset
  std::int64_t outputBytes = 0;
};

// Marks one walk of an element tree for the platform, which may then read the elements
// the walk is about to visit ahead of it (see Accessibility::beginWalk).
class WalkScope {
 public:
  WalkScope(platform::Accessibility& ax, platform::Accessibility::WalkReads reads) : ax_(ax) {
    ax_.beginWalk(reads);
  }
  ~WalkScope() { ax_.endWalk(); }
  WalkScope(const WalkScope&) = delete;
  WalkScope& operator=(const WalkScope&) = delete;

 private:
  platform::Accessibility& ax_;
};

// Whether an element equal to `element` was already taken by this walk.
bool seen(const platform::Element& element, const TraversalState& state);

// The bytes one node or target costs: its compact encoding plus 4. A value the writer
// cannot encode fails as "internal_error".
std::int64_t chargedOutputBytes(const nlohmann::json& record);

// Charges `node` against the budget. A node that does not fit is reduced (value, label
// and identifier nulled and flagged) if that form fits; false when even that does not.
bool reserveNodeOutput(nlohmann::json& node, TraversalState& state);

}  // namespace velmaris::gui
