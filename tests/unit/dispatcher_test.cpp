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

using velmaris::testing::failureLine;
using velmaris::testing::failureOf;
using velmaris::testing::SimHelper;

const char* const windows = R"({"id":1,"method":"windows","app":"com.example.app")";
const char* const observe = R"({"id":1,"method":"observe","app":"a")";
const char* const element = R"({"id":1,"app":"a","window_id":3,"observation_id":"o","element_ref":"e")";
const char* const target = R"({"id":1,"app":"a","window_id":3,"observation_id":"o","role":"AXButton")";

Json request(const std::string& head, const std::string& rest) {
  return Json::parse(head + rest + "}");
}

// Requests refused as "invalid_input", each for one broken rule.
std::vector<Json> invalidRequests() {
  return {
      request(windows, R"(,"extra":1)"),
      request(windows, R"(,"window_id":null)"),
      request(windows, R"(,"include_image":false)"),
      request(windows, R"(,"action":"AXPress")"),
      request(observe, R"(,"window_id":3.5)"),
      request(observe, R"(,"window_id":true)"),
      request(observe, R"(,"window_id":0)"),
      request(observe, R"(,"window_id":-1)"),
      request(observe, R"(,"window_id":0.0)"),
      request(observe, R"(,"window_id":1e17)"),
      request(observe, R"(,"window_id":9223372036854775808)"),
      request(observe, ""),
      request(observe, R"(,"window_id":3,"include_image":1)"),
      request(observe, R"(,"window_id":3,"observation_id":"o")"),
      request(element, R"(,"method":"action","action":"AXRaise")"),
      request(element, R"(,"method":"action")"),
      request(element, R"(,"method":"press","action":"AXPress")"),
      request(element, R"(,"method":"set_value")"),
      request(element, R"(,"method":"press","value":1)"),
      request(element, R"(,"method":"press","observation_id":"")"),
      request(element, R"(,"method":"press","element_ref":")" + std::string(129, 'e') + "\""),
      request(target, R"(,"method":"press_target")"),
      request(target, R"(,"method":"press_target","label":null)"),
      request(target, R"(,"method":"press_target","identifier":"")"),
      request(target, R"(,"method":"press_target","label":")" + std::string(2049, 'l') + "\""),
      request(target, R"(,"method":"press_target","label":"OK","element_ref":"e")"),
      request(target, R"(,"method":"press_target","label":"OK","role":7)"),
      Json{{"id", 1}, {"app", "a"}, {"method", std::string(65, 'm')}},
      Json{{"id", 1}, {"method", "nope"}},
      Json{{"id", 1}, {"app", std::string(513, 'a')}, {"method", "windows"}},
      Json{{"id", 1}, {"app", "a"}, {"method", 5}},
      Json{{"id", 1}, {"app", "a"}, {"method", "nope"}, {"action", "AXPress"}},
      Json{{"id", 1}, {"app", "a"}, {"method", "nope"}, {"include_image", true}},
      Json::array({1, 2}),
  };
}

TEST(Dispatcher, AcceptedShapesCarryTypedArguments) {
  EXPECT_EQ(checkedCall(request(windows, "")).app, "com.example.app");
  EXPECT_EQ(checkedCall(Json{{"method", "windows"}, {"app", std::string(512, 'a')}}).method,
            "windows");  // the id is the loop's concern

  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::int64_t>>{
           {"3", 3}, {"3.0", 3}, {"1.0", 1}, {"1e16", 10000000000000000},
           {"9223372036854775807", INT64_MAX}}) {
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

  const MethodCall pressTarget =
      checkedCall(request(target, R"(,"method":"press_target","identifier":"ok-button")"));
  EXPECT_EQ(*pressTarget.selector, (SemanticSelector{"AXButton", std::nullopt, "ok-button"}));
  EXPECT_TRUE(pressTarget.press);
}

TEST(Dispatcher, RefusalsComeBeforeAnyPlatformWork) {
  SimHelper sim;
  AXHelper& helper = sim.ax();
  // Shape refusals carry nothing but their code.
  auto expectRefused = [&](const Json& request, const std::string& code) {
    sim.desktop.calls.clear();
    EXPECT_EQ(failureLine([&] { helper.handle(request); }), code + " - - -") << request.dump();
    EXPECT_TRUE(sim.desktop.calls.empty()) << request.dump();
  };
  for (const Json& r : invalidRequests()) expectRefused(r, "invalid_input");
  // The method's name is known exactly; the browser methods are named exactly too.
  for (const std::string& name :
       {std::string(64, 'm'), std::string("Windows"), std::string("Browser_status")})
    expectRefused(Json{{"id", 1}, {"app", "a"}, {"method", name}}, "unknown_method");

  // A request of the right shape goes on to its method, which does the platform work.
  sim.desktop.calls.clear();
  failureOf([&] { helper.handle(request(windows, "")); });
  EXPECT_FALSE(sim.desktop.calls.empty());
}

TEST(Dispatcher, WindowImageMerging) {
  // Only a result with an observation id of its own gets an image; a merge itself is proven
  // through the observations that carry one.
  int shots = 0;
  const auto image = [&](const std::string&) { return Json{{"shot", ++shots}}; };
  Json noID = {{"tree", 1}};
  attachWindowImage(noID, image);
  Json numericID = {{"observation_id", 1}};
  attachWindowImage(numericID, image);
  EXPECT_EQ(shots, 0);

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
  EXPECT_EQ(failureOf([&] { nonEmptyString(&eight, 7); }).code, "invalid_input");
}

}  // namespace
}  // namespace velmaris::gui
