// The accessibility interface on AT-SPI, spoken over D-Bus: elements are (unique bus name,
// object path) pairs, every call carries the messaging timeout, and every D-Bus error becomes
// the status it means. Synchronous; used from the request thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/accessibility.h"
#include "platform/linux/atspi_bus.h"
#include "platform/linux/atspi_tables.h"
#include "platform/linux/x11_desktop.h"

namespace velmaris::platform::linux_desktop {

class AtspiAccessibility final : public Accessibility {
 public:
  // Where the top-level X windows of a process are; without it (no display) only top levels
  // with a window's role are windows and extents are taken as answered.
  using PlacementSource = std::function<std::vector<WindowPlacement>(std::int32_t pid)>;
  explicit AtspiAccessibility(std::shared_ptr<AccessibilityBus> bus,
                              PlacementSource placementsOf = {});

  bool isProcessTrusted() override;
  AXError setMessagingTimeout(float seconds) override;
  Element createApplication(std::int32_t pid) override;

  AXError copyAttributeValue(const Element& element, const std::string& attribute,
                             AttributeValue& value) override;
  AXError getAttributeValueCount(const Element& element, const std::string& attribute,
                                 std::int64_t& count) override;
  AXError copyAttributeValues(const Element& element, const std::string& attribute,
                              std::int64_t index, std::int64_t maxValues,
                              AttributeValue& values) override;
  AXError getPid(const Element& element, std::int32_t& pid) override;
  AXError copyActionNames(const Element& element, std::vector<std::string>& names) override;
  AXError isAttributeSettable(const Element& element, const std::string& attribute,
                              bool& settable) override;
  AXError setAttributeValue(const Element& element, const std::string& attribute,
                            const AttributeValue& value) override;
  AXError performAction(const Element& element, const std::string& action) override;
  void beginWalk(WalkReads reads) override;
  void endWalk() override;

 private:
  // What one object is, read for one operation.
  struct Facts {
    StateSet states;
    std::uint32_t role = 0;
    unsigned interfaces = 0;
  };
  struct AtspiAction {
    std::int32_t index;
    std::string name;
  };
  struct ValueRange {
    double current = 0, minimum = 0, maximum = 0, increment = 0;
  };

  // Sends the reads made of every visited element at once (atspi_prefetch.h); with
  // `attributes`, also those that only reading its attributes needs.
  void readAhead(const Element& element, bool attributes);
  void readAheadChildren(const Element& parent, const std::vector<Element>& children,
                         bool attributes = true);
  void readAheadVisits(const std::string& owner, const std::vector<std::string>& paths,
                       bool base, bool attributes);
  void readAheadDescendants(const Element& parent, const std::vector<Element>& children,
                            bool attributes);
  // What an application's `Cache.GetItems` tells of its objects, read once per walk that
  // observes (loadItems), or nullptr for an object it did not list.
  struct Item {
    StateSet states;
    std::uint32_t role = 0;
    unsigned interfaces = 0;
    std::string name, description;
    // Its children, by path, when the items list each of them at its index.
    std::vector<std::string> children;
    bool childrenKnown = false;
    bool used = false;  // served a read in this walk
  };
  void loadItems(const std::string& owner);
  const Item* item(const std::string& owner, const std::string& path);
  AXError live(const Element& element, StateSet& states);
  AXError stateSet(const Element& element, StateSet& states);
  AXError facts(const Element& element, Facts& facts);
  AXError role(const Element& element, std::uint32_t& role);
  AXError interfaces(const Element& element, unsigned& interfaces);
  AXError stringProperty(const Element& element, const char* name, std::string& value);
  AXError children(const Element& element, std::vector<Element>& children);
  AXError shownChildren(const Element& element, std::vector<Element>& children);
  AXError passesOn(const Element& element, Element& only);
  bool closedMenu(const Element& element);
  AXError childCount(const Element& element, std::int64_t& count);
  AXError windows(const Element& application, std::vector<Element>& windows);
  bool ownsTopLevelWindow(const Element& application, const Element& child,
                          std::optional<std::vector<WindowPlacement>>& placements);
  void dropUnshownWindows(const Element& application, std::vector<Element>& list,
                          const std::vector<std::size_t>& byRole,
                          std::optional<std::vector<WindowPlacement>>& placements);
  bool desktopTitle(const Element& element, std::optional<std::string>& title);
  AXError activeWindow(const Element& application, AttributeValue& value);
  AXError extents(const Element& element, std::int32_t (&box)[4]);
  AXError answeredExtents(const Element& element, std::int32_t (&box)[4]);
  bool windowRelative(const std::string& owner);
  AXError windowOf(const Element& element, Element& window);
  std::vector<WindowPlacement> processPlacements(std::int32_t pid);
  // Where a window of an application that answers window-relative extents is on screen:
  // the offset of what it answers, and the rectangle of the X window it draws into.
  struct WindowOnScreen {
    std::int32_t offset[2] = {0, 0};
    std::int32_t client[4] = {0, 0, 0, 0};
  };
  bool windowOnScreen(const Element& window, WindowOnScreen& placed);
  AXError value(const Element& element, const Facts& facts, AttributeValue& value);
  AXError valueRange(const Element& element, ValueRange& range);
  AXError atspiActions(const Element& element, std::vector<AtspiAction>& actions);
  AXError actionsByIndex(const Element& element, std::vector<AtspiAction>& actions);
  AXError actionsInOneCall(const Element& element, std::vector<std::string>& names);
  AXError actionCount(const Element& element, std::int32_t& count);
  bool namesInOneCall(const Element& element) const;
  const std::string& toolkit(const std::string& owner);
  AXError scrollBars(const Element& pane, Element* vertical, Element* horizontal);
  AXError stepValue(const Element& element, double direction);
  AXError scrollByPage(const Element& pane, bool vertical, double direction);
  bool writableValue(const Facts& facts) const;

  std::shared_ptr<AccessibilityBus> bus_;
  PlacementSource placementsOf_;
  // Top levels found to be windows by their X window rather than their role: their role is
  // "AXWindow" too. A path is never reused, so they are kept (bounded, forgotten wholesale).
  std::unordered_set<std::string> windowTopLevels_;
  // Applications whose extents are relative to their window, by bus name (decided once), the
  // parents met in their trees, and, during a walk, where their windows' content is.
  std::unordered_map<std::string, bool> relativeExtents_;
  std::unordered_map<std::string, Element> parents_;
  std::unordered_map<std::string, WindowOnScreen> windowOrigins_;
  std::unordered_set<std::string> undecided_;  // no window told yet, in this walk
  std::unordered_map<std::int32_t, std::vector<WindowPlacement>> walkPlacements_;  // in this walk
  std::unordered_map<std::string, std::vector<Element>> shownLists_;  // in this walk
  // An object's interfaces never change and its path is never reused, so they are kept.
  std::unordered_map<std::string, unsigned> interfaceCache_;
  // What the last visit of an element found, to decide what the next visit reads ahead:
  // children and text are only read ahead when they were small, action names when their
  // number is known (-1: not known) and one at a time where those in one call did not all
  // map, the description when the name was empty or not read,
  // the name in every walk when it decides whether the element passes its one child on, no
  // attributes of one that did, and only the state of a child that was hidden.
  struct VisitHint {
    std::int32_t childCount = -1;
    std::int32_t characterCount = -1;
    std::int32_t actionCount = -1;
    bool named = false;
    bool passesOnCandidate = false;
    bool hidden = false;
    bool passedOn = false;
    bool namesByIndex = false;  // its names in one call were not all ones that map
  };
  std::unordered_map<std::string, VisitHint> visitHints_;
  // The items of one application in this walk (by path), when they were read, and the
  // applications whose cache is never asked again (not in a shape we know, or too large).
  std::unordered_map<std::string, Item> items_;
  std::string itemsOwner_;
  std::uint64_t itemsUsec_ = 0;
  std::size_t itemsUsed_ = 0;
  bool itemsTried_ = false;
  std::size_t descendantsAhead_ = 0;  // sent ahead from the items' lists, in this walk
  std::unordered_set<std::string> noItems_;
  std::unordered_map<std::string, std::string> toolkits_;  // `ToolkitName`, by bus name
  // How each application's action names are read (atspiActions): not decided yet, all of
  // an element's in one call, or one call per action.
  enum class ActionNaming { undecided, oneCall, byIndex };
  std::unordered_map<std::string, ActionNaming> actionNaming_;
  bool walking_ = false;  // reads may be read ahead only during a walk
  WalkReads walkReads_ = WalkReads::structure;
};

}  // namespace velmaris::platform::linux_desktop
