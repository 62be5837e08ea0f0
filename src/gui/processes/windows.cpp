// The "windows" method: an application's current windows, registered under their handles,
// and the checks that a registered window is still there before it is used.
#include <algorithm>

#include "common/text.h"
#include "gui/ax_helper.h"
#include "gui/observation/attributes.h"

namespace velmaris::gui {

using platform::AttributeValue;
using platform::AXError;

Json AXHelper::windowsResult(const std::string& app, const RequestDeadline& deadline) {
  deadline.check();
  requireAXPermission();
  pruneState();
  ResolvedProcess resolved = resolveProcess(app);
  std::vector<Element> elements = currentWindows(resolved.appElement, resolved.identity.pid, deadline);
  Json entries = recordWindows(app, resolved.identity, elements, deadline);
  Json capabilities = {
      {"screen_capture", workspace().preflightScreenCaptureAccess()},
      {"screen_capture_requires", "existing Screen Recording permission and macOS 14+"},
      {"keyboard", false},
      {"click", false},
      {"press", true},
      {"secondary_actions", true},
      {"scroll", "observed_AX_page_actions_only"},
      {"set_value", true},
  };
  return {{"process_id", resolved.identity.pid},
          {"windows", std::move(entries)},
          {"capabilities", std::move(capabilities)}};
}

std::vector<Element> AXHelper::currentWindows(const Element& appElement, std::int32_t pid,
                                              const RequestDeadline& deadline) {
  deadline.check();
  ElementList list = elementArray(ax(), appElement, "AXWindows", maxWindows + 1);
  deadline.check();
  if (list.truncated || static_cast<std::int64_t>(list.elements.size()) > maxWindows)
    raise("window_limit_exceeded");
  std::vector<Element> windows = std::move(list.elements);

  if (windows.empty()) {
    for (const char* attribute : {"AXFocusedWindow", "AXMainWindow"}) {
      deadline.check();
      AttributeValue value;
      AXError status = ax().copyAttributeValue(appElement, attribute, value);
      if (status == platform::kAXErrorNoValue || status == platform::kAXErrorAttributeUnsupported ||
          status == platform::kAXErrorFailure)
        continue;
      if (status != platform::kAXErrorSuccess)
        raise("ax_error", "copy_attribute", diagnosticAttribute(attribute), status);
      if (value.kind != AttributeValue::Kind::Element)
        raise("ax_error", "attribute_type", diagnosticAttribute(attribute));
      if (stringAttribute(ax(), value.element, "AXRole") != std::optional<std::string>("AXWindow"))
        continue;
      bool known = std::any_of(windows.begin(), windows.end(),
                               [&](const Element& w) { return cfElementsEqual(w, value.element); });
      if (!known) windows.push_back(value.element);
    }
  }

  for (const Element& window : windows) {
    deadline.check();
    if (elementPID(ax(), window) != pid) raise("ax_error", "verify_pid");
  }
  return windows;
}

Json AXHelper::recordWindows(const std::string& app, const ProcessIdentity& process,
                             const std::vector<Element>& elements, const RequestDeadline& deadline) {
  const double now = clock().uptime();
  Json entries = Json::array();
  for (const Element& element : elements) {
    deadline.check();
    const std::int64_t handle = windows_.record(app, process, element, now);
    // The handle is registered before the reads below, so it survives their failure.
    auto title = stringAttribute(ax(), element, "AXTitle");
    deadline.check();
    auto role = stringAttribute(ax(), element, "AXRole");
    deadline.check();

    Json entry = {{"window_id", handle}, {"title", nullptr}, {"role", nullptr}};
    if (title) {
      auto cut = bounded(*title, maxLabelCharacters);
      entry["title"] = cut.text;
      if (cut.truncated) entry["title_truncated"] = true;
    }
    if (role) entry["role"] = *role;
    entries.push_back(std::move(entry));
  }
  return entries;
}

Element AXHelper::revalidateWindow(const WindowRecord& record, const RequestDeadline& deadline) {
  deadline.check();
  Element appElement = confirmProcess(record.process);
  std::vector<Element> current = currentWindows(appElement, record.process.pid, deadline);
  std::vector<Element> same;
  for (Element& window : current)
    if (cfElementsEqual(window, record.element)) same.push_back(std::move(window));
  if (same.size() != 1) raise("window_unavailable");
  return std::move(same.front());
}

void AXHelper::pruneState() {
  observations_.pruneExpired(clock().uptime());
  windows_.prune();
}

}  // namespace velmaris::gui
