// The "observe" walk: node keys and flags, the node, depth, child and byte limits, cycles,
// and what the stored observation remembers of each node.
#include "tree_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using platform::AttributeValue;

using ObserveTest = TreeTest;

TEST_F(ObserveTest, NodesCarryTheirKeysAndOnlyTrueFlags) {
  platform::Element ok = button(window, "OK");
  s.desktop.attribute(ok, "AXPosition").value = AttributeValue::ofPoint({10, 20});
  s.desktop.attribute(ok, "AXSize").value = AttributeValue::ofSize({80, 24});
  s.desktop.element(ok).actions = {"AXShowMenu", "AXPress", "AXRaise"};
  platform::Element field = textField(window, "hello/world");
  s.desktop.setString(field, "AXIdentifier", "name-field");
  platform::Element text = add(window, "AXStaticText", "Caption");
  s.desktop.setString(text, "AXIdentifier", "caption");
  s.desktop.setString(text, "AXValue", "Caption");

  Json r = observe();
  EXPECT_EQ(Json({r["process_id"], r["window_id"], r["ttl_seconds"], r["visited_elements"], r["truncated"]}),
            Json({10, 1, 60, 4, false}));
  const Json& tree = r["tree"];
  EXPECT_EQ(stable(tree).dump(),
            R"({"actions":[],"enabled":null,"identifier":null,"label":"Main","pressable":false,)"
            R"("role":"AXWindow","settable":false,"value":null})");
  ASSERT_EQ(tree["children"].size(), 3u);
  EXPECT_EQ(stable(tree["children"][0]).dump(),
            R"({"actions":["AXPress","AXShowMenu"],"bounds":{"coordinate_unit":"point","height":24.0,)"
            R"("origin":"global_top_left","width":80.0,"x":10.0,"y":20.0},"enabled":true,)"
            R"("identifier":null,"label":"OK","pressable":true,"role":"AXButton","settable":false,"value":null})");
  EXPECT_EQ(stable(tree["children"][1]).dump(),
            R"({"actions":[],"enabled":true,"identifier":"name-field","label":null,)"
            R"("label_diagnostics":[{"attribute":"AXTitle","status":-25205},)"
            R"({"attribute":"AXDescription","status":-25205},{"attribute":"AXHelp","status":-25205}],)"
            R"("pressable":false,"role":"AXTextField","settable":true,"value":"hello/world"})");
  // Neither settable nor actionable: its identifier is not even read.
  EXPECT_TRUE(tree["children"][2]["identifier"].is_null());
  EXPECT_EQ(tree["children"][2]["value"], "Caption");
  // What the record keeps of each node is proven by the requests that act through it.
  EXPECT_EQ(record(r).elements.size(), 4u);
}

TEST_F(ObserveTest, ValueThatCannotBeComparedDisablesActions) {
  platform::Element failing = button(window, "Failing");
  s.desktop.setString(failing, "AXIdentifier", "failing");
  s.desktop.setStatus(failing, "AXValue", platform::kAXErrorFailure);
  platform::Element noActions = button(window, "No actions");
  s.desktop.element(noActions).actionsStatus = platform::kAXErrorFailure;

  Json r = observe();
  const Json& nodes = r["tree"]["children"];
  EXPECT_EQ(nodes[0]["pressable"], false);
  EXPECT_EQ(nodes[0]["actions"], Json::array());
  EXPECT_TRUE(nodes[0]["identifier"].is_null());  // no value digest: not read
  EXPECT_EQ(nodes[1]["pressable"], false);
  EXPECT_EQ(nodes[1]["actions"], Json::array());
  const ObservationRecord& rec = record(r);
  EXPECT_EQ(rec.elements.at(nodes[0]["element_ref"]).valueDigest, std::nullopt);
  // The press identity is kept even though the value cannot be compared: the action path
  // refuses such an element by its value, not by its identity.
  EXPECT_TRUE(rec.elements.at(nodes[0]["element_ref"]).pressIdentity);
}

TEST_F(ObserveTest, ChildrenBeyondTheDepthLimitAreCountedNotRead) {
  platform::Element tenth = chain(window, 10);
  add(tenth, "AXGroup");
  platform::AXError& count = s.desktop.attribute(tenth, "AXChildren").countStatus;
  for (const bool scan : {false, true}) {
    auto walk = [&] { return scan ? targets() : observe(); };
    // A count the element does not support or has no value for means no children.
    for (auto status : {platform::kAXErrorAttributeUnsupported, platform::kAXErrorNoValue}) {
      count = status;
      EXPECT_EQ(walk()["truncated"], false) << status << scan;
    }
    count = platform::kAXErrorCannotComplete;
    const auto stored = s.ax().observations().records().size();
    EXPECT_EQ(failureLine([&] { walk(); }), "ax_error count_attribute AXChildren -25204");
    EXPECT_EQ(s.ax().observations().records().size(), stored);  // the failed walk stored nothing
  }
}

TEST_F(ObserveTest, RepeatedElementsAreListedOnceWithoutTruncation) {
  platform::Element a = add(window, "AXGroup", "a");
  platform::Element b = add(window, "AXGroup", "b");
  platform::Element shared = button(a, "Shared");
  s.desktop.addChild(b, shared);   // the same element under two parents
  s.desktop.addChild(b, window);   // and a cycle back to the root
  s.desktop.addChild(shared, a);   // and one back to a parent
  Json r = observe();
  EXPECT_EQ(r["truncated"], false);
  EXPECT_EQ(r["visited_elements"], 4);
  EXPECT_EQ(nodeCount(r["tree"]), 4);
  EXPECT_EQ(r["tree"]["children"][1]["children"], Json::array());
}

TEST_F(ObserveTest, ByteBudgetReducesThenSkipsNodes) {
  // Measure the window's node and a filler group, then grow the filler so that 1000 bytes
  // of the budget remain after it.
  platform::Element filler = add(window, "R");
  Json probe = observe();
  Json root = probe["tree"];
  root["children"] = Json::array();
  const std::int64_t rootBytes = charge(root);
  const std::int64_t fillerBytes = charge(probe["tree"]["children"][0]);
  s.desktop.setString(filler, "AXRole",
                      std::string(static_cast<std::size_t>(1 + 49152 - 1000 - rootBytes - fillerBytes), 'R'));

  platform::Element field = textField(window, std::string(4096, 'v'));
  s.desktop.setString(field, "AXIdentifier", "big");
  s.desktop.setString(field, "AXTitle", "Big");
  platform::Element huge = add(window, std::string(2000, 'G'));  // too big even reduced
  add(huge, "AXGroup");
  button(window, "Small");

  Json r = observe();
  EXPECT_EQ(r["truncated"], true);
  EXPECT_EQ(r["visited_elements"], 5);  // the huge node's child is never reached
  const Json& nodes = r["tree"]["children"];
  ASSERT_EQ(nodes.size(), 3u);
  const Json& reduced = nodes[1];
  EXPECT_EQ(stable(reduced).dump(),
            R"({"actions":[],"enabled":true,"identifier":null,"identifier_truncated":true,"label":null,)"
            R"("label_truncated":true,"pressable":false,"role":"AXTextField","settable":true,"value":null,)"
            R"("value_truncated":true})");
  EXPECT_EQ(nodes[2]["label"], "Small");
  EXPECT_FALSE(nodes[2].contains("label_truncated"));

  // What the caller was not shown cannot be selected by.
  const ObservationRecord& rec = record(r);
  EXPECT_EQ(rec.elements.size(), 4u);
  EXPECT_EQ(rec.elements.at(reduced["element_ref"]).target,
            (SemanticTarget{"AXTextField", std::nullopt, std::nullopt}));
}

TEST_F(ObserveTest, RootThatCannotFitFailsTheRequest) {
  s.desktop.setString(window, "AXRole", std::string(50000, 'W'));
  EXPECT_EQ(failureLine([&] { observe(); }), "tree_limit_exceeded - - -");
  EXPECT_TRUE(s.ax().observations().records().empty());
}

TEST_F(ObserveTest, LongTextsAreShortenedAndFlagged) {
  platform::Element b = button(window, std::string(600, 'L'));
  s.desktop.setString(b, "AXIdentifier", "long-button");
  platform::Element field = textField(window, std::string(5000, 'x'));
  s.desktop.setString(field, "AXIdentifier", std::string(513, 'i'));
  Json r = observe();
  // Where each text is cut is proven by its reader.
  const Json& nodes = r["tree"]["children"];
  EXPECT_EQ(nodes[0]["label_truncated"], true);
  EXPECT_EQ(nodes[1]["value_truncated"], true);
  EXPECT_TRUE(nodes[1]["identifier"].is_null());
  EXPECT_EQ(nodes[1]["identifier_truncated"], true);

  std::string id = r["observation_id"];
  EXPECT_EQ(failureOf([&] {
              s.ax().targetRef(app, 1, id, {"AXButton", std::string(512, 'L'), std::nullopt});
            }).code,
            "target_not_found");
  EXPECT_EQ(s.ax().targetRef(app, 1, id, {"AXButton", std::nullopt, "long-button"}),
            nodes[0]["element_ref"]);
}

TEST_F(ObserveTest, FailuresAbandonTheWholeWalk) {
  button(add(window, "AXGroup"), "B");
  windowID();
  int calls = 0;
  s.desktop.beforeCall = [&](const std::string&) {
    if (++calls == 40) s.clock.advance(3.0);
  };
  EXPECT_EQ(failureOf([&] { observe(); }).code, "deadline_exceeded");
  // The walk was marked for the platform, and its end too, though it failed.
  EXPECT_EQ(s.desktop.calls["beginWalk(everyAttribute)"], 1);
  EXPECT_FALSE(s.desktop.walking);

  // Time running out while the window's actions or children are listed reads nothing more.
  for (const std::string last : {"copyActionNames", "copyAttributeValues"}) {
    int reads = -1;
    s.desktop.beforeCall = [&](const std::string& call) {
      if (call == last && s.desktop.walking && reads < 0) {
        reads = s.desktop.calls["copyAttributeValue"];
        s.clock.advance(3.0);
      }
    };
    EXPECT_EQ(failureOf([&] { observe(); }).code, "deadline_exceeded");
    EXPECT_EQ(s.desktop.calls["copyAttributeValue"], reads) << last;
  }
}

}  // namespace
}  // namespace velmaris::testing
