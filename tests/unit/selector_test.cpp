// Semantic selectors: the matching rule, finding an observed element again in the live
// tree (its limits are the walks'), and the uniqueness check with its own larger limits.
#include "gui/observation/selector.h"

#include "tree_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using Case = LocatedElement::Case;

SemanticSelector selector(std::string role, std::optional<std::string> label,
                          std::optional<std::string> identifier = std::nullopt) {
  return SemanticSelector{std::move(role), std::move(label), std::move(identifier)};
}

TEST(SelectorMatch, ExactCaseSensitiveAndUntrimmed) {
  SemanticTarget save{"AXButton", "Save", "save-button"};
  EXPECT_TRUE(selector("AXButton", "Save").matches(save));
  EXPECT_TRUE(selector("AXButton", "Save").matches({"AXButton", "Save", std::nullopt}));
  EXPECT_FALSE(selector("AXButton", "save").matches(save));
  EXPECT_FALSE(selector("AXButton", "Save ").matches(save));
  EXPECT_FALSE(selector("AXCheckBox", "Save").matches(save));
  EXPECT_FALSE(selector("AXButton", "Save").matches({std::nullopt, "Save", "save-button"}));

  // Both given: both must hold.
  EXPECT_TRUE(selector("AXButton", "Save", "save-button").matches(save));
  EXPECT_FALSE(selector("AXButton", "Save", "save").matches(save));
  EXPECT_FALSE(selector("AXButton", "Save", "x").matches({"AXButton", "Save", std::nullopt}));

  // A target whose label was not shown (too long) is reachable only by identifier.
  SemanticTarget unlabeled{"AXTextField", std::nullopt, "notes"};
  EXPECT_FALSE(selector("AXTextField", "Notes").matches(unlabeled));
  EXPECT_TRUE(selector("AXTextField", std::nullopt, "notes").matches(unlabeled));

  // Canonically equivalent spellings are equal: é as one code point, and e + combining acute.
  EXPECT_TRUE(
      selector("AXButton", "Caf\xc3\xa9").matches({"AXButton", "Cafe\xcc\x81", std::nullopt}));
}

struct LocateTest : TreeTest {
  LocatedElement locate(const platform::Element& target, bool breadthFirst) {
    return s.ax().locateElement(window, target, breadthFirst, s.deadline());
  }
  void verify(const platform::Element& selected, const SemanticSelector& sel) {
    s.ax().verifyUniqueSelector(window, selected, sel, s.deadline());
  }
  std::string verifyFailure(const platform::Element& selected, const SemanticSelector& sel) {
    return failureOf([&] { verify(selected, sel); }).code;
  }
};

TEST_F(LocateTest, EachOrderReachesWhatItsWalkReached) {
  // A button four levels down, a wide subtree of 161 elements, and a button on the window.
  platform::Element deep = button(chain(window, 3), "Deep");
  platform::Element wide = add(window, "AXGroup");
  for (int i = 0; i < 32; ++i) fill(add(wide, "AXGroup"), 4);
  platform::Element shallow = button(window, "Shallow");

  // Breadth-first spends its 128 elements on the wide subtree's leaves before level four;
  // depth-first spends them inside the wide subtree before the shallow button.
  EXPECT_EQ(locate(deep, false).result, Case::found);
  EXPECT_EQ(locate(deep, true).result, Case::limitExceeded);
  EXPECT_EQ(locate(shallow, false).result, Case::limitExceeded);
  EXPECT_EQ(locate(shallow, true).result, Case::found);

  // The tree walk observes depth-first, the target scan breadth-first.
  EXPECT_FALSE(record(observe()).breadthFirst);
  EXPECT_TRUE(record(targets()).breadthFirst);
}

TEST_F(LocateTest, AFailedChildCountAtTheDepthLimitEndsTheSearch) {
  platform::Element gone = s.desktop.addElement(10, "AXButton", "Gone");
  platform::Element tenth = chain(window, 10);
  s.desktop.attribute(tenth, "AXChildren").countStatus = platform::kAXErrorCannotComplete;
  EXPECT_EQ(failureLine([&] { locate(gone, false); }),
            "ax_error count_attribute AXChildren -25204");
}

TEST_F(LocateTest, UniquenessScanStopsAt1024Elements) {
  platform::Element save = button(window, "Save");
  // Window, button, 4 groups and 3 × 255 + 253 leaves: 1024 elements.
  platform::Element last;
  for (int g = 0; g < 4; ++g) {
    last = add(window, "AXGroup");
    fill(last, g < 3 ? 255 : 253);
  }
  verify(save, selector("AXButton", "Save"));
  add(last, "AXGroup");
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save")), "tree_limit_exceeded");
  // Even when the one entry left would be a repetition.
  s.desktop.attribute(last, "AXChildren").value.elements.back() = save;
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save")), "tree_limit_exceeded");
}

TEST_F(LocateTest, UniquenessScanStopsAtTheDeadline) {
  fill(window, 50);
  platform::Element save = button(window, "Save");
  s.ax();  // built first, so that its reads are not counted
  // The clock jumps at the window's role, the first read, and at Save's title, the 53rd
  // (after 52 roles): not one read more follows, not even Save's identifier.
  for (const int last : {1, 53}) {
    int reads = 0;
    s.desktop.beforeCall = [&](const std::string& call) {
      if (call == "copyAttributeValue" && ++reads == last) s.clock.advance(3.0);
    };
    EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save", "save")), "deadline_exceeded");
    EXPECT_EQ(reads, last);
  }
}

TEST_F(LocateTest, UniquenessScanDepthAndWidthLimits) {
  platform::Element save = button(window, "Save");
  platform::Element sixteenth = chain(window, 16);
  verify(save, selector("AXButton", "Save"));
  add(sixteenth, "AXGroup");
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save")), "tree_limit_exceeded");

  s.desktop.attribute(sixteenth, "AXChildren").value.elements.clear();
  platform::Element wide = add(window, "AXGroup");
  fill(wide, 256);
  verify(save, selector("AXButton", "Save"));
  add(wide, "AXGroup");
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save")), "tree_limit_exceeded");
}

TEST_F(LocateTest, UniquenessNeedsExactlyTheSelectedElement) {
  platform::Element save = button(window, "Save");
  platform::Element other = button(window, "Other");
  s.desktop.setString(save, "AXIdentifier", "save-1");
  s.desktop.setStatus(add(window, "AXGroup"), "AXRole", platform::kAXErrorNoValue);  // no role
  verify(save, selector("AXButton", "Save", "save-1"));
  EXPECT_EQ(verifyFailure(other, selector("AXButton", "Save")), "target_changed");
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Nothing")), "target_changed");

  platform::Element second = button(add(window, "AXGroup"), "Save");
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save")), "target_ambiguous");
  s.desktop.setString(second, "AXIdentifier", "save-2");
  verify(save, selector("AXButton", "Save", "save-1"));

  // A label too long to show can never satisfy a selector that gives one.
  s.desktop.setString(other, "AXTitle", std::string(600, 'o'));
  EXPECT_EQ(verifyFailure(other, selector("AXButton", std::string(512, 'o'))), "target_changed");
}

TEST_F(LocateTest, UniquenessScanSkipsVanishedElements) {
  platform::Element group = add(window, "AXGroup");
  platform::Element gone = button(group, "Gone");
  platform::Element save = button(group, "Save");
  s.desktop.invalidate(gone);
  verify(save, selector("AXButton", "Save"));

  // A look-alike that answered role and label counts, even when it vanishes before its
  // children are read; one that vanishes before its role answers does not.
  platform::Element lookAlike = button(window, "Save");
  s.desktop.attribute(lookAlike, "AXChildren").countStatus = platform::kAXErrorInvalidUIElement;
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save")), "target_ambiguous");
  s.desktop.setStatus(lookAlike, "AXRole", platform::kAXErrorInvalidUIElement);
  verify(save, selector("AXButton", "Save"));

  // Other failures end the check.
  s.desktop.setStatus(save, "AXRole", platform::kAXErrorCannotComplete);
  EXPECT_EQ(verifyFailure(save, selector("AXButton", "Save")), "ax_error");
}

}  // namespace
}  // namespace velmaris::testing
