// The "observe_targets" scan: which elements are targets, the record's keys, breadth-first
// order and vanished elements (its limits, and an empty list, are proven with the walk's).
#include "tree_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using platform::AttributeValue;

struct TargetsTest : TreeTest {
  std::vector<std::string> labels(const Json& result) {
    std::vector<std::string> out;
    for (const auto& t : result["targets"]) out.push_back(t["label"].is_string() ? t["label"].get<std::string>() : "-");
    return out;
  }
};

TEST_F(TargetsTest, ListsOnlyWhatCanBeActedOnOrWritten) {
  platform::Element deep = button(chain(window, 3), "Deep");
  s.desktop.setString(deep, "AXIdentifier", "deep-button");
  s.desktop.attribute(deep, "AXPosition").value = AttributeValue::ofPoint({5, 6});
  s.desktop.attribute(deep, "AXSize").value = AttributeValue::ofSize({7, 8});
  add(window, "AXStaticText", "Just text");
  platform::Element raiseOnly = add(window, "AXGroup", "Raise only");
  s.desktop.element(raiseOnly).actions = {"AXRaise"};
  // A generic failure reading the actions is no refusal while scanning: no actions.
  s.desktop.element(add(window, "AXGroup", "Unreadable")).actionsStatus = platform::kAXErrorFailure;

  Json r = targets();
  // The members shared with the walk's result are proven there.
  EXPECT_EQ(Json({r["visited_elements"], r["truncated"], r["tree_omitted"], r.contains("tree")}),
            Json({8, false, true, false}));
  ASSERT_EQ(r["targets"].size(), 1u);
  EXPECT_EQ(stable(r["targets"][0]).dump(),
            R"({"actions":["AXPress"],"bounds":{"coordinate_unit":"point","height":8.0,)"
            R"("origin":"global_top_left","width":7.0,"x":5.0,"y":6.0},"enabled":true,)"
            R"("identifier":"deep-button","identifier_truncated":false,"label":"Deep",)"
            R"("label_truncated":false,"pressable":true,"role":"AXButton","settable":false})");

  const ObservationRecord& rec = record(r);
  ASSERT_EQ(rec.elements.size(), 1u);
  EXPECT_TRUE(rec.elements.begin()->second.element.equals(deep));
  EXPECT_EQ(rec.elements.begin()->second.target, (SemanticTarget{"AXButton", "Deep", "deep-button"}));
}

TEST_F(TargetsTest, BreadthFirstInPlatformOrder) {
  platform::Element g1 = add(window, "AXGroup");
  button(g1, "g1-a");
  button(window, "w-a");
  platform::Element g2 = add(window, "AXGroup");
  button(g2, "g2-a");
  button(g1, "g1-b");
  textField(window, "text");
  EXPECT_EQ(labels(targets()), (std::vector<std::string>{"w-a", "-", "g1-a", "g1-b", "g2-a"}));
}

TEST_F(TargetsTest, LongLabelsAreNeverShownShortened) {
  platform::Element field = textField(window, "");
  s.desktop.setString(field, "AXTitle", std::string(700, 't'));
  s.desktop.setString(field, "AXIdentifier", "notes");
  Json r = targets();
  const Json& t = r["targets"];
  EXPECT_TRUE(t[0]["label"].is_null());
  EXPECT_EQ(t[0]["label_truncated"], true);
  EXPECT_EQ(t[0]["identifier"], "notes");

  std::string id = r["observation_id"];
  EXPECT_EQ(failureOf([&] {
              s.ax().targetRef(app, 1, id, {"AXTextField", std::string(512, 't'), std::nullopt});
            }).code,
            "target_not_found");
  EXPECT_EQ(s.ax().targetRef(app, 1, id, {"AXTextField", std::nullopt, "notes"}), t[0]["element_ref"]);
}

TEST_F(TargetsTest, VanishedElementsAreSkippedButNotTheWindow) {
  platform::Element gone = button(window, "Gone");
  button(gone, "Orphan");
  platform::Element stays = button(window, "Stays");
  s.desktop.invalidate(gone);
  Json r = targets();
  EXPECT_EQ(labels(r), (std::vector<std::string>{"Stays"}));
  EXPECT_EQ(r["truncated"], true);
  EXPECT_EQ(r["visited_elements"], 3);

  // A target that answers its own reads but vanishes before its children are read is not
  // listed either: it leaves nothing behind.
  platform::Element late = button(window, "Late");
  s.desktop.attribute(late, "AXChildren").countStatus = platform::kAXErrorInvalidUIElement;
  r = targets();
  EXPECT_EQ(labels(r), (std::vector<std::string>{"Stays"}));
  EXPECT_EQ(record(r).elements.size(), 1u);

  // The window itself vanishing ends the request with the failure.
  s.desktop.element(window).actionsStatus = platform::kAXErrorInvalidUIElement;
  HelperFailure f = failureOf([&] { targets(); });
  EXPECT_EQ(f.code, "ax_error");
  EXPECT_EQ(f.stage, "copy_actions");
  EXPECT_EQ(f.axStatus, -25202);

  // Other failures of any element end it too.
  s.desktop.element(window).actionsStatus = platform::kAXErrorSuccess;
  s.desktop.element(stays).actionsStatus = platform::kAXErrorCannotComplete;
  EXPECT_EQ(failureOf([&] { targets(); }).axStatus, -25204);
}

}  // namespace
}  // namespace velmaris::testing
