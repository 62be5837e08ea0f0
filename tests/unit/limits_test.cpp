// Every limit of the two walks at its value and one past it: what fits is listed whole and
// not flagged; one element more is cut off and flagged, and a search for an element that is
// not there, in the walk's order, can no longer say it is absent. Also the byte budget to
// the byte, with each node charged its JSON text plus four bytes.
#include "gui/observation/traversal.h"
#include "tree_helper.h"

namespace velmaris::testing {
namespace {

using gui::Json;
using Found = gui::LocatedElement::Case;

TEST(WalkLimits, AtTheLimitAndOnePast) {
  struct Case {
    const char* name;
    std::function<void(SimApp&, int)> build;  // with 0 or 1 element past the limit
    int visited;
    std::size_t listed;  // targets the scan lists at the limit (one past, none)
  };
  auto nodes = [](SimApp& a, int past) { a.spread(127 + past); };
  auto children = [](SimApp& a, int past) { a.fill(a.add(a.window, "AXGroup"), 32 + past); };
  // The deepest element lists children, none of them: an empty list at the limit cuts nothing off.
  auto depth = [](SimApp& a, int past) {
    const platform::Element deep = a.button(a.chain(a.window, 9 + past), "Deep");
    a.s.desktop.attribute(deep, "AXChildren").value = platform::AttributeValue::ofElements({});
  };
  const std::vector<Case> cases = {
      {"128 nodes", nodes, 128, 0},
      {"32 children", children, 34, 0},
      {"depth 10", depth, 11, 1},
  };
  for (const Case& c : cases) {
    for (const bool scan : {false, true}) {
      for (int past : {0, 1}) {
        SCOPED_TRACE(std::string(c.name) + (scan ? ", scan" : "") + (past ? ", one past" : ", at"));
        SimApp a;
        c.build(a, past);
        const Json r = scan ? a.targets() : a.observe();
        EXPECT_EQ(r["truncated"], past == 1);
        EXPECT_EQ(r["visited_elements"], c.visited);
        if (scan) {
          EXPECT_EQ(r["targets"].size(), past ? 0u : c.listed);
        } else {
          EXPECT_EQ(nodeCount(r["tree"]), c.visited);
        }
        const platform::Element gone = a.s.desktop.addElement(10, "AXButton", "Gone");
        EXPECT_EQ(a.s.ax().locateElement(a.window, gone, scan, a.s.deadline()).result,
                  past ? Found::limitExceeded : Found::absent);
      }
    }
  }
}

TEST(WalkLimits, ByteBudgetToTheByte) {
  // The tree walk: a filler grown until the window, the filler and a last button fill the
  // budget exactly; one byte more and the button is left out.
  for (int past : {0, 1}) {
    SCOPED_TRACE(past);
    SimApp a;
    platform::Element filler = a.add(a.window, "R");
    a.button(a.window, "Small");
    Json probe = a.observe()["tree"];
    Json root = probe;
    root["children"] = Json::array();
    const std::int64_t used =
        charge(root) + charge(probe["children"][0]) + charge(probe["children"][1]);
    a.s.desktop.setString(
        filler, "AXRole",
        std::string(static_cast<std::size_t>(1 + gui::maxWalkOutputBytes - used + past), 'R'));
    const Json r = a.observe();
    EXPECT_EQ(r["truncated"], past == 1);
    EXPECT_EQ(r["tree"]["children"].size(), past ? 1u : 2u);
  }

  // The scan: 96 targets of 512 bytes each fill the budget; a 97th ends the scan, and a 98th
  // is not even read.
  SimApp probeApp;
  probeApp.button(probeApp.window, "x");
  const std::int64_t base = charge(probeApp.targets()["targets"][0]) - 1;
  const std::string label(static_cast<std::size_t>(512 - base), 'l');
  for (int past : {0, 1}) {
    SCOPED_TRACE(past);
    SimApp a;
    for (int group = 0; group < 3; ++group) {
      platform::Element g = a.add(a.window, "AXGroup");
      for (int i = 0; i < 32; ++i) a.button(g, label);
    }
    for (int extra = 0; extra < 2 * past; ++extra) a.button(a.window, label);
    const Json r = a.targets();
    EXPECT_EQ(r["truncated"], past == 1);
    EXPECT_EQ(r["targets"].size(), 96u);
    EXPECT_EQ(a.record(r).elements.size(), 96u);
    // The window, its groups and the targets up to the one that did not fit.
    EXPECT_EQ(r["visited_elements"], 1 + 3 + 96 + past);
  }
}

}  // namespace
}  // namespace velmaris::testing
