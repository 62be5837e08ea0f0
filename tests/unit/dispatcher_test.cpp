// Request shape checking and dispatch: every refusal the dispatcher makes, the typed
// arguments of accepted requests, proof on the simulated desktop that a refused request
// does no platform work, and the merging of a window image into an observation.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "gui/channel/dispatcher.h"
#include "sim_helper.h"

namespace velmaris::gui {
namespace {

using velmaris::testing::SimHelper;

// The code of the HelperFailure `body` throws, "accepted" when it throws none. Shape
// refusals carry nothing but their code.
std::string codeOf(const std::function<void()>& body, bool bareRefusal = true) {
  try {
    body();
  } catch (const HelperFailure& f) {
    if (bareRefusal) {
      EXPECT_FALSE(f.stage || f.attribute || f.axStatus || f.inputAttempted);
    }
    return f.code;
  }
  return "accepted";
}

const char* const windows = R"({"id":1,"method":"windows","app":"com.example.app")";
const char* const observe = R"({"id":1,"method":"observe","app":"a")";
const char* const element = R"({"id":1,"app":"a","window_id":3,"observation_id":"o","element_ref":"e")";
const char* const target = R"({"id":1,"app":"a","window_id":3,"observation_id":"o","role":"AXButton")";

Json request(const std::string& head, const std::string& rest) {
  return Json::parse(head + rest + "}");
}

struct Refusal {
  Json request;
  std::string code;
};

std::vector<Refusal> refusals() {
  const std::string longLabel = std::string(2049, 'l');
  return {
      {request(windows, R"(,"extra":1)"), "invalid_input"},
      {request(windows, R"(,"window_id":null)"), "invalid_input"},
      {request(windows, R"(,"include_image":false)"), "invalid_input"},
      {request(windows, R"(,"action":"AXPress")"), "invalid_input"},
      {request(observe, R"(,"window_id":3.5)"), "invalid_input"},
      {request(observe, R"(,"window_id":"3")"), "invalid_input"},
      {request(observe, R"(,"window_id":true)"), "invalid_input"},
      {request(observe, R"(,"window_id":0)"), "invalid_input"},
      {request(observe, R"(,"window_id":-1)"), "invalid_input"},
      {request(observe, R"(,"window_id":-3.0)"), "invalid_input"},
      {request(observe, R"(,"window_id":0.0)"), "invalid_input"},
      {request(observe, R"(,"window_id":1e300)"), "invalid_input"},
      {request(observe, R"(,"window_id":1e17)"), "invalid_input"},
      {request(observe, R"(,"window_id":9223372036854775808)"), "invalid_input"},
      {request(observe, R"(,"window_id":null)"), "invalid_input"},
      {request(observe, ""), "invalid_input"},
      {request(observe, R"(,"window_id":3,"include_image":1)"), "invalid_input"},
      {request(observe, R"(,"window_id":3,"include_image":null)"), "invalid_input"},
      {request(observe, R"(,"window_id":3,"observation_id":"o")"), "invalid_input"},
      {request(element, R"(,"method":"action","action":"AXRaise")"), "invalid_input"},
      {request(element, R"(,"method":"action","action":"")"), "invalid_input"},
      {request(element, R"(,"method":"action")"), "invalid_input"},
      {request(element, R"(,"method":"press","action":"AXPress")"), "invalid_input"},
      {request(element, R"(,"method":"set_value")"), "invalid_input"},
      {request(element, R"(,"method":"press","value":1)"), "invalid_input"},
      {request(element, R"(,"method":"press","role":"AXButton")"), "invalid_input"},
      {request(element, R"(,"method":"press","observation_id":"")"), "invalid_input"},
      {request(element, R"(,"method":"press","element_ref":")" + std::string(129, 'e') + "\""),
       "invalid_input"},
      {request(target, R"(,"method":"press_target")"), "invalid_input"},
      {request(target, R"(,"method":"press_target","label":null)"), "invalid_input"},
      {request(target, R"(,"method":"press_target","identifier":"")"), "invalid_input"},
      {request(target, R"(,"method":"press_target","label":")" + longLabel + "\""), "invalid_input"},
      {request(target, R"(,"method":"press_target","label":"OK","element_ref":"e")"), "invalid_input"},
      {request(target, R"(,"method":"press_target","label":"OK","value":"v")"), "invalid_input"},
      {request(target, R"(,"method":"set_value_target","label":"OK")"), "invalid_input"},
      {request(target, R"(,"method":"press_target","label":"OK","role":7)"), "invalid_input"},
      {Json{{"id", 1}, {"app", "a"}, {"method", std::string(65, 'm')}}, "invalid_input"},
      {Json{{"id", 1}, {"app", "a"}, {"method", std::string(64, 'm')}}, "unknown_method"},
      {Json{{"id", 1}, {"method", "nope"}}, "invalid_input"},
      {Json{{"id", 1}, {"app", ""}, {"method", "nope"}}, "invalid_input"},
      {Json{{"id", 1}, {"app", std::string(513, 'a')}, {"method", "windows"}}, "invalid_input"},
      {Json{{"id", 1}, {"app", "a"}, {"method", 5}}, "invalid_input"},
      {Json{{"id", 1}, {"app", "a"}, {"method", "nope"}, {"action", "AXPress"}}, "invalid_input"},
      {Json{{"id", 1}, {"app", "a"}, {"method", "nope"}, {"include_image", true}}, "invalid_input"},
      {Json{{"id", 1}, {"app", "a"}, {"method", "Windows"}}, "unknown_method"},
      // The browser methods are named exactly too: this one is no browser request.
      {Json{{"id", 1}, {"app", "a"}, {"method", "Browser_status"}}, "unknown_method"},
      {Json::array({1, 2}), "invalid_input"},
  };
}

TEST(Dispatcher, AcceptedShapesCarryTypedArguments) {
  EXPECT_EQ(checkedCall(request(windows, "")).app, "com.example.app");
  EXPECT_EQ(checkedCall(Json{{"method", "windows"}, {"app", std::string(512, 'a')}}).method,
            "windows");  // the id is the loop's concern

  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::int64_t>>{
           {"3", 3}, {"3.0", 3}, {"1e16", 10000000000000000}, {"9223372036854775807", INT64_MAX}}) {
    const MethodCall call = checkedCall(request(observe, R"(,"window_id":)" + text));
    EXPECT_EQ(call.windowID, expected) << text;
    EXPECT_FALSE(call.includeImage);
  }
  EXPECT_TRUE(checkedCall(request(observe, R"(,"method":"observe_targets","window_id":2,"include_image":true)"))
                  .includeImage);
  EXPECT_FALSE(checkedCall(request(observe, R"(,"window_id":2,"include_image":false)")).includeImage);

  const MethodCall setNull = checkedCall(request(element, R"(,"method":"set_value","value":null)"));
  ASSERT_TRUE(setNull.rawValue);
  EXPECT_TRUE(setNull.rawValue->is_null());
  EXPECT_FALSE(setNull.press);
  EXPECT_EQ(setNull.elementRef, "e");
  EXPECT_EQ(setNull.observationID, "o");

  const MethodCall press = checkedCall(request(element, R"(,"method":"press")"));
  EXPECT_TRUE(press.press);
  EXPECT_FALSE(press.rawValue || press.action || press.selector);

  const MethodCall action = checkedCall(request(element, R"(,"method":"action","action":"AXPress")"));
  EXPECT_EQ(action.action, "AXPress");
  EXPECT_FALSE(action.press);

  const MethodCall setTarget = checkedCall(
      request(target, R"(,"method":"set_value_target","label":")" + std::string(2048, 'l') +
                          R"(","value":{"n":[1]})"));
  ASSERT_TRUE(setTarget.selector);
  EXPECT_EQ(*setTarget.selector,
            (SemanticSelector{"AXButton", std::string(2048, 'l'), std::nullopt}));
  EXPECT_EQ(*setTarget.rawValue, Json::parse(R"({"n":[1]})"));
  EXPECT_TRUE(setTarget.elementRef.empty());

  const MethodCall pressTarget =
      checkedCall(request(target, R"(,"method":"press_target","identifier":"ok-button")"));
  EXPECT_EQ(*pressTarget.selector, (SemanticSelector{"AXButton", std::nullopt, "ok-button"}));
  EXPECT_TRUE(pressTarget.press);
}

TEST(Dispatcher, RefusalsComeBeforeAnyPlatformWork) {
  SimHelper sim;
  AXHelper& helper = sim.ax();
  for (const auto& r : refusals()) {
    sim.desktop.calls.clear();
    EXPECT_EQ(codeOf([&] { helper.handle(r.request); }), r.code) << r.request.dump();
    EXPECT_TRUE(sim.desktop.calls.empty()) << r.request.dump();
  }

  // A request of the right shape goes on to its method, which does the platform work.
  sim.desktop.calls.clear();
  codeOf([&] { helper.handle(request(windows, "")); }, false);
  EXPECT_FALSE(sim.desktop.calls.empty());

  // Shapes that pass reach their methods, whatever those answer.
  for (const Json& accepted :
       {request(observe, R"(,"window_id":3,"include_image":true)"),
        request(element, R"(,"method":"set_value","value":null)"),
        request(target, R"(,"method":"press_target","label":"OK")")}) {
    const std::string code = codeOf([&] { helper.handle(accepted); }, false);
    EXPECT_NE(code, "invalid_input") << accepted.dump();
    EXPECT_NE(code, "unknown_method") << accepted.dump();
  }
}

TEST(Dispatcher, WindowImageMerging) {
  int shots = 0;
  const auto image = [&](const std::string& id) {
    ++shots;
    EXPECT_EQ(id, "obs-1");
    return Json{{"image", "data"}, {"width", 10}};
  };
  Json noID = {{"tree", 1}};
  attachWindowImage(noID, image);
  Json numericID = {{"observation_id", 1}};
  attachWindowImage(numericID, image);
  EXPECT_EQ(shots, 0);
  EXPECT_EQ(noID, (Json{{"tree", 1}}));

  Json merged = {{"observation_id", "obs-1"}, {"width", 3}, {"tree", 1}};
  attachWindowImage(merged, image);
  EXPECT_EQ(merged, (Json{{"observation_id", "obs-1"}, {"width", 10}, {"tree", 1}, {"image", "data"}}));

  Json unavailable = {{"observation_id", "obs-1"}};
  attachWindowImage(unavailable, [](const std::string&) -> Json { raise("capture_failed"); });
  // With no diagnostics, none are made up (a capture's diagnostics are proven through one).
  EXPECT_EQ(unavailable, (Json{{"observation_id", "obs-1"}, {"visual_unavailable", "capture_failed"}}));

  Json other = {{"observation_id", "obs-1"}};
  EXPECT_THROW(attachWindowImage(other, [](const std::string&) -> Json { throw std::bad_alloc(); }),
               std::bad_alloc);
}

// The rest of these validators' rules are proven through the refusals above.
TEST(Validators, StringLimitsCountBytes) {
  const Json eight = "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9";  // 8 bytes, 4 characters
  EXPECT_EQ(nonEmptyString(&eight, 8), eight.get<std::string>());
  EXPECT_EQ(codeOf([&] { nonEmptyString(&eight, 7); }), "invalid_input");
}

}  // namespace
}  // namespace velmaris::gui
