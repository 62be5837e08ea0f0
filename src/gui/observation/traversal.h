// The state and output budget of one bounded walk of an element tree, shared by the
// depth-first "observe" walk and the breadth-first target scan. Lives for one request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/accessibility.h"

namespace velmaris::gui {

// Bytes of serialised nodes or targets one walk may hand out.
inline constexpr std::int64_t maxWalkOutputBytes = 49152;

// The elements a walk has taken, looked up by hash: a scan of a thousand elements would
// otherwise compare each new one with all before it.
class ElementSet {
 public:
  bool contains(const platform::Element& element) const { return set_.count(element) > 0; }
  void insert(const platform::Element& element) { set_.insert(element); }
  std::size_t size() const { return set_.size(); }

 private:
  struct Hash {
    std::size_t operator()(const platform::Element& e) const {
      return std::hash<std::string>{}(e.path) * 31 + std::hash<std::string>{}(e.owner);
    }
  };
  struct Equal {
    bool operator()(const platform::Element& a, const platform::Element& b) const {
      return a.equals(b);
    }
  };
  std::unordered_set<platform::Element, Hash, Equal> set_;
};

struct TraversalState {
  ElementSet visited;  // for cycle and repetition detection only
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
