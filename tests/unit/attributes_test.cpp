// Attribute readers: absence versus failure, stage words, labels and element lists.
#include "gui/observation/attributes.h"

#include <cmath>

#include "sim_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using platform::AttributeValue;

using AttributesTest = ElementTest;

TEST_F(AttributesTest, AbsenceVersusFailure) {
  s.desktop.setStatus(e, "AXTitle", platform::kAXErrorNoValue);
  EXPECT_EQ(stringAttribute(ax(), e, "AXTitle"), std::nullopt);
  EXPECT_EQ(stringAttribute(ax(), e, "AXUnheardOf"), std::nullopt);  // unsupported
  s.desktop.setString(e, "AXTitle", "");
  EXPECT_EQ(stringAttribute(ax(), e, "AXTitle"), std::optional<std::string>(""));

  s.desktop.setStatus(e, "AXTitle", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureLine([&] { stringAttribute(ax(), e, "AXTitle"); }), "ax_error copy_attribute AXTitle -25204");

  s.desktop.attribute(e, "AXValue").value = AttributeValue::ofInteger(3);
  EXPECT_EQ(failureLine([&] { stringAttribute(ax(), e, "AXValue"); }), "ax_error attribute_type AXValue -");
}

TEST_F(AttributesTest, BooleansMustBeRealBooleans) {
  s.desktop.attribute(e, "AXEnabled").value = AttributeValue::ofBoolean(false);
  EXPECT_EQ(boolAttribute(ax(), e, "AXEnabled"), std::optional<bool>(false));
  s.desktop.attribute(e, "AXEnabled").value = AttributeValue::ofInteger(1);
  EXPECT_EQ(failureLine([&] { boolAttribute(ax(), e, "AXEnabled"); }), "ax_error attribute_type AXEnabled -");
}

TEST_F(AttributesTest, ElementArrayFailures) {
  s.desktop.addChild(e, s.desktop.addElement(10, "AXButton"));
  auto& children = s.desktop.attribute(e, "AXChildren");

  auto failure = [&] { return failureLine([&] { elementArray(ax(), e, "AXChildren", 32); }); };
  children.countOverride = -1;
  EXPECT_EQ(failure(), "ax_error count_attribute AXChildren 0");
  children.countOverride.reset();
  children.countStatus = platform::kAXErrorCannotComplete;
  EXPECT_EQ(failure(), "ax_error count_attribute AXChildren -25204");
  // The ranged copy knows no absence: even "no value" fails there.
  children.countStatus = platform::kAXErrorSuccess;
  children.valuesStatus = platform::kAXErrorNoValue;
  EXPECT_EQ(failure(), "ax_error copy_attribute_values AXChildren -25212");
  children.valuesStatus = platform::kAXErrorSuccess;
  children.valuesOverride = AttributeValue::ofString("not a list");
  EXPECT_EQ(failure(), "ax_error attribute_type AXChildren -");
}

TEST_F(AttributesTest, ProcessIdMustBePositive) {
  EXPECT_EQ(elementPID(ax(), e), 10);
  s.desktop.element(e).pidOverride = 1;
  EXPECT_EQ(elementPID(ax(), e), 1);
  s.desktop.element(e).pidOverride = 0;
  EXPECT_EQ(failureLine([&] { elementPID(ax(), e); }), "ax_error get_pid - 0");
  s.desktop.element(e).pidStatus = platform::kAXErrorInvalidUIElement;
  EXPECT_EQ(failureLine([&] { elementPID(ax(), e); }), "ax_error get_pid - -25202");
}

TEST_F(AttributesTest, LabelsTakeTheFirstNonEmptyCandidate) {
  auto deadline = s.deadline();
  s.desktop.setString(e, "AXTitle", "");
  s.desktop.setString(e, "AXDescription", "Save");
  Label label = labelForElement(ax(), e, deadline);
  EXPECT_EQ(label.text, "Save");
  EXPECT_TRUE(label.diagnostics.empty());

  s.desktop.setStatus(e, "AXTitle", platform::kAXErrorNoValue);
  s.desktop.attribute(e, "AXDescription").value = AttributeValue::ofInteger(1);
  s.desktop.setString(e, "AXHelp", "Helpful");
  label = labelForElement(ax(), e, deadline);
  EXPECT_EQ(label.text, "Helpful");
  EXPECT_EQ(label.diagnostics.dump(),
            R"([{"attribute":"AXTitle","status":-25212},)"
            R"({"attribute":"AXDescription","issue":"unexpected_type","status":0}])");

  s.desktop.attribute(e, "AXHelp").value = AttributeValue::none();
  label = labelForElement(ax(), e, deadline);
  EXPECT_FALSE(label.text.has_value());
  EXPECT_EQ(label.diagnostics.size(), 3u);
  EXPECT_EQ(label.diagnostics[2]["issue"], "missing_value");
}

TEST_F(AttributesTest, LongLabelsAreCutByCharactersAndLaterCandidatesNotRead) {
  // "é" as e + combining acute: two code points, one user-perceived character.
  std::string title;
  for (int i = 0; i < 600; ++i) title += "e\xCC\x81";
  s.desktop.setString(e, "AXTitle", title);
  s.desktop.setStatus(e, "AXDescription", platform::kAXErrorCannotComplete);
  s.desktop.calls.clear();
  Label label = labelForElement(ax(), e, s.deadline());
  EXPECT_TRUE(label.truncated);
  EXPECT_EQ(*label.text, title.substr(0, 512 * 3));
  EXPECT_EQ(s.desktop.calls["copyAttributeValue"], 1);

  s.clock.advance(3.0);
  EXPECT_EQ(failureOf([&] { labelForElement(ax(), e, gui::RequestDeadline(*s.platform.clock, 0)); }).code,
            "deadline_exceeded");
}

// One character more drops the identifier whole: the tree walk proves it.
TEST_F(AttributesTest, IdentifiersAreKeptWholeOrNotAtAll) {
  s.desktop.setString(e, "AXIdentifier", std::string(512, 'x'));
  EXPECT_EQ(identifierForElement(ax(), e).text, std::string(512, 'x'));
  s.desktop.setString(e, "AXIdentifier", "");
  Identifier id = identifierForElement(ax(), e);
  EXPECT_FALSE(id.text.has_value());
  EXPECT_FALSE(id.truncated);
}

TEST_F(AttributesTest, Bounds) {
  auto bounds = [&](double x, double y, double w, double h) {
    s.desktop.attribute(e, "AXPosition").value = AttributeValue::ofPoint({x, y});
    s.desktop.attribute(e, "AXSize").value = AttributeValue::ofSize({w, h});
    return elementBounds(ax(), e);
  };
  EXPECT_FALSE(bounds(0, 0, 0, 20));
  EXPECT_FALSE(bounds(0, 0, 20, 0));
  EXPECT_TRUE(bounds(0, 0, 1, 1));
  EXPECT_FALSE(bounds(0, 0, 32769, 20));
  EXPECT_FALSE(bounds(0, 0, 20, 32769));
  EXPECT_FALSE(bounds(NAN, 0, 10, 20));
  EXPECT_FALSE(bounds(0, INFINITY, 10, 20));
  EXPECT_TRUE(bounds(0, 0, 32768, 32768));
  auto r = bounds(100, 50, -40, 20);  // standardised from the smaller edge
  ASSERT_TRUE(r);
  EXPECT_EQ(boundsJSON(*r).dump(),
            R"({"coordinate_unit":"point","height":20.0,"origin":"global_top_left","width":40.0,"x":60.0,"y":50.0})");
  // A point where a size belongs is no bounds, whatever else the value holds.
  s.desktop.attribute(e, "AXSize").value.kind = AttributeValue::Kind::Point;
  EXPECT_FALSE(elementBounds(ax(), e));
}

}  // namespace
}  // namespace velmaris::testing
