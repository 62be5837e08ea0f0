// The observation store: digests of values and identities, action identities, the
// 128-observation limit and exact expiry, and resolving selectors within an observation.
#include "gui/observation/observation_store.h"

#include <limits>
#include <regex>
#include <set>

#include "common/digest.h"
#include "tree_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using platform::AttributeValue;

TEST(ValueDigest, ByteLayouts) {
  EXPECT_EQ(valueDigest(std::nullopt), std::string(1, '\0'));
  EXPECT_EQ(valueDigest(AttributeValue::none()), std::string(1, '\0'));
  // The empty string is a value, not the absence of one.
  EXPECT_EQ(*valueDigest(AttributeValue::ofString("")), std::string(1, '\x01') + sha256(""));

  // Numbers hash their JSON text: an integral double is the same number as the integer.
  EXPECT_EQ(*valueDigest(AttributeValue::ofInteger(3)), std::string(1, '\x02') + sha256("3"));
  EXPECT_EQ(valueDigest(AttributeValue::ofReal(3.0)), valueDigest(AttributeValue::ofInteger(3)));
  EXPECT_EQ(*valueDigest(AttributeValue::ofReal(0.1)), std::string(1, '\x02') + sha256("0.1"));
  EXPECT_EQ(*valueDigest(AttributeValue::ofBoolean(true)), std::string(1, '\x02') + sha256("true"));

  EXPECT_EQ(valueDigest(AttributeValue::ofPoint({1, 2})), std::nullopt);
  EXPECT_EQ(valueDigest(AttributeValue::ofReal(std::numeric_limits<double>::infinity())),
            std::nullopt);
}

TEST(IdentityDigest, HashesTheFiveAttributesAsAJSONArray) {
  std::optional<std::string> attributes[5] = {"AXButton", "OK", std::nullopt, std::nullopt, "a/b"};
  EXPECT_EQ(identityDigest(attributes), sha256(R"(["AXButton","OK",null,null,"a\/b"])"));
}

TEST(PressActionAvailable, StatusRules) {
  for (platform::AXError s : {-25205, -25212, -25206}) {
    EXPECT_FALSE(pressActionAvailable(s, true));
    EXPECT_FALSE(pressActionAvailable(s, false));
  }
  EXPECT_TRUE(pressActionAvailable(0, false));
  EXPECT_FALSE(pressActionAvailable(-25200, true));
  EXPECT_EQ(failureLine([] { pressActionAvailable(-25200, false); }), "ax_error copy_actions - -25200");
  EXPECT_EQ(failureLine([] { pressActionAvailable(-25202, true); }), "ax_error copy_actions - -25202");
}

struct StoreTest : TreeTest {
  platform::Accessibility& ax() { return *s.platform.accessibility; }
};

TEST_F(StoreTest, ActionIdentitiesKeepSupportedActionsOnly) {
  platform::Element b = button(window, "OK");
  s.desktop.element(b).actions = {"AXPress", "AXShowMenu", "AXPress", "AXRaise"};
  auto ids = actionIdentities(ax(), b, true);
  ASSERT_EQ(ids.size(), 2u);
  std::optional<std::string> attributes[5] = {"AXButton", "OK", std::nullopt, std::nullopt,
                                              std::nullopt};
  EXPECT_EQ(ids["AXPress"], identityDigest(attributes));
  EXPECT_EQ(ids["AXShowMenu"], ids["AXPress"]);

  // Nothing supported: no attribute is read at all.
  s.desktop.element(b).actions = {"AXRaise"};
  s.desktop.calls.clear();
  EXPECT_TRUE(actionIdentities(ax(), b, true).empty());
  EXPECT_EQ(s.desktop.calls["copyAttributeValue"], 0);
}

// A failed action list is the status rules' above; a failed identity read is tolerated too.
TEST_F(StoreTest, GenericFailuresAreToleratedOnlyWhileObserving) {
  platform::Element b = button(window, "OK");
  s.desktop.setStatus(b, "AXDescription", platform::kAXErrorFailure);
  EXPECT_TRUE(actionIdentities(ax(), b, true).empty());
  EXPECT_EQ(failureLine([&] { actionIdentities(ax(), b, false); }), "ax_error copy_attribute AXDescription -25200");
  // Other statuses fail even while observing.
  s.desktop.setStatus(b, "AXDescription", platform::kAXErrorCannotComplete);
  EXPECT_EQ(failureOf([&] { actionIdentities(ax(), b, true); }).axStatus, -25204);
}

TEST_F(StoreTest, At128LiveObservationsTheNextWaitsForAnExpiry) {
  windowID();
  const double earliest = s.clock.now + 60.0;  // the first observation's expiry
  for (int i = 0; i < 128; ++i) {
    observe();
    s.clock.advance(0.25);
  }
  // The first was made at t0 and expires at t0 + 60; now is t0 + 32.
  EXPECT_EQ(failureOf([&] { observe(); }).code, "observation_limit_exceeded");
  EXPECT_EQ(s.ax().observations().records().size(), 128u);

  s.clock.now = earliest - 1e-6;
  EXPECT_EQ(failureOf([&] { observe(); }).code, "observation_limit_exceeded");
  s.clock.now = earliest;  // dies at its expiry instant
  Json r = observe();
  EXPECT_EQ(s.ax().observations().records().size(), 128u);
  EXPECT_EQ(record(r).expiresAtUptime, earliest + 60.0);
  // Gone at its expiry instant also where nothing pruned it first.
  const std::string id = r["observation_id"];
  EXPECT_EQ(failureOf([&] { s.ax().observations().live(app, 1, id, earliest + 60.0); }).code,
            "observation_unavailable");
}

TEST_F(StoreTest, IdsAreLowerCaseUUIDsAndUniqueAcrossObservations) {
  button(window, "A");
  Json first = observe();
  Json second = targets();
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (const Json& id : {first["observation_id"], second["observation_id"], first["tree"]["element_ref"],
                         first["tree"]["children"][0]["element_ref"], second["targets"][0]["element_ref"]}) {
    EXPECT_TRUE(std::regex_match(id.get<std::string>(), uuid)) << id;
    EXPECT_TRUE(seen.insert(id).second) << id;
  }
}

// The observation's own checks are proven with the mutations, which share them.
TEST_F(StoreTest, TargetRefResolvesTheSelectorWithinTheObservation) {
  platform::Element ok = button(window, "OK");
  button(window, "Cancel");
  button(window, "Cancel");
  Json r = observe();
  std::string id = r["observation_id"];
  auto ref = [&](const char* label) {
    return s.ax().targetRef(app, 1, id, {"AXButton", label, std::nullopt});
  };
  EXPECT_TRUE(record(r).elements.at(ref("OK")).element.equals(ok));
  EXPECT_EQ(failureOf([&] { ref("Cancel"); }).code, "target_ambiguous");
  EXPECT_EQ(failureOf([&] { ref("Help"); }).code, "target_not_found");
}

}  // namespace
}  // namespace velmaris::testing
