// AXHelper: the helper's one long-lived state object. It owns the window registry and the
// observation store, and serves one request at a time on the request thread. It is built
// on whatever backends it is handed (real or simulated).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "gui/failure.h"
#include "gui/observation/locate.h"
#include "gui/observation/observation_store.h"
#include "gui/observation/selector.h"
#include "gui/observation/traversal.h"
#include "gui/processes/process_identity.h"
#include "gui/processes/window_registry.h"
#include "platform/platform.h"

namespace velmaris::gui {

using Json = nlohmann::json;
using platform::Element;

struct Rect;

struct ResolvedProcess {
  platform::RunningApplication application;
  ProcessIdentity identity;
  Element appElement;
};

class AXHelper {
 public:
  explicit AXHelper(platform::Platform& platform);
  AXHelper(const AXHelper&) = delete;
  AXHelper& operator=(const AXHelper&) = delete;

  // The single entry point for a parsed request object; returns the result dictionary or
  // throws HelperFailure.
  Json handle(const Json& request);

  // Processes.
  void requireAXPermission() const;
  ResolvedProcess resolveProcess(const std::string& app);
  Element confirmProcess(const ProcessIdentity& expected);

  // Windows.
  Json windowsResult(const std::string& app, const RequestDeadline& deadline);
  std::vector<Element> currentWindows(const Element& appElement, std::int32_t pid,
                                      const RequestDeadline& deadline);
  Json recordWindows(const std::string& app, const ProcessIdentity& process,
                     const std::vector<Element>& elements, const RequestDeadline& deadline);
  Element revalidateWindow(const WindowRecord& record, const RequestDeadline& deadline);
  // Forgets expired observations and the window records beyond the registry's limit.
  void pruneState();

  // The methods.
  Json observeResult(const std::string& app, std::int64_t windowID, const RequestDeadline& deadline);
  // The checks both observations start with; the window's record and its current element.
  std::pair<WindowRecord, Element> windowToObserve(const std::string& app, std::int64_t windowID,
                                                   const RequestDeadline& deadline);
  Json observeTargetsResult(const std::string& app, std::int64_t windowID,
                            const RequestDeadline& deadline);
  Json browserApplicationResult(const Json& request, bool reveal, const RequestDeadline& deadline);
  // The element reference that `selector` designates within an observation.
  std::string targetRef(const std::string& app, std::int64_t windowID,
                        const std::string& observationID, const SemanticSelector& selector);
  // Observation.
  std::optional<Json> buildNode(const Element& element, std::int64_t depth, TraversalState& state,
                                std::map<std::string, ObservedElement>& refs,
                                const RequestDeadline& deadline);
  // Stores a new observation of the window; answers the fields every observation result
  // starts with.
  Json storeObservation(const std::string& app, std::int64_t windowID,
                        const ProcessIdentity& process,
                        std::map<std::string, ObservedElement> elements, bool breadthFirst,
                        const TraversalState& state);
  LocatedElement locateElement(const Element& root, const Element& target, bool breadthFirst,
                               const RequestDeadline& deadline);
  void verifyUniqueSelector(const Element& root, const Element& selected,
                            const SemanticSelector& selector, const RequestDeadline& deadline);

  // Window image attached to observations (gui/capture).
  Json screenshotResult(const std::string& app, std::int64_t windowID,
                        const std::string& observationID, const RequestDeadline& deadline);
  void requireUniqueCaptureWindow(const WindowRecord& window, const Rect& bounds,
                                  const std::optional<std::string>& title,
                                  const RequestDeadline& deadline);

  // Press, action or value write on one observed element.
  Json mutateResult(const std::string& app, std::int64_t windowID, const std::string& observationID,
                    const std::string& elementRef, const std::optional<Json>& rawValue, bool press,
                    const std::optional<std::string>& action,
                    const std::optional<SemanticSelector>& selector, const RequestDeadline& deadline);

  platform::Accessibility& ax() { return *platform_.accessibility; }
  platform::Workspace& workspace() { return *platform_.workspace; }
  const platform::Clock& clock() const { return *platform_.clock; }

  // The registry and the store, for tests to inspect and adjust.
  WindowRegistry& windows() { return windows_; }
  ObservationStore& observations() { return observations_; }

  const bool timeoutConfigured;

 private:
  platform::Platform& platform_;
  WindowRegistry windows_;
  ObservationStore observations_;
};

// The kernel start time of `pid`, or "process_identity_unavailable".
std::pair<std::uint64_t, std::uint64_t> processStart(platform::Workspace& workspace, std::int32_t pid);

}  // namespace velmaris::gui
