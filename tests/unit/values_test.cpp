// Element values: request value conversion, rendering for observations, and the status
// rules of value reads, settability and the enabled state.
#include "gui/observation/values.h"

#include <cmath>
#include <limits>

#include "sim_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using platform::AttributeValue;
using Kind = platform::AttributeValue::Kind;

using ValuesTest = ElementTest;

TEST(RequestedValue, StringsAreLimitedInBytesNotCharacters) {
  EXPECT_EQ(requestedCFValue(Json(std::string(32768, 'a'))).string.size(), 32768u);
  EXPECT_EQ(failureOf([] { requestedCFValue(Json(std::string(32769, 'a'))); }).code,
            "input_too_large");
  // 20000 characters of three bytes each: few characters, too many bytes.
  std::string wide;
  for (int i = 0; i < 20000; ++i) wide += "\xe2\x82\xac";
  EXPECT_EQ(failureOf([&] { requestedCFValue(Json(wide)); }).code, "input_too_large");
  EXPECT_EQ(requestedCFValue(Json("")).kind, Kind::String);
  // An escaped NUL is part of the value, not its end.
  EXPECT_EQ(requestedCFValue(Json::parse(R"("a\u0000b")")).string, std::string("a\0b", 3));
}

TEST(RequestedValue, BooleansAndNumbersKeepTheirTypes) {
  AttributeValue t = requestedCFValue(Json(true)), one = requestedCFValue(Json::parse("1")),
                 half = requestedCFValue(Json::parse("0.5"));
  EXPECT_TRUE(t.kind == Kind::Boolean && t.boolean);
  EXPECT_TRUE(one.kind == Kind::Integer && one.integer == 1);
  EXPECT_TRUE(half.kind == Kind::Real && half.real == 0.5);
  // Beyond the signed range an integer still arrives, as a double.
  EXPECT_EQ(requestedCFValue(Json::parse("18446744073709551615")).kind, Kind::Real);

  for (const Json& bad : {Json(), Json::array(), Json::object(),
                          Json(std::numeric_limits<double>::infinity())})
    EXPECT_EQ(failureOf([&] { requestedCFValue(bad); }).code, "invalid_input") << bad.dump();
  EXPECT_EQ(failureLine([] { requestedCFValue(std::nullopt); }), "invalid_input - - -");
}

TEST(JsonScalar, OnlyStringsAreShortened) {
  ScalarValue cut = jsonScalar(AttributeValue::ofString(std::string(5000, 'x')));
  EXPECT_EQ(cut.json, std::string(4096, 'x'));
  EXPECT_TRUE(cut.truncated);
  ScalarValue whole = jsonScalar(AttributeValue::ofString(std::string(4096, 'x')));
  EXPECT_FALSE(whole.truncated);

  for (const auto& [value, json] : std::vector<std::pair<AttributeValue, Json>>{
           {AttributeValue::ofBoolean(false), false}, {AttributeValue::ofInteger(7), 7},
           {AttributeValue::ofReal(2.5), 2.5}}) {
    EXPECT_EQ(jsonScalar(value).json, json);
    EXPECT_FALSE(jsonScalar(value).truncated);
  }
  for (const AttributeValue& other :
       {AttributeValue::ofPoint({1, 2}), AttributeValue::ofElements({}), AttributeValue::other(),
        AttributeValue::ofReal(std::nan(""))})
    EXPECT_TRUE(jsonScalar(other).json.is_null());
  EXPECT_TRUE(jsonScalar(std::nullopt).json.is_null());
}

TEST_F(ValuesTest, ValueReadsTellNoValueFromNoAnswer) {
  s.desktop.setString(e, "AXValue", "abc");
  ReadOnlyValue v = observedValue(ax(), e);
  EXPECT_TRUE(v.value && v.value->string == "abc" && v.comparable);
  s.desktop.setStatus(e, "AXValue", platform::kAXErrorNoValue);
  v = observedValue(ax(), e);
  EXPECT_TRUE(!v.value && v.comparable);
  s.desktop.setStatus(e, "AXValue", platform::kAXErrorFailure);
  v = observedValue(ax(), e);
  EXPECT_TRUE(!v.value && !v.comparable);

  s.desktop.setStatus(e, "AXValue", platform::kAXErrorInvalidUIElement);
  EXPECT_EQ(failureLine([&] { observedValue(ax(), e); }), "ax_error copy_attribute AXValue -25202");
}

// A settable value is proven by the walks and the writes that read it.
TEST_F(ValuesTest, SettabilityFailureIsToleratedOnlyWhileObserving) {
  s.desktop.attribute(e, "AXValue").settableStatus = platform::kAXErrorFailure;
  EXPECT_FALSE(observedValueIsSettable(ax(), e));
  EXPECT_EQ(failureLine([&] { valueIsSettable(ax(), e); }), "ax_error is_settable AXValue -25200");

  s.desktop.attribute(e, "AXValue").settableStatus = platform::kAXErrorNoValue;
  EXPECT_FALSE(valueIsSettable(ax(), e));
  s.desktop.attribute(e, "AXValue").settableStatus = platform::kAXErrorCannotComplete;
  EXPECT_EQ(failureOf([&] { observedValueIsSettable(ax(), e); }).axStatus, -25204);
}

TEST_F(ValuesTest, EnabledStateNeedsARealBoolean) {
  // The known and unknown states are checked through a value write, in the mutation tests.
  s.desktop.attribute(e, "AXEnabled").value = AttributeValue::ofInteger(1);
  auto failure = [&] { return failureLine([&] { enabledStateForSetValue(ax(), e); }); };
  EXPECT_EQ(failure(), "ax_error attribute_type AXEnabled -");
  s.desktop.attribute(e, "AXEnabled").value = AttributeValue::none();
  EXPECT_EQ(failure(), "ax_error attribute_type AXEnabled -");
  s.desktop.setStatus(e, "AXEnabled", platform::kAXErrorFailure);
  EXPECT_EQ(failure(), "ax_error copy_attribute AXEnabled -25200");
}

}  // namespace
}  // namespace velmaris::testing
