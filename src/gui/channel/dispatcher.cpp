// The method table and AXHelper::handle: shape checks first, then exactly one method
// implementation with typed arguments. Only this file decides "unknown_method". Runs on
// the request thread.
#include "gui/channel/dispatcher.h"

#include <array>
#include <charconv>
#include <limits>

#include "gui/ax_helper.h"
#include "gui/failure.h"
#include "gui/limits.h"

namespace velmaris::gui {
namespace {

// The request keys as bits, so a method's permitted members are one mask.
enum Member : unsigned {
  kId = 1u << 0,
  kMethod = 1u << 1,
  kApp = 1u << 2,
  kWindowID = 1u << 3,
  kObservationID = 1u << 4,
  kElementRef = 1u << 5,
  kValue = 1u << 6,
  kRole = 1u << 7,
  kLabel = 1u << 8,
  kIdentifier = 1u << 9,
  kAction = 1u << 10,
  kIncludeImage = 1u << 11,
};

constexpr auto requestKeys = std::to_array<std::pair<std::string_view, unsigned>>({
    {"id", kId},
    {"method", kMethod},
    {"app", kApp},
    {"window_id", kWindowID},
    {"observation_id", kObservationID},
    {"element_ref", kElementRef},
    {"value", kValue},
    {"role", kRole},
    {"label", kLabel},
    {"identifier", kIdentifier},
    {"action", kAction},
    {"include_image", kIncludeImage},
});

constexpr unsigned kEveryMethod = kId | kMethod | kApp;

unsigned memberBit(std::string_view key) {
  for (const auto& [name, bit] : requestKeys)
    if (name == key) return bit;
  return 0;
}

const Json* member(const Json& request, const char* key) {
  const auto found = request.find(key);
  return found == request.end() ? nullptr : &*found;
}

using Serve = Json (*)(AXHelper&, MethodCall&, const RequestDeadline&);

// How a method's typed arguments are taken from its members.
enum class Shape { Windows, Observation, Element, Target };

struct MethodEntry {
  std::string_view name;
  Shape shape;
  unsigned allowed;  // every member the method may carry
  Serve serve;
  bool press = false;
};

Json serveWindows(AXHelper& helper, MethodCall& call, const RequestDeadline& deadline) {
  return helper.windowsResult(call.app, deadline);
}

void attachImageIfAsked(AXHelper& helper, const MethodCall& call, Json& result,
                        const RequestDeadline& deadline) {
  if (!call.includeImage) return;
  attachWindowImage(result, [&](const std::string& id) {
    return helper.screenshotResult(call.app, call.windowID, id, deadline);
  });
}

Json serveObserve(AXHelper& helper, MethodCall& call, const RequestDeadline& deadline) {
  Json result = helper.observeResult(call.app, call.windowID, deadline);
  attachImageIfAsked(helper, call, result, deadline);
  return result;
}

Json serveObserveTargets(AXHelper& helper, MethodCall& call, const RequestDeadline& deadline) {
  Json result = helper.observeTargetsResult(call.app, call.windowID, deadline);
  attachImageIfAsked(helper, call, result, deadline);
  return result;
}

Json serveMutation(AXHelper& helper, MethodCall& call, const RequestDeadline& deadline) {
  if (call.selector)
    call.elementRef = helper.targetRef(call.app, call.windowID, call.observationID, *call.selector);
  return helper.mutateResult(call.app, call.windowID, call.observationID, call.elementRef,
                             call.rawValue, call.press, call.action, call.selector, deadline);
}

constexpr unsigned kObservationMembers = kEveryMethod | kWindowID | kIncludeImage;
constexpr unsigned kElementMembers = kEveryMethod | kWindowID | kObservationID | kElementRef;
constexpr unsigned kTargetMembers =
    kEveryMethod | kWindowID | kObservationID | kRole | kLabel | kIdentifier;

// Compared in this order.
constexpr auto methods = std::to_array<MethodEntry>({
    {"windows", Shape::Windows, kEveryMethod, serveWindows},
    {"observe", Shape::Observation, kObservationMembers, serveObserve},
    {"observe_targets", Shape::Observation, kObservationMembers, serveObserveTargets},
    {"set_value", Shape::Element, kElementMembers | kValue, serveMutation},
    {"press", Shape::Element, kElementMembers, serveMutation, true},
    {"action", Shape::Element, kElementMembers | kAction, serveMutation},
    {"set_value_target", Shape::Target, kTargetMembers | kValue, serveMutation},
    {"press_target", Shape::Target, kTargetMembers, serveMutation, true},
});

const MethodEntry* findMethod(std::string_view name) {
  for (const auto& entry : methods)
    if (entry.name == name) return &entry;
  return nullptr;
}

std::optional<std::string> optionalString(const Json& request, const char* key,
                                          std::size_t maxBytes) {
  const Json* value = member(request, key);
  if (value == nullptr) return std::nullopt;
  return nonEmptyString(value, maxBytes);
}

void takeMembers(const MethodEntry& entry, const Json& request, unsigned present,
                 MethodCall& call) {
  call.press = entry.press;
  // "value" is required exactly by the methods that may carry it; it goes on unread.
  if (entry.allowed & kValue) {
    if (!(present & kValue)) raise("invalid_input");
    call.rawValue = *member(request, "value");
  }
  switch (entry.shape) {
    case Shape::Windows:
      return;
    case Shape::Observation:
      call.windowID = positiveInt(member(request, "window_id"));
      return;
    case Shape::Element:
      call.windowID = positiveInt(member(request, "window_id"));
      call.observationID = nonEmptyString(member(request, "observation_id"), maxReferenceBytes);
      call.elementRef = nonEmptyString(member(request, "element_ref"), maxReferenceBytes);
      if (entry.allowed & kAction) {
        call.action = nonEmptyString(member(request, "action"), maxReferenceBytes);
        if (!isSupportedAction(*call.action)) raise("invalid_input");
      }
      return;
    case Shape::Target: {
      SemanticSelector selector;
      selector.role = nonEmptyString(member(request, "role"), maxReferenceBytes);
      selector.label = optionalString(request, "label", maxSelectorTextBytes);
      selector.identifier = optionalString(request, "identifier", maxSelectorTextBytes);
      if (!selector.label && !selector.identifier) raise("invalid_input");
      call.selector = std::move(selector);
      call.windowID = positiveInt(member(request, "window_id"));
      call.observationID = nonEmptyString(member(request, "observation_id"), maxReferenceBytes);
      return;
    }
  }
}

}  // namespace

std::string nonEmptyString(const Json* value, std::size_t maxBytes) {
  if (value == nullptr || !value->is_string()) raise("invalid_input");
  const auto& text = value->get_ref<const std::string&>();
  if (text.empty() || text.size() > maxBytes) raise("invalid_input");
  return text;
}

std::int64_t positiveInt(const Json* value) {
  if (value == nullptr || !value->is_number()) raise("invalid_input");  // booleans are not numbers here
  if (value->is_number_unsigned()) {
    const auto n = value->get<std::uint64_t>();
    if (n == 0 || n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      raise("invalid_input");
    return static_cast<std::int64_t>(n);
  }
  if (value->is_number_integer()) {
    const auto n = value->get<std::int64_t>();
    if (n <= 0) raise("invalid_input");
    return n;
  }
  // A floating value counts when its default text form is a plain integer: 3.0 prints
  // as "3", while 3.5 and 1e+20 keep a point or an exponent.
  char text[40];
  const auto printed = std::to_chars(text, text + sizeof text, value->get<double>(),
                                     std::chars_format::general, 17);
  if (printed.ec != std::errc()) raise("invalid_input");
  const std::string_view form(text, static_cast<std::size_t>(printed.ptr - text));
  if (form.find_first_of(".eE") != std::string_view::npos) raise("invalid_input");
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(form.data(), form.data() + form.size(), n);
  if (ec != std::errc() || end != form.data() + form.size() || n <= 0) raise("invalid_input");
  return n;
}

bool isBooleanNSNumber(const Json& value) { return value.is_boolean(); }

std::optional<bool> browserMethodReveal(const Json& request) {
  if (!request.is_object()) return std::nullopt;
  const Json* method = member(request, "method");
  if (method == nullptr || !method->is_string()) return std::nullopt;
  const auto& name = method->get_ref<const std::string&>();
  if (name == "browser_status") return false;
  if (name == "browser_reveal") return true;
  return std::nullopt;
}

MethodCall checkedCall(const Json& request) {
  if (!request.is_object()) raise("invalid_input");
  unsigned present = 0;
  for (auto it = request.begin(); it != request.end(); ++it) {
    const unsigned bit = memberBit(it.key());
    if (bit == 0) raise("invalid_input");
    present |= bit;
  }

  MethodCall call;
  call.method = nonEmptyString(member(request, "method"), maxMethodBytes);
  call.app = nonEmptyString(member(request, "app"), maxAppBytes);
  if ((present & kAction) && call.method != "action") raise("invalid_input");
  if (present & kIncludeImage) {
    if (call.method != "observe" && call.method != "observe_targets") raise("invalid_input");
    const Json& flag = *member(request, "include_image");
    if (!isBooleanNSNumber(flag)) raise("invalid_input");
    call.includeImage = flag.get<bool>();
  }

  const MethodEntry* entry = findMethod(call.method);
  if (entry == nullptr) raise("unknown_method");
  if (present & ~entry->allowed) raise("invalid_input");
  takeMembers(*entry, request, present, call);
  return call;
}

void attachWindowImage(Json& result,
                       const std::function<Json(const std::string& observationID)>& screenshot) {
  if (!result.is_object()) return;
  const auto id = result.find("observation_id");
  if (id == result.end() || !id->is_string()) return;
  const std::string observationID = id->get<std::string>();
  try {
    const Json image = screenshot(observationID);
    if (!image.is_object()) return;
    for (auto it = image.begin(); it != image.end(); ++it) result[it.key()] = it.value();
  } catch (const HelperFailure& failure) {
    result["visual_unavailable"] = failure.code;
    if (failure.captureDiagnostic) result["visual_diagnostics"] = *failure.captureDiagnostic;
  }
}

Json AXHelper::handle(const Json& request) {
  const RequestDeadline deadline(clock());
  platform_.requestTime->setExpiresAt(deadline.expiresAt());
  if (const auto reveal = browserMethodReveal(request))
    return browserApplicationResult(request, *reveal, deadline);
  MethodCall call = checkedCall(request);
  return findMethod(call.method)->serve(*this, call, deadline);
}

}  // namespace velmaris::gui
