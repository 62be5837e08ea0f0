// The observation store: the observations handed out, each live for observationTTL and at
// most maxObservations at once, and the element fingerprints kept in them (value and
// identity digests, action identities). Only the request thread touches it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "gui/observation/selector.h"
#include "gui/processes/process_identity.h"
#include "platform/accessibility.h"

namespace velmaris::gui {

// One element handed out by an observation, with how it looked when it was handed out.
struct ObservedElement {
  platform::Element element;
  std::optional<std::string> valueDigest;    // none: the value could not be compared
  std::optional<std::string> pressIdentity;  // identity digest stored for "AXPress"
  SemanticTarget target;
  std::map<std::string, std::string> actions;  // supported action → identity digest
};

struct ObservationRecord {
  std::string app;
  std::int64_t windowID = 0;
  ProcessIdentity process;
  std::map<std::string, ObservedElement> elements;  // by element ref
  bool breadthFirst = false;  // made by the target scan; the live tree is searched likewise
  double expiresAtUptime = 0;
};

class ObservationStore {
 public:
  // "observation_limit_exceeded" while maxObservations are stored; expired ones count until
  // they are pruned.
  void requireRoom() const;
  // Stores a new observation, live until observationTTL after `now`, and returns its id.
  std::string store(const std::string& app, std::int64_t windowID, const ProcessIdentity& process,
                    std::map<std::string, ObservedElement> elements, bool breadthFirst,
                    double now);
  // The observation `id` of (app, window) if still live at `now`, else
  // "observation_unavailable" / "observation_mismatch"; an unknown or expired id is removed
  // on the way.
  ObservationRecord live(const std::string& app, std::int64_t windowID, const std::string& id,
                         double now);
  // Forgets the observations no longer live at `now`.
  void pruneExpired(double now);
  void clear() { records_.clear(); }

  const std::map<std::string, ObservationRecord>& records() const { return records_; }
  // In place, for tests that change what the desktop cannot.
  ObservationRecord& at(const std::string& id) { return records_.at(id); }

 private:
  std::map<std::string, ObservationRecord> records_;  // by id
};

// 0x00 for no value; 0x01 + SHA-256 of a string's bytes; 0x02 + SHA-256 of a number's or
// boolean's JSON text; none for anything else.
std::optional<std::string> valueDigest(const std::optional<platform::AttributeValue>& value);

// SHA-256 of the JSON array [role, title, description, help, identifier] (null for absent).
std::string identityDigest(const std::optional<std::string> (&attributes)[5]);

// Whether the action names read with `status` say the element has actions at all.
bool pressActionAvailable(platform::AXError status, bool readOnly);

// Every supported action the element offers, each mapped to the element's identity digest.
// `readOnly` (observing) tolerates a generic failure of the element as "no actions".
std::map<std::string, std::string> actionIdentities(platform::Accessibility& ax,
                                                    const platform::Element& element,
                                                    bool readOnly = false);

// The one element ref of `elements` whose target `selector` matches, else
// "target_not_found" or "target_ambiguous".
std::string matchingElementRef(const std::map<std::string, ObservedElement>& elements,
                               const SemanticSelector& selector);

}  // namespace velmaris::gui
