// Presses, actions and value writes on the simulated desktop: the order of the shared
// checks, when the observation store is consumed, when input counts as attempted, the
// scroll-area exception, action identities, and what a value write claims to have verified.
#include "gui/actions/mutate.h"

#include <functional>
#include <memory>

#include "tree_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using platform::AttributeValue;
using platform::Element;

// --- The shared checks, in order --------------------------------------------------------

// A window holding a group with a button and a text field, observed twice: the first
// observation is the one acted through, the second a bystander that tells whether the
// store was emptied.
struct World : SimApp {
  Element group, button, field;
  std::string observationID, spareID, buttonRef, fieldRef;

  World() {
    group = add(window, "AXGroup");
    button = SimApp::button(group, "OK");
    field = textField(group, "old");
    Json observed = observe();
    observationID = observed["observation_id"];
    spareID = observe()["observation_id"];
    // The bystander outlives any clock jump a test makes.
    s.ax().observations().at(spareID).expiresAtUptime += 1000;
    buttonRef = refOf(observed, button);
    fieldRef = refOf(observed, field);
  }
  bool storeEmptied() { return s.ax().observations().records().count(spareID) == 0; }
  int writes() { return s.desktop.calls["performAction"] + s.desktop.calls["setAttributeValue"]; }
};

struct Request {
  std::string app = "org.example.App";
  std::int64_t windowID = 1;
  std::string observationID, ref;
  std::optional<Json> value;
  bool press = false;
  std::optional<std::string> action;
  std::optional<SemanticSelector> selector;
  double deadlineSeconds = requestDeadlineSeconds;
};

// A press of the button, or a write of "new" into the field, through the first observation.
Request acting(const World& w, bool press) {
  Request r;
  r.press = press;
  if (!press) r.value = Json("new");
  r.observationID = w.observationID;
  r.ref = press ? w.buttonRef : w.fieldRef;
  return r;
}

Json run(World& w, const Request& r) {
  RequestDeadline deadline(*w.s.platform.clock, r.deadlineSeconds);
  return w.s.ax().mutateResult(r.app, r.windowID, r.observationID, r.ref, r.value, r.press,
                               r.action, r.selector, deadline);
}

struct Breakage {
  std::string line;  // the failure, as failureText writes it
  bool consumes;     // the store is empty afterwards
  std::function<void(World&, Request&)> apply;
};

// A refusal before any input, with nothing but its code.
std::string bare(const std::string& code) { return code + " - - - no-input"; }

// Applies breakages[k..] for every k, latest first, each time to a fresh world: the earliest
// one present must be the one reported, with the store and input flags of its step.
void expectRefusalsInOrder(const std::vector<Breakage>& breakages, bool press,
                           std::optional<SemanticSelector> selector = std::nullopt) {
  for (std::size_t k = breakages.size(); k-- > 0;) {
    SCOPED_TRACE("earliest breakage: " + std::to_string(k) + " " + breakages[k].line);
    auto w = std::make_unique<World>();
    Request r = acting(*w, press);
    r.selector = selector;
    for (std::size_t i = breakages.size(); i-- > k;) breakages[i].apply(*w, r);
    w->s.desktop.calls.clear();
    EXPECT_EQ(failureLine([&] { run(*w, r); }), breakages[k].line);
    EXPECT_EQ(w->storeEmptied(), breakages[k].consumes);
    EXPECT_LE(w->writes(), 1);
  }
}

void setEnabled(World& w, const Element& e, bool enabled) {
  auto& a = w.s.desktop.attribute(e, "AXEnabled");
  a.status = platform::kAXErrorSuccess;
  a.value = AttributeValue::ofBoolean(enabled);
}

TEST(MutateOrder, PressTargetRefusesAtTheFirstFailingCheck) {
  const std::vector<Breakage> breakages = {
      {bare("deadline_exceeded"), false, [](World&, Request& r) { r.deadlineSeconds = 0; }},
      {bare("accessibility_required"), false,
       [](World& w, Request&) { w.s.desktop.trusted = false; }},
      {bare("observation_unavailable"), false, [](World& w, Request&) { w.s.clock.advance(60); }},
      {bare("observation_mismatch"), false,
       [](World&, Request& r) { r.app = "org.example.Other"; }},
      {bare("observation_mismatch"), false, [](World&, Request& r) { r.ref = "not-a-ref"; }},
      {bare("window_unavailable"), true,
       [](World& w, Request&) { w.s.ax().windows().forget(1); }},
      {bare("process_identity_changed"), true,
       [](World& w, Request&) { w.s.ax().windows().at(1).process.startMicroseconds += 1; }},
      {bare("window_unavailable"), true,
       [](World& w, Request&) { w.s.desktop.removeWindow(10, w.window); }},
      {bare("element_unavailable"), true,
       [](World& w, Request&) {
         w.s.desktop.attribute(w.group, "AXChildren").value.elements = {w.field};
       }},
      // Forty new siblings ahead of the button push it past the children a search reads:
      // not guessed at.
      {bare("tree_limit_exceeded"), true,
       [](World& w, Request&) {
         auto& children = w.s.desktop.attribute(w.group, "AXChildren").value.elements;
         for (int i = 0; i < 40; ++i)
           children.insert(children.begin(), w.s.desktop.addElement(10, "AXGroup"));
       }},
      {bare("element_unavailable"), true,
       [](World& w, Request&) { w.s.desktop.element(w.button).pidOverride = 11; }},
      {bare("target_changed"), true,
       [](World& w, Request&) { w.s.desktop.setString(w.button, "AXTitle", "Okay"); }},
      {bare("target_ambiguous"), true,
       [](World& w, Request&) { w.add(w.window, "AXButton", "OK"); }},
      {bare("element_not_enabled"), true,
       [](World& w, Request&) { setEnabled(w, w.button, false); }},
      {bare("value_not_comparable"), true,
       [](World& w, Request& r) {
         w.s.ax().observations().at(r.observationID).elements.at(w.buttonRef).valueDigest.reset();
       }},
      {bare("value_not_comparable"), true,
       [](World& w, Request&) {
         w.s.desktop.attribute(w.button, "AXValue").value = AttributeValue::ofPoint({1, 2});
       }},
      {bare("value_changed"), true,
       [](World& w, Request&) { w.s.desktop.setString(w.button, "AXValue", "on"); }},
      // The action gate: a press needs an enabled state known to be true.
      {bare("element_not_enabled"), true,
       [](World& w, Request&) {
         w.s.desktop.setStatus(w.button, "AXEnabled", platform::kAXErrorAttributeUnsupported);
       }},
      // Its identity cannot be read: a failure, not a changed identity.
      {"ax_error copy_attribute AXDescription -25200 no-input", true,
       [](World& w, Request&) { w.s.desktop.setStatus(w.button, "AXDescription", -25200); }},
      // What the element presents changed: its identity no longer matches the observed one.
      {bare("press_target_changed"), true,
       [](World& w, Request&) { w.s.desktop.setString(w.button, "AXHelp", "Now deletes"); }},
      {"ax_error perform_action - -25204 input", true,
       [](World& w, Request&) { w.s.desktop.element(w.button).actionResults["AXPress"] = -25204; }},
  };
  expectRefusalsInOrder(breakages, true, SemanticSelector{"AXButton", "OK", std::nullopt});
}

TEST(MutateOrder, SetValueRefusesAtTheFirstFailingCheck) {
  const std::vector<Breakage> breakages = {
      {bare("observation_mismatch"), false, [](World&, Request& r) { r.windowID = 2; }},
      // The value is converted only once the store has been consumed.
      {bare("invalid_input"), true, [](World&, Request& r) { r.value = Json(nullptr); }},
      {bare("window_unavailable"), true,
       [](World& w, Request&) { w.s.ax().windows().forget(1); }},
      {bare("element_not_enabled"), true,
       [](World& w, Request&) { setEnabled(w, w.field, false); }},
      {bare("value_not_settable"), true,
       [](World& w, Request&) { w.s.desktop.attribute(w.field, "AXValue").settable = false; }},
      // The value's read fails before the write: nothing was sent.
      {"ax_error copy_attribute AXValue -25204 no-input", true,
       [](World& w, Request&) { w.s.desktop.setStatus(w.field, "AXValue", -25204); }},
      {bare("value_changed"), true,
       [](World& w, Request&) { w.s.desktop.setString(w.field, "AXValue", "typed"); }},
      {"ax_error set_attribute AXValue -25201 input", true,
       [](World& w, Request&) { w.s.desktop.attribute(w.field, "AXValue").writeStatus = -25201; }},
      // The read-back fails once the value has been written.
      {"ax_error copy_attribute AXValue -25204 input", true,
       [](World& w, Request&) {
         World* world = &w;
         w.s.desktop.beforeCall = [world](const std::string& call) {
           if (call == "copyAttributeValue" && world->s.desktop.calls["setAttributeValue"] > 0)
             world->s.desktop.setStatus(world->field, "AXValue", platform::kAXErrorCannotComplete);
         };
       }},
  };
  expectRefusalsInOrder(breakages, false);
}

// Changes made after the element was found again, each just before one of the last
// re-checks: the first call named `after` arms the change, the next call named `at` makes it.
TEST(MutateOrder, ChangesAfterTheElementWasFoundAreCaughtBeforeTheInput) {
  struct Case {
    const char* name;
    bool press;
    const char* after;
    const char* at;
    std::function<void(World&)> change;
    const char* code;
  };
  auto restart = [](World& w) { w.s.desktop.process(10)->startMicroseconds += 1; };
  auto close = [](World& w) { w.s.desktop.removeWindow(10, w.window); };
  auto lateClock = [](World& w) { w.s.clock.advance(4); };
  const std::vector<Case> cases = {
      // The element's pid is read once the walk has found it; the process and the window
      // are confirmed after that.
      {"process restarted", true, "endWalk", "getPid", restart, "process_identity_changed"},
      {"window closed", false, "endWalk", "getPid", close, "window_unavailable"},
      // The clock passes the deadline during the last read before the input.
      {"late press", true, "copyActionNames", "copyAttributeValue", lateClock, "deadline_exceeded"},
      {"late write", false, "isAttributeSettable", "copyAttributeValue", lateClock,
       "deadline_exceeded"},
      {"late enabled state", false, "beginWalk", "copyAttributeValue", lateClock,
       "deadline_exceeded"},
      // Late and restarted before the second revalidation: the deadline is checked first.
      {"late and restarted", true, "endWalk", "getPid", [&](World& w) { lateClock(w), restart(w); },
       "deadline_exceeded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    World w;
    Request r = acting(w, c.press);
    w.s.desktop.calls.clear();
    bool armed = false, done = false;
    int later = 0;  // calls after the change, the walk's end aside
    w.s.desktop.beforeCall = [&](const std::string& call) {
      if (done && call != "endWalk") ++later;
      if (armed && !done && call == c.at) {
        done = true;
        c.change(w);
      }
      if (call == c.after) armed = true;
    };
    HelperFailure f = failureOf([&] { run(w, r); });
    EXPECT_TRUE(done);
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.inputAttempted, false);
    EXPECT_EQ(w.writes(), 0);
    if (!c.press && f.code == "deadline_exceeded") {
      EXPECT_EQ(later, 0);  // a late write reads nothing more
    }
  }
}

// --- Actions ---------------------------------------------------------------------------

struct MutateTest : TreeTest {
  // Acts through `o` on the element under `ref`.
  Json act(const Json& o, const std::string& ref, std::optional<Json> value, bool press,
           std::optional<std::string> action = std::nullopt) {
    return s.ax().mutateResult(app, 1, o["observation_id"], ref, std::move(value), press,
                               std::move(action), std::nullopt, s.deadline());
  }
  Json press(const Json& o, const Element& e) { return act(o, refOf(o, e), std::nullopt, true); }
  Json perform(const Json& o, const Element& e, const std::string& action) {
    return act(o, refOf(o, e), std::nullopt, false, action);
  }
  Json setValue(const Json& o, const Element& e, const Json& value) {
    return act(o, refOf(o, e), value, false);
  }
  // The refusal of `action` on `e` through a fresh observation.
  std::string refusal(const Element& e, const std::string& action) {
    return failureOf([&] { perform(observe(), e, action); }).code;
  }
  std::vector<std::string>& performed(const Element& e) { return s.desktop.element(e).performed; }
};

TEST_F(MutateTest, APressConsumesEveryObservation) {
  Element ok = button(window, "OK");
  targets();  // an earlier observation
  Json o = observe();
  std::string ref = refOf(o, ok);

  EXPECT_EQ(press(o, ok), (Json{{"process_id", 10}, {"window_id", 1}, {"observation_id", o["observation_id"]},
                                {"element_ref", ref}, {"action", "AXPress"}, {"action_accepted", true},
                                {"postcondition_verified", false}}));
  EXPECT_EQ(performed(ok), std::vector<std::string>{"AXPress"});
  // Also the one made before it (how each refusal then ends is in the order tables above).
  EXPECT_TRUE(s.ax().observations().records().empty());
}

TEST_F(MutateTest, PageScrollsReachScrollAreasWithoutAnEnabledState) {
  auto scrollArea = [&](std::optional<platform::AXError> enabledStatus) {
    Element pane = add(window, "AXScrollArea");
    s.desktop.element(pane).actions = {"AXScrollDownByPage", "AXScrollUpByPage", "AXPress",
                                       "AXShowMenu"};
    if (enabledStatus) s.desktop.setStatus(pane, "AXEnabled", *enabledStatus);
    return pane;
  };
  // No AXEnabled at all (-25205): the page scroll goes ahead, nothing else does.
  Element pane = scrollArea(std::nullopt);
  EXPECT_EQ(perform(observe(), pane, "AXScrollDownByPage")["action"], "AXScrollDownByPage");
  EXPECT_EQ(performed(pane), std::vector<std::string>{"AXScrollDownByPage"});
  EXPECT_EQ(failureOf([&] { press(observe(), pane); }).code, "element_not_enabled");
  EXPECT_EQ(refusal(pane, "AXShowMenu"), "element_not_enabled");

  // An enabled state that exists but has no value is not the same as none at all.
  Element silent = scrollArea(platform::kAXErrorNoValue);
  EXPECT_EQ(refusal(silent, "AXScrollDownByPage"), "element_not_enabled");

  // Only for what was a scroll area when observed and still is one.
  Element group = add(window, "AXGroup");
  s.desktop.element(group).actions = {"AXScrollDownByPage"};
  EXPECT_EQ(refusal(group, "AXScrollDownByPage"), "element_not_enabled");
  Json before = observe();
  s.desktop.setString(pane, "AXRole", "AXGroup");
  EXPECT_EQ(failureOf([&] { perform(before, pane, "AXScrollUpByPage"); }).code,
            "element_not_enabled");
}

TEST_F(MutateTest, AXPressAskedForByNameIsAnAction) {
  Element ok = button(window, "OK");
  EXPECT_EQ(perform(observe(), ok, "AXPress")["action"], "AXPress");

  // Each case: the actions offered when observed, then what changes before the request.
  struct Case {
    const char* name;
    std::vector<std::string> observed;
    std::function<void()> change;
    std::optional<std::string> action;  // none: a press
    const char* code;
  };
  auto describe = [&](const char* text) {
    return [this, ok, text] { s.desktop.setString(ok, "AXDescription", text); };
  };
  auto offer = [&](std::vector<std::string> actions) {
    return [this, ok, actions] { s.desktop.element(ok).actions = actions; };
  };
  const std::vector<Case> cases = {
      // Its identity changed: the action's own refusal, never the press's.
      {"identity, action", {"AXPress"}, describe("Deletes everything"), "AXPress",
       "action_target_changed"},
      // Not offered when observed, offered now.
      {"new, action", {"AXShowMenu"}, offer({"AXShowMenu", "AXPress"}), "AXPress",
       "action_not_observed"},
      {"new, press", {"AXShowMenu"}, offer({"AXShowMenu", "AXPress"}), std::nullopt,
       "press_target_changed"},
      // Offered when observed, gone now.
      {"gone", {"AXShowMenu", "AXPress"}, offer({"AXPress"}), "AXShowMenu",
       "action_target_changed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.desktop.element(ok).actions = c.observed;
    Json before = observe();
    c.change();
    EXPECT_EQ(failureOf([&] { act(before, refOf(before, ok), std::nullopt, !c.action, c.action); })
                  .code,
              c.code);
  }
  EXPECT_EQ(performed(ok), std::vector<std::string>{"AXPress"});
}

// --- Value writes ----------------------------------------------------------------------

TEST_F(MutateTest, AWriteReportsItsReadBackAndTheEnabledState) {
  Element field = textField(window, "old");
  Json o = observe();
  const std::string ref = refOf(o, field);
  s.desktop.calls.clear();
  EXPECT_EQ(setValue(o, field, "new"),
            (Json{{"process_id", 10}, {"window_id", 1}, {"observation_id", o["observation_id"]},
                  {"element_ref", ref}, {"enabled", true}, {"enabled_provided", true},
                  {"enabled_state", "known"}, {"enabled_ax_status", 0}, {"value_verified", true},
                  {"persistence_verified", false}}));
  EXPECT_EQ(s.desktop.calls["setAttributeValue"], 1);
  EXPECT_EQ(s.desktop.calls["performAction"], 0);

  // A field that trims what it is given took the write, but not as written.
  s.desktop.attribute(field, "AXValue").normalize = [](const AttributeValue& v) {
    return AttributeValue::ofString(v.string.substr(0, v.string.find_last_not_of(' ') + 1));
  };
  s.desktop.setStatus(field, "AXEnabled", platform::kAXErrorAttributeUnsupported);
  Json r = setValue(observe(), field, "padded   ");
  EXPECT_EQ(Json({r["value_verified"], r["enabled"], r["enabled_provided"], r["enabled_state"], r["enabled_ax_status"]}),
            Json({false, nullptr, false, "unknown_attribute_unsupported", -25205}));

  s.desktop.setStatus(field, "AXEnabled", platform::kAXErrorNoValue);
  r = setValue(observe(), field, "plain");
  EXPECT_EQ(Json({r["value_verified"], r["enabled_state"], r["enabled_ax_status"]}),
            Json({true, "unknown_no_value", -25212}));
}

TEST_F(MutateTest, ReadBackComparesValuesAsThePlatformDoes) {
  // A settable, enabled element whose stored value `normalize` makes of what is written.
  auto control = [&](const char* role, AttributeValue value,
                     std::function<AttributeValue(const AttributeValue&)> normalize) {
    Element e = add(window, role);
    auto& v = s.desktop.attribute(e, "AXValue");
    v.value = std::move(value);
    v.settable = true;
    v.normalize = std::move(normalize);
    s.desktop.attribute(e, "AXEnabled").value = AttributeValue::ofBoolean(true);
    return e;
  };
  // The slider keeps every number as a real.
  Element slider = control("AXSlider", AttributeValue::ofReal(30), [](const AttributeValue& v) {
    return AttributeValue::ofReal(v.kind == AttributeValue::Kind::Integer ? double(v.integer)
                                                                          : v.real);
  });
  EXPECT_EQ(setValue(observe(), slider, 60)["value_verified"], true);
  // 2^53 + 1 has no double of its own.
  EXPECT_EQ(setValue(observe(), slider, 9007199254740993)["value_verified"], false);

  // A check box that keeps its state as the number 1: a boolean written is not read back.
  Element check = control("AXCheckBox", AttributeValue::ofInteger(0), [](const AttributeValue& v) {
    return AttributeValue::ofInteger(v.boolean ? 1 : 0);
  });
  EXPECT_EQ(setValue(observe(), check, true)["value_verified"], false);

  // Canonically equivalent spellings are still different values.
  EXPECT_FALSE(sameAttributeValue(AttributeValue::ofString("e\xcc\x81"),
                                  AttributeValue::ofString("\xc3\xa9")));
}

// --- The selector forms, through the dispatcher ------------------------------------------

TEST_F(MutateTest, SelectorFormsResolveThenCheckTheLiveTree) {
  button(window, "OK");
  Element field = textField(window, "old");
  s.desktop.setString(field, "AXIdentifier", "name");
  auto request = [&](const std::string& method, Json members) {
    Json r = {{"id", 1},
              {"method", method},
              {"app", app},
              {"window_id", windowID()},
              {"observation_id", observe()["observation_id"]}};
    r.update(members);
    return r;
  };

  Json result = s.ax().handle(request("press_target", {{"role", "AXButton"}, {"label", "OK"}}));
  EXPECT_EQ(result["action"], "AXPress");
  result = s.ax().handle(request(
      "set_value_target", {{"role", "AXTextField"}, {"identifier", "name"}, {"value", "new"}}));
  EXPECT_EQ(result["value_verified"], true);

  // Resolved within the observation: refused before any mutation began.
  button(window, "OK");
  HelperFailure f = failureOf([&] {
    s.ax().handle(request("press_target", {{"role", "AXButton"}, {"label", "OK"}}));
  });
  EXPECT_EQ(f.code, "target_ambiguous");
  EXPECT_EQ(f.inputAttempted, std::nullopt);
  EXPECT_FALSE(s.ax().observations().records().empty());

  // A look-alike that appeared after the observation: the live check refuses.
  Element save = button(window, "Save");
  Json pressSave = request("press_target", {{"role", "AXButton"}, {"label", "Save"}});
  button(window, "Save");
  f = failureOf([&] { s.ax().handle(pressSave); });
  EXPECT_EQ(f.code, "target_ambiguous");
  EXPECT_EQ(f.inputAttempted, false);
  EXPECT_TRUE(s.ax().observations().records().empty());
  EXPECT_TRUE(performed(save).empty());
}

}  // namespace
}  // namespace velmaris::testing
