// The observation store's records and the element fingerprints kept in them: value and
// identity digests, action identities, and resolving a selector within an observation.
// The store itself is AXHelper::observations; only the request thread touches it.
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
  std::string id;
  std::string app;
  std::int64_t windowID = 0;
  ProcessIdentity process;
  std::map<std::string, ObservedElement> elements;  // by element ref
  bool breadthFirst = false;  // made by the target scan; the live tree is searched likewise
  double expiresAtUptime = 0;
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
