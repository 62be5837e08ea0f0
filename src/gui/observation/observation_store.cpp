// Observation records, their fingerprints and the lookups later requests make through
// them. The digests never leave the process: they are compared only with digests the same
// functions compute later in the same run.
#include "gui/observation/observation_store.h"

#include "common/digest.h"
#include "common/json_writer.h"
#include "common/uuid.h"
#include "gui/limits.h"
#include "gui/observation/attributes.h"

namespace velmaris::gui {

using platform::AttributeValue;
using platform::AXError;
using Kind = platform::AttributeValue::Kind;

namespace {

constexpr auto kIdentityAttributes =
    std::to_array<const char*>({"AXRole", "AXTitle", "AXDescription", "AXHelp", "AXIdentifier"});

// A digest prefixed by its kind's tag byte.
std::string tagged(char tag, const std::string& digest) {
  std::string out;
  out.reserve(1 + digest.size());
  out.push_back(tag);
  out.append(digest);
  return out;
}

std::optional<std::string> numberDigest(const nlohmann::json& number) {
  auto text = writeJSON(number);
  if (!text) return std::nullopt;
  return tagged('\x02', sha256(*text));
}

}  // namespace

std::optional<std::string> valueDigest(const std::optional<AttributeValue>& value) {
  if (!value || value->kind == Kind::None) return std::string(1, '\x00');
  switch (value->kind) {
    case Kind::String: return tagged('\x01', sha256(value->string));
    case Kind::Boolean: return numberDigest(value->boolean);
    case Kind::Integer: return numberDigest(value->integer);
    case Kind::Real: return numberDigest(value->real);
    default: return std::nullopt;
  }
}

std::string identityDigest(const std::optional<std::string> (&attributes)[5]) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& a : attributes) array.push_back(a ? nlohmann::json(*a) : nlohmann::json());
  // Strings and nulls always encode.
  return sha256(writeJSON(array).value_or(""));
}

bool pressActionAvailable(AXError status, bool readOnly) {
  if (status == platform::kAXErrorAttributeUnsupported || status == platform::kAXErrorNoValue ||
      status == platform::kAXErrorActionUnsupported)
    return false;
  if (readOnly && status == platform::kAXErrorFailure) return false;
  if (status == platform::kAXErrorSuccess) return true;
  raise("ax_error", "copy_actions", std::nullopt, status);
}

std::map<std::string, std::string> actionIdentities(platform::Accessibility& ax,
                                                    const platform::Element& element,
                                                    bool readOnly) {
  std::vector<std::string> names;
  AXError status = ax.copyActionNames(element, names);
  if (!pressActionAvailable(status, readOnly)) return {};
  std::vector<std::string> kept;
  for (auto& name : names)
    if (isSupportedAction(name)) kept.push_back(std::move(name));
  // Plain elements cost one read: the identity is only worth reading for something that
  // can be acted on.
  if (kept.empty()) return {};

  std::optional<std::string> attributes[kIdentityAttributes.size()];
  try {
    for (std::size_t i = 0; i < kIdentityAttributes.size(); ++i)
      attributes[i] = stringAttribute(ax, element, kIdentityAttributes[i]);
  } catch (const HelperFailure& failure) {
    if (readOnly && failure.code == "ax_error" && failure.stage == "copy_attribute" &&
        failure.axStatus == platform::kAXErrorFailure)
      return {};
    throw;
  }
  const std::string digest = identityDigest(attributes);
  std::map<std::string, std::string> identities;
  for (auto& name : kept) identities.emplace(std::move(name), digest);
  return identities;
}

std::string matchingElementRef(const std::map<std::string, ObservedElement>& elements,
                               const SemanticSelector& selector) {
  const std::string* found = nullptr;
  for (const auto& [ref, observed] : elements) {
    if (!selector.matches(observed.target)) continue;
    if (found) raise("target_ambiguous");
    found = &ref;
  }
  if (!found) raise("target_not_found");
  return *found;
}

void ObservationStore::requireRoom() const {
  if (static_cast<std::int64_t>(records_.size()) >= maxObservations)
    raise("observation_limit_exceeded");
}

std::string ObservationStore::store(const std::string& app, std::int64_t windowID,
                                    const ProcessIdentity& process,
                                    std::map<std::string, ObservedElement> elements,
                                    bool breadthFirst, double now) {
  std::string id = randomUUID();
  while (records_.count(id)) id = randomUUID();
  records_.emplace(id, ObservationRecord{app, windowID, process, std::move(elements),
                                         breadthFirst, now + observationTTL});
  return id;
}

ObservationRecord ObservationStore::live(const std::string& app, std::int64_t windowID,
                                         const std::string& id, double now) {
  auto it = records_.find(id);
  if (it == records_.end() || !(now < it->second.expiresAtUptime)) {
    records_.erase(id);
    raise("observation_unavailable");
  }
  if (it->second.app != app || it->second.windowID != windowID) raise("observation_mismatch");
  return it->second;
}

void ObservationStore::pruneExpired(double now) {
  std::erase_if(records_, [now](const auto& entry) { return !(entry.second.expiresAtUptime > now); });
}

}  // namespace velmaris::gui
