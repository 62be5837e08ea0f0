// Tool definitions. The schemas restate the dispatcher's limits for the agent's benefit
// only: the helper checks every argument again, so a host that ignores a schema gets the
// helper's own refusal, never a looser rule. JSON Schema "maxLength" counts characters
// while the helper counts UTF-8 bytes, so the descriptions say bytes.
#include "mcp/tool_catalog.h"

#include <string>

#include "gui/channel/dispatcher.h"
#include "gui/limits.h"

namespace velmaris::mcp {
namespace {

using gui::maxAppBytes;
using gui::maxReferenceBytes;
using gui::maxSelectorTextBytes;

Json text(std::size_t maxBytes, const std::string& description) {
  return {{"type", "string"},
          {"minLength", 1},
          {"maxLength", maxBytes},
          {"description", description + " At most " + std::to_string(maxBytes) + " bytes of UTF-8."}};
}

Json appMember() {
  return text(maxAppBytes,
              "The application key: the reverse-DNS application id the process publishes "
              "(\"org.gnome.Calculator\", a Flatpak id), else the name of its executable "
              "(\"xterm\").");
}

Json windowMember() {
  return {{"type", "integer"},
          {"minimum", 1},
          {"description", "A window handle (\"window_id\") from the \"windows\" tool."}};
}

Json observationMember() {
  return text(maxReferenceBytes,
              "The \"observation_id\" of a live observation of this window, from \"observe\" or "
              "\"observe_targets\".");
}

Json valueMember() {
  return {{"type", Json::array({"string", "number", "boolean"})},
          {"description",
           "The value to write: a string (at most 32768 bytes), a number or a boolean, as the "
           "element holds it (text fields take strings, sliders and spin buttons numbers, "
           "check boxes booleans)."}};
}

Json selectorMembers(Json properties) {
  properties["role"] = text(maxReferenceBytes,
                            "The target's role as \"observe_targets\" lists it (\"AXButton\", "
                            "\"AXTextField\" ...).");
  properties["label"] = text(maxSelectorTextBytes, "The target's label, exactly as listed.");
  properties["identifier"] =
      text(maxSelectorTextBytes, "The target's identifier, exactly as listed.");
  return properties;
}

Json objectSchema(Json properties, Json required) {
  return {{"type", "object"},
          {"properties", std::move(properties)},
          {"required", std::move(required)},
          {"additionalProperties", false}};
}

Json actionNames() {
  Json names = Json::array();
  for (const auto name : gui::supportedActions) names.push_back(std::string(name));
  return names;
}

// Annotations are hints to the host; the three kinds of tools differ in what they change.
Json readOnly(const char* title) {
  return {{"title", title}, {"readOnlyHint", true}};
}
Json mutating(const char* title) {
  return {{"title", title}, {"readOnlyHint", false}, {"destructiveHint", true},
          {"idempotentHint", false}};
}

constexpr const char* kUsedUp =
    " Uses up every observation of every window, whatever the outcome: observe again before "
    "the next press, action or value write. A refusal carries \"input_attempted\": whether "
    "anything was sent to the application.";

constexpr const char* kObservationRules =
    " An observation lives 60 s and is used up by any press, action or value write, "
    "successful or not. With include_image true, a JPEG of the window comes as image content "
    "and \"visual\" gives its geometry (\"bounds\" in screen points, \"width\" and \"height\" "
    "in pixels, \"scale_x\" and \"scale_y\" pixels per point); when no image can be taken, "
    "\"visual_unavailable\" says why and the observation still stands. Changes nothing in the "
    "application.";

Json buildTools() {
  const Json app = appMember();
  const Json window = windowMember();
  const Json observation = observationMember();
  const Json elementRef = text(maxReferenceBytes, "An \"element_ref\" from that observation.");
  const Json includeImage = {
      {"type", "boolean"},
      {"description", "Attach a JPEG image of the window (longer side at most 1600 pixels)."}};
  const Json observeSchema = objectSchema({{"app", app}, {"window_id", window},
                                           {"include_image", includeImage}},
                                          {"app", "window_id"});
  const Json elementProperties = {{"app", app}, {"window_id", window},
                                  {"observation_id", observation}, {"element_ref", elementRef}};
  const Json elementRequired = {"app", "window_id", "observation_id", "element_ref"};
  const Json targetProperties = selectorMembers(
      {{"app", app}, {"window_id", window}, {"observation_id", observation}});
  const Json targetRequired = {"app", "window_id", "observation_id", "role"};
  // A selector names its target by label, by identifier or by both.
  const Json labelOrIdentifier = Json::array({{{"required", {"label"}}}, {{"required", {"identifier"}}}});

  Json actionProperties = elementProperties;
  actionProperties["action"] = {{"type", "string"},
                                {"enum", actionNames()},
                                {"description", "The action; the element must list it in its \"actions\"."}};
  Json actionRequired = elementRequired;
  actionRequired.push_back("action");

  Json setValueProperties = elementProperties;
  setValueProperties["value"] = valueMember();
  Json setValueRequired = elementRequired;
  setValueRequired.push_back("value");

  Json setTargetProperties = targetProperties;
  setTargetProperties["value"] = valueMember();
  Json setTargetRequired = targetRequired;
  setTargetRequired.push_back("value");

  Json pressTargetSchema = objectSchema(targetProperties, targetRequired);
  pressTargetSchema["anyOf"] = labelOrIdentifier;
  Json setTargetSchema = objectSchema(setTargetProperties, setTargetRequired);
  setTargetSchema["anyOf"] = labelOrIdentifier;

  const Json browserSchema = objectSchema(
      {{"app", {{"type", "string"},
                {"const", "com.google.Chrome"},
                {"description", "The browser's application key; only Google Chrome is served."}}},
       {"process_id", {{"type", "integer"},
                       {"minimum", 1},
                       {"maximum", 2147483647},
                       {"description", "The browser's process id."}}},
       {"process_started", {{"type", "number"},
                            {"exclusiveMinimum", 0},
                            {"description",
                             "The process's start time in seconds since the Unix epoch, with "
                             "microseconds as the fraction; it must match the kernel's record "
                             "within 2 microseconds."}}}},
      {"app", "process_id", "process_started"});

  auto tool = [](const char* name, std::string description, Json schema, Json annotations) {
    return Json{{"name", name},
                {"title", annotations["title"]},
                {"description", std::move(description)},
                {"inputSchema", std::move(schema)},
                {"annotations", std::move(annotations)}};
  };

  Json tools = Json::array();
  tools.push_back(tool(
      "windows",
      "Lists the windows of one running application: {\"process_id\", \"windows\": "
      "[{\"window_id\", \"title\", \"role\"}], \"capabilities\"}. A window_id stays the same "
      "while the same window of the same process is listed; after the application restarts, "
      "its windows get new handles and old ones are refused with \"process_identity_changed\". "
      "Refuses with \"process_not_found\" when no such application runs and "
      "\"ambiguous_process\" when two running processes with windows share the key. Changes "
      "nothing in the application.",
      objectSchema({{"app", app}}, {"app"}), readOnly("List an application's windows")));
  tools.push_back(tool(
      "observe",
      std::string("Observes one window's accessibility tree (at most 128 elements, 10 levels, "
                  "32 children per element; \"truncated\" tells when it was cut) and returns "
                  "{\"observation_id\", \"tree\", \"truncated\", \"visited_elements\", "
                  "\"ttl_seconds\", \"process_id\", \"window_id\"}. Every node carries an "
                  "\"element_ref\" and its \"role\", \"label\", \"identifier\", \"value\", "
                  "\"enabled\", \"settable\", \"pressable\", \"actions\" and \"children\"; "
                  "press, action and set_value name an element by observation_id and "
                  "element_ref.") + kObservationRules,
      observeSchema, readOnly("Observe a window's element tree")));
  tools.push_back(tool(
      "observe_targets",
      std::string("Observes one window like \"observe\" but returns a flat list, \"targets\", "
                  "of the elements that can be named by role with label or identifier: each "
                  "with \"element_ref\", \"role\", \"label\", \"identifier\", \"enabled\", "
                  "\"pressable\", \"settable\" and \"actions\". press_target and "
                  "set_value_target take such a role and label or identifier.") +
          kObservationRules,
      observeSchema, readOnly("Observe a window's targets")));
  tools.push_back(tool(
      "press",
      std::string("Presses one element of a live observation and returns {\"action\", "
                  "\"action_accepted\", \"postcondition_verified\": false, ...}. The window, "
                  "the process (id and start time) and the element are checked again first; "
                  "the effect is not checked, so observe again to see it. Refuses an element "
                  "that cannot be pressed, an unknown or expired observation "
                  "(\"observation_unavailable\") and a window or process that changed.") +
          kUsedUp,
      objectSchema(elementProperties, elementRequired), mutating("Press an element")));
  tools.push_back(tool(
      "action",
      std::string("Performs one accessibility action on an element of a live observation; "
                  "the element must list the action in its \"actions\". Checked and reported "
                  "like press; the effect is not checked.") + kUsedUp,
      objectSchema(actionProperties, actionRequired), mutating("Perform an element action")));
  tools.push_back(tool(
      "set_value",
      std::string("Writes a value into a settable, enabled element of a live observation and "
                  "reads it back once: \"value_verified\" says whether the read-back equals "
                  "the value written; \"persistence_verified\" is always false.") + kUsedUp,
      objectSchema(setValueProperties, setValueRequired), mutating("Write an element's value")));
  tools.push_back(tool(
      "press_target",
      std::string("Presses the one element of a live observation with this role and label "
                  "and/or identifier (as \"observe_targets\" lists them); refuses when none or "
                  "more than one matches. Otherwise as press.") + kUsedUp,
      pressTargetSchema, mutating("Press an element by role and label")));
  tools.push_back(tool(
      "set_value_target",
      std::string("Writes a value into the one element of a live observation with this role "
                  "and label and/or identifier; refuses when none or more than one matches. "
                  "Otherwise as set_value.") + kUsedUp,
      setTargetSchema, mutating("Write a value by role and label")));
  tools.push_back(tool(
      "browser_status",
      "Reports on one browser process the caller already knows by process id and start time: "
      "{\"process_id\", \"process_hidden\", \"process_active\", \"onscreen_window_count\", "
      "\"foreground_verified\"}. Refuses with \"process_identity_changed\" when that process "
      "is gone or is another program now. Changes nothing.",
      browserSchema, readOnly("Report a browser's state")));
  Json reveal = mutating("Bring a browser to the front");
  reveal["destructiveHint"] = false;
  reveal["idempotentHint"] = true;
  tools.push_back(tool(
      "browser_reveal",
      "Unhides and activates that browser process and waits, within the 3-second deadline, "
      "until it is visible and active; returns the same report as browser_status, with "
      "\"foreground_verified\" true when it worked. A browser that does not come forward in "
      "time is reported, not refused.",
      browserSchema, std::move(reveal)));
  return tools;
}

}  // namespace

const Json& toolList() {
  static const Json tools = buildTools();
  return tools;
}

bool isTool(std::string_view name) {
  for (const auto& tool : toolList())
    if (tool["name"].get_ref<const std::string&>() == name) return true;
  return false;
}

}  // namespace velmaris::mcp
