// AT-SPI behind the accessibility interface. A read first proves the object alive (GTK keeps a
// destroyed widget's object answering, with an emptied or "defunct" state set, for seconds),
// and calls an interface's methods only on objects that list that interface (at-spi2-atk
// answers others with a garbage value or an assertion in the application).
#include "platform/linux/atspi_accessibility.h"

#include "platform/linux/atspi_prefetch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace velmaris::platform::linux_desktop {
namespace {

// The application element of a process that takes no part in accessibility: no bus name,
// the pid kept in the path so that getPid can still answer. Every read of it is -25208
// ("not implemented": the process does not support accessibility), never -25204, which
// stays the answer of an application that takes part but does not answer in time.
constexpr std::string_view kUnregisteredPrefix = "/org/velmaris/unregistered/";

// Interfaces, as bits of a mask.
enum Interface : unsigned {
  kAction = 1u << 0,
  kComponent = 1u << 1,
  kValue = 1u << 2,
  kText = 1u << 3,
  kEditableText = 1u << 4,
};

struct InterfaceName {
  std::string_view name;
  Interface bit;
};
constexpr InterfaceName kInterfaceNames[] = {
    {kActionInterface, kAction},
    {kComponentInterface, kComponent},
    {kValueInterface, kValue},
    {kTextInterface, kText},
    {kEditableTextInterface, kEditableText},
};

constexpr std::size_t kMaxCachedInterfaces = 8192;
// Above this many children, a range is read one child at a time rather than all at once.
constexpr std::int64_t kBulkChildren = 1024;
// Lists of at most this many children are shown without their hidden children; telling
// which are hidden costs a state read per child, so longer lists are taken whole.
constexpr std::int64_t kCheckedChildren = 64;
// How many containers in a row may pass their one child on (passesOn).
constexpr int kMaxPassedOn = 16;
// Top-level children are read one at a time, at most this many per list (the most windows
// a list may hold, plus one): an application may list thousands.
constexpr std::int64_t kWindowReads = 129;

bool unregistered(const Element& element) { return element.owner.empty(); }
bool isApplication(const Element& element) { return element.path == kRootPath; }

std::string cacheKey(const Element& element) { return element.owner + '\n' + element.path; }

// Object references as the application handed them out; an empty owner means its own.
void appendObjects(const Element& parent, const std::vector<BusObject>& objects,
                   std::vector<Element>& out) {
  for (const auto& object : objects) {
    if (object.path == kNullPath || object.path.empty()) continue;
    out.push_back({object.owner.empty() ? parent.owner : object.owner, object.path});
  }
}

AttributeValue slice(std::vector<Element> elements, std::int64_t index, std::int64_t count) {
  std::vector<Element> out;
  for (std::int64_t i = index; i < index + count && i < std::int64_t(elements.size()); i++) {
    out.push_back(std::move(elements[std::size_t(i)]));
  }
  return AttributeValue::ofElements(std::move(out));
}

// Where the content of a window that answers `box` (its size; relative to itself) sits on
// screen inside the X window `p`: inset by the shadow or border GTK draws inside its X
// window. GTK 4 names that inset (_GTK_FRAME_EXTENTS) only when a compositor shows shadows;
// without one it draws an even border (gnome-calculator 43: 355 × 498 inside 365 × 508),
// taken as the size difference split evenly.
bool contentOrigin(const WindowPlacement& p, const std::int32_t (&box)[4],
                   std::int32_t (&origin)[2]) {
  std::int32_t left = p.insetLeft, top = p.insetTop;
  if (p.insetLeft + p.insetRight + p.insetTop + p.insetBottom > 0) {
    if (p.width - p.insetLeft - p.insetRight != box[2] ||
        p.height - p.insetTop - p.insetBottom != box[3])
      return false;
  } else {
    const std::int32_t dx = p.width - box[2], dy = p.height - box[3];
    if (dx < 0 || dy < 0 || dx % 2 || dy % 2 || dx > 128 || dy > 128) return false;
    left = dx / 2;
    top = dy / 2;
  }
  origin[0] = p.x + left;
  origin[1] = p.y + top;
  return true;
}

bool isScrollAction(const std::string& action, bool& vertical, double& direction) {
  if (action == "AXScrollUpByPage") return vertical = true, direction = -1, true;
  if (action == "AXScrollDownByPage") return vertical = true, direction = 1, true;
  if (action == "AXScrollLeftByPage") return vertical = false, direction = -1, true;
  if (action == "AXScrollRightByPage") return vertical = false, direction = 1, true;
  return false;
}

bool knownAttribute(const std::string& attribute) {
  static constexpr std::string_view kKnown[] = {
      "AXRole",     "AXTitle",   "AXDescription",   "AXHelp",         "AXIdentifier",
      "AXWindows",  "AXChildren", "AXFocusedWindow", "AXMainWindow",   "AXEnabled",
      "AXMinimized", "AXPosition", "AXSize",         "AXValue"};
  return std::find(std::begin(kKnown), std::end(kKnown), attribute) != std::end(kKnown);
}

}  // namespace

AtspiAccessibility::AtspiAccessibility(std::shared_ptr<AccessibilityBus> bus,
                                       PlacementSource placementsOf)
    : bus_(std::move(bus)), placementsOf_(std::move(placementsOf)) {}

bool AtspiAccessibility::isProcessTrusted() {
  std::vector<BusObject> applications;
  return bus_->registeredApplications(applications) == kAXErrorSuccess;
}

AXError AtspiAccessibility::setMessagingTimeout(float seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return kAXErrorIllegalArgument;
  // Zero restores the default, as on the platform this interface comes from.
  double effective = seconds == 0 ? 0.25 : double(seconds);
  bus_->setTimeout(std::uint64_t(std::llround(effective * 1e6)));
  return kAXErrorSuccess;
}

// Making an application's element proves nothing about it (every read of it asks it); its
// process was just found in the registry's list by the caller, so a list read within the
// last 100 ms names it as well as a new one would: one registry round trip fewer per
// request. A name gone meanwhile fails the first read, as for an application that quits; a
// process the list does not name (it may have registered since) is looked for in a new one.
Element AtspiAccessibility::createApplication(std::int32_t pid) {
  constexpr std::uint64_t kRecentListUsec = 100000;
  auto ownedBy = [&](const std::vector<BusObject>& applications) -> const BusObject* {
    for (const auto& application : applications) {
      std::int32_t owner = 0;
      if (bus_->connectionPid(application.owner, owner) == kAXErrorSuccess && owner == pid)
        return &application;
    }
    return nullptr;
  };
  const BusObject* found = nullptr;
  std::vector<BusObject> applications;
  if (pid > 0) {
    if (const auto* recent = bus_->recentApplications(kRecentListUsec)) found = ownedBy(*recent);
    if (!found && bus_->registeredApplications(applications) == kAXErrorSuccess)
      found = ownedBy(applications);
  }
  if (found) return {found->owner, found->path};
  return {"", std::string(kUnregisteredPrefix) + std::to_string(pid)};
}

// --- reading one object ----------------------------------------------------------------

void AtspiAccessibility::beginWalk(WalkReads reads) {
  bus_->forgetKeptReplies();
  windowOrigins_.clear();
  undecided_.clear();
  shownLists_.clear();
  walkPlacements_.clear();
  items_.clear();
  itemsTried_ = false;
  descendantsAhead_ = 0;
  walking_ = true;
  walkReads_ = reads;
}

void AtspiAccessibility::endWalk() {
  walking_ = false;
  windowOrigins_.clear();
  undecided_.clear();
  shownLists_.clear();
  walkPlacements_.clear();
  // A cache much larger than what walks use costs the application more to answer than the
  // reads it saves (mousepad 0.5.10: 322 items, 18-43 ms, for an observation of 17 elements).
  constexpr std::size_t kMaxUnusedShare = 4, kMinUsed = 16;
  if (!items_.empty() && items_.size() > kMaxUnusedShare * std::max(itemsUsed_, kMinUsed))
    noItems_.insert(itemsOwner_);
  items_.clear();
  bus_->forgetKeptReplies();
}

namespace {

constexpr const char* kItemSignature = "a((so)(so)(so)iiassusau)";

}  // namespace

// The application's toolkit as it names itself (GTK 3 through at-spi2-atk "gtk", GTK 4 "GTK",
// Qt "Qt", Gecko, Chromium), asked once per application; "" when it did not answer.
const std::string& AtspiAccessibility::toolkit(const std::string& owner) {
  auto found = toolkits_.find(owner);
  if (found != toolkits_.end()) return found->second;
  BusMessage reply;
  std::string name;
  if (bus_->property(owner, kRootPath, "org.a11y.atspi.Application", "ToolkitName", "s",
                     reply) != kAXErrorSuccess ||
      !readString(reply, name))
    name.clear();
  if (toolkits_.size() >= kMaxCachedInterfaces) toolkits_.clear();
  return toolkits_[owner] = std::move(name);
}

// An application that keeps a cache of its objects (GTK 4.8) answers `Cache.GetItems` with the
// states, role, name, description and interfaces of every object it has handed out, computed
// when asked, in one reply: a walk that observes reads them at its start and asks the objects
// it lists for everything else only. GTK 4 answers every call through its main loop, one at a
// time, and nests its widgets deeply: a visit cost ~13 calls per element of gnome-text-editor
// 43. Other shapes (Qt's lists children instead of counts) and applications without the
// method (at-spi2-atk 2.46: GTK 3, Gecko, Chromium, LibreOffice) are not asked again; nor is a
// cache too large to be worth reading whole. Walks that must see the live tree (finding an
// element again, the uniqueness check, the checks before an action) never use it.
void AtspiAccessibility::loadItems(const std::string& owner) {
  constexpr std::size_t kMaxItems = 4096;
  itemsTried_ = true;
  if (walkReads_ < WalkReads::targets || walkReads_ == WalkReads::element || owner.empty() ||
      noItems_.count(owner))
    return;
  if (noItems_.size() >= kMaxCachedInterfaces) noItems_.clear();
  // Only GTK's caches are read (GTK 3 through at-spi2-atk names itself "gtk", GTK 4 "GTK"):
  // a cache holds every object the application has handed out, hidden ones too, and the
  // other toolkits' (Gecko, Chromium, Qt) are not asked for more than the walk reads.
  if (const std::string& name = toolkit(owner); name != "gtk" && name != "GTK") {
    noItems_.insert(owner);
    return;
  }
  BusMessage reply;
  const AXError status =
      bus_->call(owner, "/org/a11y/atspi/cache", "org.a11y.atspi.Cache", "GetItems", reply);
  const char* signature = reply ? sd_bus_message_get_signature(reply.get(), 1) : nullptr;
  if (status != kAXErrorSuccess || !signature || std::strcmp(signature, kItemSignature) != 0) {
    noItems_.insert(owner);
    return;
  }
  sd_bus_message* m = reply.get();
  std::unordered_map<std::string, Item> items;
  struct Place {
    std::string parent;
    std::int32_t index = -1, count = -1;
  };
  std::unordered_map<std::string, Place> places;
  auto parsed = [&]() -> bool {
    if (sd_bus_message_enter_container(m, 'a', kItemSignature + 1) <= 0) return false;
    for (;;) {
      int r = sd_bus_message_enter_container(m, 'r', "(so)(so)(so)iiassusau");
      if (r < 0 || items.size() >= kMaxItems) return false;
      if (r == 0) break;
      const char* objectOwner = nullptr;
      const char* path = nullptr;
      const char* parentOwner = nullptr;
      const char* parent = nullptr;
      const char* name = nullptr;
      const char* description = nullptr;
      std::int32_t index = 0, count = 0;
      Item item;
      if (sd_bus_message_read(m, "(so)", &objectOwner, &path) <= 0 ||
          sd_bus_message_skip(m, "(so)") < 0 ||
          sd_bus_message_read(m, "(so)", &parentOwner, &parent) <= 0 ||
          sd_bus_message_read(m, "ii", &index, &count) <= 0 ||
          sd_bus_message_enter_container(m, 'a', "s") <= 0)
        return false;
      for (const char* interface = nullptr;
           (r = sd_bus_message_read_basic(m, 's', &interface)) > 0;) {
        for (const auto& entry : kInterfaceNames)
          if (entry.name == interface) item.interfaces |= entry.bit;
      }
      if (r < 0 || sd_bus_message_exit_container(m) < 0 ||
          sd_bus_message_read(m, "sus", &name, &item.role, &description) <= 0 ||
          sd_bus_message_enter_container(m, 'a', "u") <= 0)
        return false;
      std::uint32_t words[2] = {0, 0};
      std::size_t n = 0;
      for (std::uint32_t word = 0; (r = sd_bus_message_read_basic(m, 'u', &word)) > 0; ++n)
        if (n < 2) words[n] = word;
      if (r < 0 || sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0)
        return false;
      // Objects of another application (embedded ones) are asked for as before.
      if (*objectOwner && owner != objectOwner) continue;
      item.states.bits = std::uint64_t(words[0]) | (std::uint64_t(words[1]) << 32);
      item.name = name;
      item.description = description;
      items.insert_or_assign(path, std::move(item));
      places[path] = {*parentOwner && owner != parentOwner ? std::string() : std::string(parent),
                      index, count};
    }
    return sd_bus_message_exit_container(m) >= 0;
  };
  if (!parsed()) {
    noItems_.insert(owner);
    return;
  }
  // An object's children are known when the items place one of them at each index below its
  // child count, and no more.
  std::unordered_map<std::string, std::vector<std::pair<std::int32_t, std::string>>> byParent;
  for (const auto& [path, place] : places)
    if (items.count(place.parent)) byParent[place.parent].emplace_back(place.index, path);
  for (auto& [path, item] : items) {
    // at-spi2-atk counts no children of an object that manages its descendants (a
    // spreadsheet's table, a tree view), whose cells are made when asked for.
    if (item.states.has(AtspiState::ManagesDescendants)) continue;
    auto listed = byParent.find(path);
    const std::int32_t count = places[path].count;
    const std::size_t found = listed == byParent.end() ? 0 : listed->second.size();
    if (count < 0 || found != std::size_t(count)) continue;
    if (found) {
      std::sort(listed->second.begin(), listed->second.end());
      bool exact = true;
      for (std::size_t i = 0; i < found; ++i) exact = exact && listed->second[i].first == std::int32_t(i);
      if (!exact) continue;
      for (auto& child : listed->second) item.children.push_back(std::move(child.second));
    }
    item.childrenKnown = true;
  }
  if (interfaceCache_.size() + items.size() >= kMaxCachedInterfaces) interfaceCache_.clear();
  for (const auto& [path, item] : items) interfaceCache_[owner + '\n' + path] = item.interfaces;
  items_ = std::move(items);
  itemsUsed_ = 0;
  itemsOwner_ = owner;
  itemsUsec_ = coarseUsec();
}

// Items serve the walk they were read in, for at most a second, as replies read ahead do.
const AtspiAccessibility::Item* AtspiAccessibility::item(const std::string& owner,
                                                         const std::string& path) {
  if (!walking_ || items_.empty() || owner != itemsOwner_) return nullptr;
  if (coarseUsec() - itemsUsec_ >= 1000000) {
    items_.clear();
    return nullptr;
  }
  auto found = items_.find(path);
  if (found == items_.end()) return nullptr;
  if (!found->second.used) ++itemsUsed_;
  found->second.used = true;
  return &found->second;
}

// During a walk, a visit to an element reads its states, role, names and child count, and
// by its interfaces its actions and children; a visit that reads attributes (rather than only
// actions, settability or children, as a scan for targets does for most elements) also
// reads its extents, value and text; the checks before an element is acted on read all of it
// at their first read. Sent together they cost one round trip, and when an
// element's children are listed, the visits of all of them are sent at once. Elements met
// for the first time take a second round, once their interfaces are known. Children and
// text are read ahead only when the last visit found them small: a container of thousands
// of rows or a whole document is left to the read that asks for it.
void AtspiAccessibility::readAhead(const Element& element, bool attributes) {
  if (!walking_ || unregistered(element) || isApplication(element)) return;
  const int level = bus_->keptLevel(element.owner, element.path);
  if (level == 1 || (level == 0 && !attributes)) return;
  readAheadVisits(element.owner, {element.path}, level < 0, attributes);
}

void AtspiAccessibility::readAheadChildren(const Element& parent,
                                           const std::vector<Element>& children,
                                           bool attributes) {
  if (!walking_ || children.empty() || unregistered(parent)) return;
  const bool listed = attributes;  // the children an observation lists (the first 32)
  attributes = attributes && walkReads_ == WalkReads::everything;
  std::vector<std::string> unread, unreadAttributes;
  for (const auto& child : children) {
    if (child.owner != parent.owner || isApplication(child)) continue;
    const int level = bus_->keptLevel(child.owner, child.path);
    if (level < 0) unread.push_back(child.path);
    else if (level == 0 && attributes) unreadAttributes.push_back(child.path);
  }
  if (!unread.empty()) readAheadVisits(parent.owner, unread, true, attributes);
  if (!unreadAttributes.empty()) readAheadVisits(parent.owner, unreadAttributes, false, true);
  if (listed) readAheadDescendants(parent, children, attributes);
}

// With an application's items the lists further down are known when the first one is: the
// visits of the children's descendants go out too, in about the order the walk reaches them
// (depth first, the shown ones, at most 32 children of each) and up to an observation's node
// bound, so that the application answers them while the helper works through the first
// replies, rather than idling until each list is read in turn. They are the reads the
// visits would send; what the walk does not reach costs the application its answers only.
void AtspiAccessibility::readAheadDescendants(const Element& parent,
                                              const std::vector<Element>& children,
                                              bool attributes) {
  constexpr std::size_t kMaxDescendantsAhead = 128, kListedChildren = 32;
  constexpr int kMaxDepth = 10;  // an observation's depth bound, counted from `parent`
  if (walkReads_ < WalkReads::targets || walkReads_ == WalkReads::element || items_.empty() ||
      parent.owner != itemsOwner_ || isApplication(parent) ||
      descendantsAhead_ >= kMaxDescendantsAhead)
    return;
  struct Pending {
    const std::string* path;
    int depth;
  };
  std::vector<Pending> stack;
  for (auto child = children.rbegin(); child != children.rend(); ++child)
    if (child->owner == parent.owner) stack.push_back({&child->path, 1});
  std::vector<std::string> paths, unused;
  while (!stack.empty() && descendantsAhead_ + paths.size() < kMaxDescendantsAhead) {
    const Pending at = stack.back();
    stack.pop_back();
    auto found = items_.find(*at.path);
    if (found == items_.end() || !found->second.childrenKnown) continue;
    const Item& item = found->second;
    // A panel or filler with one child may pass it on: then the child is no level deeper.
    const bool mayPassOn = item.children.size() == 1 &&
                           (item.role == std::uint32_t(AtspiRole::Panel) ||
                            item.role == std::uint32_t(AtspiRole::Filler));
    const int depth = mayPassOn ? at.depth : at.depth + 1;
    if (depth > kMaxDepth) continue;
    const std::size_t first = stack.size();
    for (std::size_t i = 0; i < item.children.size() && i < kListedChildren; ++i) {
      auto child = items_.find(item.children[i]);
      if (child == items_.end()) continue;
      const StateSet& states = child->second.states;
      if (states.has(AtspiState::Defunct) ||
          !(states.has(AtspiState::Visible) || states.has(AtspiState::Showing)))
        continue;
      stack.push_back({&child->first, depth});
      if (bus_->keptLevel(parent.owner, child->first) >= 0) continue;
      paths.push_back(child->first);
      // Sending ahead is no use of an item (endWalk's measure of a cache worth reading).
      if (!child->second.used) unused.push_back(child->first);
    }
    std::reverse(stack.begin() + std::ptrdiff_t(first), stack.end());
  }
  if (paths.empty()) return;
  descendantsAhead_ += paths.size();
  const std::size_t used = itemsUsed_;
  readAheadVisits(parent.owner, paths, true, attributes);
  // Looked up again: the items may have been dropped meanwhile (their second had passed).
  for (const auto& path : unused)
    if (auto found = items_.find(path); found != items_.end()) found->second.used = false;
  itemsUsed_ = used;
}

void AtspiAccessibility::readAheadVisits(const std::string& owner,
                                         const std::vector<std::string>& paths, bool base,
                                         bool attributes) {
  constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
  constexpr std::int32_t kMaxTextAhead = 16384;
  constexpr std::int32_t kMaxActionsAhead = 16;
  if (visitHints_.size() + paths.size() >= kMaxCachedInterfaces) visitHints_.clear();
  auto smallChildren = [](std::int32_t count) { return count >= 0 && count <= kBulkChildren; };
  // What can be acted on or written: the elements whose actions a scan for targets reads,
  // and whose attributes it and an observation read (the identifier only of those).
  constexpr unsigned kActable = kAction | kValue | kEditableText;
  const bool actionsAhead = walkReads_ >= WalkReads::targets;
  // The checks before an element is acted on read all of it, whatever it is.
  auto readsAttributes = [&](unsigned mask) {
    return attributes || walkReads_ == WalkReads::element ||
           (walkReads_ == WalkReads::targets && (mask & kActable) != 0);
  };
  if (!itemsTried_) loadItems(owner);
  const bool oneCall = namesInOneCall({owner, std::string()});
  // What an object's item (loadItems) told is not asked again.
  auto byInterfaces = [&](unsigned mask, const VisitHint& hint, ReadAheadBatch& batch,
                          const Item* listed) {
    if (base && actionsAhead && (mask & kAction)) {
      if (oneCall && !hint.namesByIndex) {
        batch.calls.push_back({kActionInterface, "GetActions"});
      } else {
        batch.calls.push_back({kProperties, "Get", "ss", kActionInterface, "NActions"});
        for (std::int32_t i = 0; i < std::min(hint.actionCount, kMaxActionsAhead); ++i)
          batch.calls.push_back({kActionInterface, "GetName", "i", nullptr, nullptr, i});
      }
    }
    batch.attributes = readsAttributes(mask);
    if (!batch.attributes) return;
    // One property per call: Qt's bridge dies on Properties.GetAll (Qt 5.15 and 6.4). The
    // description is the label of what has no name, and part of the identity of an action.
    if (!listed) {
      batch.calls.push_back({kProperties, "Get", "ss", kAccessibleInterface, "Name"});
      if (!hint.named || (mask & kActable))
        batch.calls.push_back({kProperties, "Get", "ss", kAccessibleInterface, "Description"});
    }
    if (mask & kActable)
      batch.calls.push_back({kProperties, "Get", "ss", kAccessibleInterface, "AccessibleId"});
    if (mask & kComponent) batch.calls.push_back({kComponentInterface, "GetExtents", "u"});
    if (mask & kValue)
      batch.calls.push_back({kProperties, "Get", "ss", kValueInterface, "CurrentValue"});
    if ((mask & kText) && hint.characterCount >= 0 && hint.characterCount <= kMaxTextAhead)
      batch.calls.push_back({kTextInterface, "GetText", "ii", nullptr, nullptr, 0, -1});
  };

  std::vector<ReadAheadBatch> first;
  std::vector<bool> known;
  for (const auto& path : paths) {
    const std::string key = cacheKey({owner, path});
    const VisitHint& hint = visitHints_[key];
    const Item* listed = item(owner, path);
    if (base && hint.hidden) {
      // Hidden last time: its state tells whether it still is; a shown one's other reads are
      // asked for when they come.
      first.push_back({path, {}, false});
      if (!listed) first.back().calls.push_back({kAccessibleInterface, "GetState"});
      known.push_back(true);
      continue;
    }
    ReadAheadBatch batch{path, {}, attributes};
    // Where the children were few, their list also gives their number.
    if (base) {
      if (!listed)
        batch.calls = {{kAccessibleInterface, "GetState"}, {kAccessibleInterface, "GetRole"}};
      if (!listed || !listed->childrenKnown)
        batch.calls.push_back(
            smallChildren(hint.childCount)
                ? ReadAhead{kAccessibleInterface, "GetChildren"}
                : ReadAhead{kProperties, "Get", "ss", kAccessibleInterface, "ChildCount"});
      if (walkReads_ == WalkReads::labels) {
        batch.calls.push_back({kProperties, "Get", "ss", kAccessibleInterface, "Name"});
        if (!hint.named)
          batch.calls.push_back({kProperties, "Get", "ss", kAccessibleInterface, "Description"});
      } else if (hint.passesOnCandidate && walkReads_ != WalkReads::everything && !listed) {
        batch.calls.push_back({kProperties, "Get", "ss", kAccessibleInterface, "Name"});
      }
    }
    auto cached = interfaceCache_.find(key);
    known.push_back(cached != interfaceCache_.end());
    if (known.back() && base && hint.passedOn) {
      // Its child took its place last time: what decides that again, and nothing else.
      if (walkReads_ != WalkReads::labels && !listed)
        batch.calls.push_back({kProperties, "Get", "ss", kAccessibleInterface, "Name"});
      if (cached->second & kAction)
        batch.calls.push_back(oneCall && !hint.namesByIndex
                                  ? ReadAhead{kActionInterface, "GetActions"}
                                      : ReadAhead{kProperties, "Get", "ss", kActionInterface,
                                                  "NActions"});
      batch.attributes = false;
    } else if (known.back()) {
      byInterfaces(cached->second, hint, batch, listed);
    } else {
      batch.calls.push_back({kAccessibleInterface, "GetInterfaces"});
    }
    first.push_back(std::move(batch));
  }
  bus_->readAhead(owner, first);

  // Elements met for the first time: what their interfaces call for, once those are known.
  // (That waits for their first replies; the calls for known elements are still being
  // answered meanwhile.)
  std::vector<ReadAheadBatch> second;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (known[i]) continue;
    const Element element{owner, paths[i]};
    VisitHint& hint = visitHints_[cacheKey(element)];
    ReadAheadBatch batch{paths[i], {}, attributes};
    unsigned mask = 0;
    if (interfaces(element, mask) == kAXErrorSuccess) byInterfaces(mask, hint, batch, nullptr);
    std::int64_t count = 0;
    if (base && childCount(element, count) == kAXErrorSuccess && count > 0 &&
        smallChildren(std::int32_t(count)))
      batch.calls.push_back({kAccessibleInterface, "GetChildren"});
    if (!batch.calls.empty() || batch.attributes) second.push_back(std::move(batch));
  }
  if (!second.empty()) bus_->readAhead(owner, second);
}

AXError AtspiAccessibility::live(const Element& element, StateSet& states) {
  states = {};
  if (unregistered(element)) return kAXErrorNotImplemented;
  // An application's root has no states worth reading; a gone application fails every call.
  if (isApplication(element)) return kAXErrorSuccess;
  AXError status = stateSet(element, states);
  if (status != kAXErrorSuccess) return status;
  if (states.has(AtspiState::Defunct)) return kAXErrorInvalidUIElement;
  if (states.empty()) {
    // A destroyed GTK window keeps answering with no states at all and no place in a parent.
    BusMessage index;
    status = bus_->call(element.owner, element.path, kAccessibleInterface, "GetIndexInParent",
                        index);
    if (status != kAXErrorSuccess) return status;
    std::int32_t position = 0;
    if (!readBasic(index, 'i', &position)) return kAXErrorFailure;
    if (position < 0) return kAXErrorInvalidUIElement;
  }
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::stateSet(const Element& element, StateSet& states) {
  if (const Item* listed = item(element.owner, element.path)) {
    states = listed->states;
    return kAXErrorSuccess;
  }
  BusMessage reply;
  AXError status = bus_->call(element.owner, element.path, kAccessibleInterface, "GetState", reply);
  if (status != kAXErrorSuccess) return status;
  std::uint32_t words[2] = {0, 0};
  if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "u") <= 0) return kAXErrorFailure;
  for (auto& word : words) {
    if (sd_bus_message_read_basic(reply.get(), 'u', &word) <= 0) break;
  }
  states.bits = std::uint64_t(words[0]) | (std::uint64_t(words[1]) << 32);
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::role(const Element& element, std::uint32_t& role) {
  if (const Item* listed = item(element.owner, element.path)) {
    role = listed->role;
    return kAXErrorSuccess;
  }
  BusMessage reply;
  AXError status = bus_->call(element.owner, element.path, kAccessibleInterface, "GetRole", reply);
  if (status != kAXErrorSuccess) return status;
  return readBasic(reply, 'u', &role) ? kAXErrorSuccess : kAXErrorFailure;
}

AXError AtspiAccessibility::interfaces(const Element& element, unsigned& mask) {
  std::string key = cacheKey(element);
  if (auto found = interfaceCache_.find(key); found != interfaceCache_.end()) {
    mask = found->second;
    return kAXErrorSuccess;
  }
  BusMessage reply;
  AXError status =
      bus_->call(element.owner, element.path, kAccessibleInterface, "GetInterfaces", reply);
  if (status != kAXErrorSuccess) return status;
  if (sd_bus_message_enter_container(reply.get(), 'a', "s") <= 0) return kAXErrorFailure;
  mask = 0;
  for (;;) {
    const char* name = nullptr;
    int r = sd_bus_message_read_basic(reply.get(), 's', &name);
    if (r < 0) return kAXErrorFailure;
    if (r == 0) break;
    for (const auto& entry : kInterfaceNames) {
      if (entry.name == name) mask |= entry.bit;
    }
  }
  if (interfaceCache_.size() >= kMaxCachedInterfaces) interfaceCache_.clear();
  interfaceCache_.emplace(std::move(key), mask);
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::facts(const Element& element, Facts& facts) {
  AXError status = live(element, facts.states);
  if (status == kAXErrorSuccess) status = role(element, facts.role);
  if (status == kAXErrorSuccess) status = interfaces(element, facts.interfaces);
  return status;
}

AXError AtspiAccessibility::stringProperty(const Element& element, const char* name,
                                           std::string& value) {
  if (const Item* listed = item(element.owner, element.path)) {
    if (std::strcmp(name, "Name") == 0) return value = listed->name, kAXErrorSuccess;
    if (std::strcmp(name, "Description") == 0) return value = listed->description, kAXErrorSuccess;
  }
  BusMessage reply;
  AXError status =
      bus_->property(element.owner, element.path, kAccessibleInterface, name, "s", reply);
  if (status != kAXErrorSuccess) return status;
  return readString(reply, value) ? kAXErrorSuccess : kAXErrorFailure;
}

AXError AtspiAccessibility::childCount(const Element& element, std::int64_t& count) {
  if (const Item* listed = item(element.owner, element.path); listed && listed->childrenKnown) {
    count = std::int64_t(listed->children.size());
    return kAXErrorSuccess;
  }
  if (walking_) {
    // During a walk, a list that was small last time was read ahead instead of its number.
    auto hint = visitHints_.find(cacheKey(element));
    if (hint != visitHints_.end() && hint->second.childCount >= 0 &&
        hint->second.childCount <= kBulkChildren) {
      std::vector<Element> list;
      AXError status = children(element, list);
      if (status == kAXErrorSuccess) count = std::int64_t(list.size());
      return status;
    }
  }
  BusMessage reply;
  AXError status = bus_->property(element.owner, element.path, kAccessibleInterface,
                                  "ChildCount", "i", reply);
  if (status != kAXErrorSuccess) return status;
  std::int32_t value = 0;
  if (!readBasic(reply, 'i', &value)) return kAXErrorFailure;
  count = value;
  return kAXErrorSuccess;
}

// A closed menu shows a sighted user none of its items, and toolkits keep a menu's items as
// its children while it is closed (GTK 3, Gecko, Chromium): listed, they would use up an
// observation on menus before the window's content is reached. A menu is closed when its
// first item is not `showing`.
bool AtspiAccessibility::closedMenu(const Element& element) {
  std::uint32_t atspiRole = 0;
  if (role(element, atspiRole) != kAXErrorSuccess ||
      (atspiRole != std::uint32_t(AtspiRole::Menu) &&
       atspiRole != std::uint32_t(AtspiRole::PopupMenu)))
    return false;
  BusMessage reply;
  BusObject first;
  if (bus_->call(element.owner, element.path, kAccessibleInterface, "GetChildAtIndex", reply, "i",
                 std::int32_t(0)) != kAXErrorSuccess ||
      !readObject(reply, first) || first.path == kNullPath || first.path.empty())
    return false;
  BusMessage state;
  if (bus_->call(first.owner.empty() ? element.owner : first.owner, first.path,
                 kAccessibleInterface, "GetState", state) != kAXErrorSuccess ||
      sd_bus_message_enter_container(state.get(), 'a', "u") <= 0)
    return false;
  std::uint32_t low = 0;
  if (sd_bus_message_read_basic(state.get(), 'u', &low) <= 0) return false;
  return !StateSet{low}.has(AtspiState::Showing);
}

// Toolkits keep hidden widgets among their parents' children: Chromium 156 lists dozens of
// hidden buttons and notifications in its toolbar, GTK 3 any widget never shown, mousepad
// its whole toolbar while it is switched off. A sighted user sees none of them, and listed they used up an observation before the
// web page was reached. A child with neither `visible` nor `showing` is hidden (a child off
// screen is `visible`, and stays). Lists longer than kCheckedChildren are taken whole.
AXError AtspiAccessibility::shownChildren(const Element& element, std::vector<Element>& out) {
  // A walk counts an element's children, then lists them: told once for both.
  const std::string key = cacheKey(element);
  if (auto known = shownLists_.find(key); walking_ && known != shownLists_.end()) {
    out = known->second;
    return kAXErrorSuccess;
  }
  std::vector<Element> all;
  AXError status = children(element, all);
  if (status != kAXErrorSuccess || std::int64_t(all.size()) > kCheckedChildren) {
    out = std::move(all);
    return status;
  }
  // Which children are shown is told by all of their states, but an observation lists at
  // most 32 children of an element: the attributes of those past them would be read for
  // nothing (those that move up past hidden ones are read when listed).
  constexpr std::size_t kListedChildren = 32;
  if (all.size() > kListedChildren) {
    readAheadChildren(element, {all.begin(), all.begin() + kListedChildren});
    readAheadChildren(element, {all.begin() + kListedChildren, all.end()}, false);
  } else {
    readAheadChildren(element, all);
  }
  out.clear();
  for (auto& listed : all) {
    Element child = std::move(listed);
    for (int depth = 0; depth < kMaxPassedOn; depth++) {
      // A child gone meanwhile, or destroyed (GTK: `defunct`, or no states at all), is no
      // longer listed either.
      StateSet states;
      status = stateSet(child, states);
      if (status == kAXErrorInvalidUIElement) break;
      if (status != kAXErrorSuccess) return status;
      const bool hidden = states.has(AtspiState::Defunct) ||
                          !(states.has(AtspiState::Visible) || states.has(AtspiState::Showing));
      if (walking_) {
        auto hint = visitHints_.find(cacheKey(child));
        if (hint != visitHints_.end()) hint->second.hidden = hidden;
      }
      if (hidden) break;
      Element only;
      status = passesOn(child, only);
      if (status == kAXErrorInvalidUIElement) break;
      if (status != kAXErrorSuccess) return status;
      if (walking_) {
        auto hint = visitHints_.find(cacheKey(child));
        if (hint != visitHints_.end()) hint->second.passedOn = !only.path.empty();
      }
      if (only.path.empty() || depth + 1 == kMaxPassedOn) {
        out.push_back(std::move(child));
        break;
      }
      readAheadChildren(child, {only});
      child = std::move(only);
    }
  }
  if (walking_) {
    if (shownLists_.size() >= kMaxCachedInterfaces) shownLists_.clear();
    shownLists_[key] = out;
  }
  return kAXErrorSuccess;
}

// A layout container that only passes one child on is no element of its own: its child takes
// its place. GTK 4 nests its widgets deeply (gnome-text-editor 43: the text area 14 levels
// below the window, under unnamed boxes with one child each and `GtkStackPage`s, which have
// no place on screen), and the depth bound of an observation ends 10 levels down. Such a
// container is a panel or filler with exactly one child, and either no place on screen, or no
// name and no action. `only` is left empty for any other element.
AXError AtspiAccessibility::passesOn(const Element& element, Element& only) {
  only = {};
  std::uint32_t atspiRole = 0;
  AXError status = role(element, atspiRole);
  if (status != kAXErrorSuccess) return status;
  if (atspiRole != std::uint32_t(AtspiRole::Panel) && atspiRole != std::uint32_t(AtspiRole::Filler))
    return kAXErrorSuccess;
  unsigned mask = 0;
  status = interfaces(element, mask);
  if (status != kAXErrorSuccess) return status;
  std::int64_t count = 0;
  status = childCount(element, count);
  if (status != kAXErrorSuccess || count != 1) return status;
  if (walking_) visitHints_[cacheKey(element)].passesOnCandidate = true;
  if (mask & kComponent) {
    std::string name;
    status = stringProperty(element, "Name", name);
    if (status != kAXErrorSuccess || !name.empty()) return status;
    if (mask & kAction) {
      std::int32_t actions = 0;
      status = actionCount(element, actions);
      if (status != kAXErrorSuccess) return status;
      if (actions > 0) return kAXErrorSuccess;
    }
  }
  std::vector<Element> list;
  status = children(element, list);
  if (status == kAXErrorSuccess && list.size() == 1) only = std::move(list.front());
  return status;
}

AXError AtspiAccessibility::children(const Element& element, std::vector<Element>& out) {
  out.clear();
  if (const Item* listed = item(element.owner, element.path); listed && listed->childrenKnown) {
    for (const auto& path : listed->children) out.push_back({element.owner, path});
    return kAXErrorSuccess;
  }
  BusMessage reply;
  AXError status =
      bus_->call(element.owner, element.path, kAccessibleInterface, "GetChildren", reply);
  if (status != kAXErrorSuccess) return status;
  std::vector<BusObject> objects;
  if (!readObjectArray(reply, objects)) return kAXErrorFailure;
  appendObjects(element, objects, out);
  return kAXErrorSuccess;
}

// The application's windows among its first kWindowReads top-level children, read one at a
// time. Toolkits give top levels other roles than a window's (qt6ct's main window is a
// filler), so a top level counts when its role is a window's or when it has the rectangle of
// a top-level X window of the process (its client window or the window manager's frame).
AXError AtspiAccessibility::windows(const Element& application, std::vector<Element>& out) {
  out.clear();
  std::int64_t count = 0;
  AXError status = childCount(application, count);
  if (status != kAXErrorSuccess) return status;
  std::optional<std::vector<WindowPlacement>> placements;  // read once, when first needed
  std::vector<std::size_t> byRole;  // the windows listed for their role
  for (std::int64_t i = 0; i < std::min(count, kWindowReads); i++) {
    BusMessage reply;
    status = bus_->call(application.owner, application.path, kAccessibleInterface,
                        "GetChildAtIndex", reply, "i", std::int32_t(i));
    if (status != kAXErrorSuccess) return status;
    BusObject object;
    if (!readObject(reply, object)) return kAXErrorFailure;
    if (object.path == kNullPath) break;  // the list shrank meanwhile
    Element child{object.owner.empty() ? application.owner : object.owner, object.path};
    std::uint32_t childRole = 0;
    status = role(child, childRole);
    // A window that went away between the two calls is simply no longer listed.
    if (status == kAXErrorInvalidUIElement) continue;
    if (status != kAXErrorSuccess) return status;
    if (isWindowRole(childRole)) {
      byRole.push_back(out.size());
      out.push_back(std::move(child));
    } else if (ownsTopLevelWindow(application, child, placements)) {
      if (windowTopLevels_.size() >= kMaxCachedInterfaces) windowTopLevels_.clear();
      windowTopLevels_.insert(cacheKey(child));
      out.push_back(std::move(child));
    }
  }
  if (byRole.size() > 1) dropUnshownWindows(application, out, byRole, placements);
  return kAXErrorSuccess;
}

bool AtspiAccessibility::ownsTopLevelWindow(
    const Element& application, const Element& child,
    std::optional<std::vector<WindowPlacement>>& placements) {
  if (!placementsOf_) return false;
  std::int32_t box[4] = {0, 0, 0, 0};
  if (answeredExtents(child, box) != kAXErrorSuccess || box[2] <= 0 || box[3] <= 0) return false;
  if (!placements) {
    std::int32_t pid = 0;
    if (bus_->connectionPid(application.owner, pid) != kAXErrorSuccess) return false;
    placements = processPlacements(pid);
  }
  for (const WindowPlacement& p : *placements) {
    const std::int32_t client[4] = {p.x, p.y, p.width, p.height};
    const std::int32_t frame[4] = {p.frameX, p.frameY, p.frameWidth, p.frameHeight};
    if (std::equal(box, box + 4, client) || std::equal(box, box + 4, frame)) return true;
  }
  return false;
}

// A window's title is the one the desktop shows for it, its X window's: Qt 6 names the X
// window after the window's title followed by " — " and the application's display name, and
// the accessible window after the window's title alone (focuswriter 1.8.4: "(Untitled 1) —
// FocusWriter" against "(Untitled 1)"), so its image could never be matched by title. The X
// window is the one whose rectangle (client or frame) the window has exactly, when one alone
// has it; otherwise (no display, a window being moved) the accessible name stands.
bool AtspiAccessibility::desktopTitle(const Element& element, std::optional<std::string>& title) {
  if (!placementsOf_ || unregistered(element) || isApplication(element)) return false;
  std::uint32_t atspiRole = 0;
  if (role(element, atspiRole) != kAXErrorSuccess ||
      (!isWindowRole(atspiRole) && !windowTopLevels_.count(cacheKey(element))))
    return false;
  std::int32_t box[4] = {0, 0, 0, 0};
  std::int32_t pid = 0;
  if (extents(element, box) != kAXErrorSuccess ||
      bus_->connectionPid(element.owner, pid) != kAXErrorSuccess)
    return false;
  std::optional<WindowPlacement> found;
  for (WindowPlacement& p : processPlacements(pid)) {
    const std::int32_t client[4] = {p.x, p.y, p.width, p.height};
    const std::int32_t frame[4] = {p.frameX, p.frameY, p.frameWidth, p.frameHeight};
    if (!std::equal(box, box + 4, client) && !std::equal(box, box + 4, frame)) continue;
    if (found) return false;
    found = std::move(p);
  }
  if (!found) return false;
  title = std::move(found->title);
  return true;
}

// Chromium 156 publishes, beside its browser window, a frame for each popup it has built and
// not shown (its location bar's suggestions: untitled, 775 × 88, `showing`), for which no X
// window exists at all. So when a process has more windows by role than top-level X windows,
// those whose size none of its X windows has, as client, frame, or content within the frame
// (GTK 4 answers its windows' extents relative to themselves, so sizes are compared), are
// left out; but only as many as it has too many: a window being resized has another size
// for a moment, and is not left out for that.
void AtspiAccessibility::dropUnshownWindows(
    const Element& application, std::vector<Element>& list, const std::vector<std::size_t>& byRole,
    std::optional<std::vector<WindowPlacement>>& placements) {
  if (!placementsOf_) return;
  if (!placements) {
    std::int32_t pid = 0;
    if (bus_->connectionPid(application.owner, pid) != kAXErrorSuccess) return;
    placements = processPlacements(pid);
  }
  if (placements->empty() || list.size() <= placements->size()) return;
  std::vector<std::size_t> unshown;
  for (std::size_t i : byRole) {
    std::int32_t box[4] = {0, 0, 0, 0};
    if (answeredExtents(list[i], box) != kAXErrorSuccess) continue;
    bool sized = false;
    for (const WindowPlacement& p : *placements) {
      std::int32_t origin[2] = {0, 0};
      sized = sized || (box[2] == p.width && box[3] == p.height) ||
              (box[2] == p.frameWidth && box[3] == p.frameHeight) || contentOrigin(p, box, origin);
    }
    if (!sized) unshown.push_back(i);
  }
  if (unshown.size() > list.size() - placements->size()) return;
  for (auto i = unshown.rbegin(); i != unshown.rend(); ++i)
    list.erase(list.begin() + std::ptrdiff_t(*i));
}

AXError AtspiAccessibility::activeWindow(const Element& application, AttributeValue& value) {
  std::vector<Element> all;
  AXError status = windows(application, all);
  if (status != kAXErrorSuccess) return status;
  for (auto& window : all) {
    StateSet states;
    status = live(window, states);
    if (status == kAXErrorInvalidUIElement) continue;
    if (status != kAXErrorSuccess) return status;
    if (states.has(AtspiState::Active)) {
      value = AttributeValue::ofElement(std::move(window));
      return kAXErrorSuccess;
    }
  }
  return kAXErrorNoValue;
}

// GTK 4.8 answers extents relative to the element's window whatever coordinate type is
// asked (gnome-calculator: the window itself at (0, 0)). Such an application is recognised
// once by its windows: a window answering (0, 0) and the size of the content of a top-level
// X window of the process (contentOrigin) that is elsewhere. Its elements' extents are then
// moved by where their window's content is on screen; other applications' are taken as
// answered. The window itself is given the rectangle of the X window it draws into, border
// included: that is the window the desktop (and the capture that must find it) knows.
AXError AtspiAccessibility::extents(const Element& element, std::int32_t (&box)[4]) {
  AXError status = answeredExtents(element, box);
  if (status != kAXErrorSuccess || !placementsOf_ || !windowRelative(element.owner)) return status;
  Element window;
  WindowOnScreen placed;
  if (windowOf(element, window) != kAXErrorSuccess || !windowOnScreen(window, placed)) return status;
  if (window.equals(element)) {
    std::copy(placed.client, placed.client + 4, box);
    return status;
  }
  box[0] += placed.offset[0];
  box[1] += placed.offset[1];
  return status;
}

bool AtspiAccessibility::windowRelative(const std::string& owner) {
  if (auto known = relativeExtents_.find(owner); known != relativeExtents_.end())
    return known->second;
  if (!undecided_.insert(owner).second) return false;  // asked already in this walk
  const Element application{owner, kRootPath};
  std::vector<Element> list;
  std::int32_t pid = 0;
  if (windows(application, list) != kAXErrorSuccess ||
      bus_->connectionPid(owner, pid) != kAXErrorSuccess)
    return false;
  const std::vector<WindowPlacement> placements = processPlacements(pid);
  for (const Element& window : list) {
    std::int32_t box[4] = {0, 0, 0, 0};
    if (answeredExtents(window, box) != kAXErrorSuccess) continue;
    for (const WindowPlacement& p : placements) {
      const std::int32_t client[4] = {p.x, p.y, p.width, p.height};
      const std::int32_t frame[4] = {p.frameX, p.frameY, p.frameWidth, p.frameHeight};
      std::int32_t origin[2] = {0, 0};
      const bool fits = contentOrigin(p, box, origin);
      bool decided = true, relative = false;
      if (std::equal(box, box + 4, client) || std::equal(box, box + 4, frame) ||
          (fits && box[0] == origin[0] && box[1] == origin[1])) {
        relative = false;
      } else if (fits && box[0] == 0 && box[1] == 0) {
        relative = true;
      } else {
        decided = false;
      }
      if (!decided) continue;
      if (relativeExtents_.size() >= 1024) relativeExtents_.clear();
      relativeExtents_[owner] = relative;
      return relative;
    }
  }
  if (!walking_) undecided_.clear();
  return false;  // no window to tell by yet: asked again in the next walk
}

// Where the process's top-level X windows are. Reading them costs several X round trips, and
// a walk asks for every window it places, so a walk reads them once, fresh when it begins.
std::vector<WindowPlacement> AtspiAccessibility::processPlacements(std::int32_t pid) {
  if (!walking_) return placementsOf_(pid);
  auto known = walkPlacements_.find(pid);
  if (known == walkPlacements_.end())
    known = walkPlacements_.emplace(pid, placementsOf_(pid)).first;
  return known->second;
}

// The top level an element belongs to: its ancestor that is a child of the application
// root. Parents met while listing children are known; others are asked (`Parent`).
AXError AtspiAccessibility::windowOf(const Element& element, Element& window) {
  Element current = element;
  for (int depth = 0; depth < 64; depth++) {
    if (isApplication(current)) return kAXErrorFailure;
    Element parent;
    const std::string key = cacheKey(current);
    if (auto known = parents_.find(key); known != parents_.end()) {
      parent = known->second;
    } else {
      BusMessage reply;
      AXError status = bus_->property(current.owner, current.path, kAccessibleInterface,
                                      "Parent", "(so)", reply);
      if (status != kAXErrorSuccess) return status;
      BusObject object;
      if (!readObject(reply, object) || object.path == kNullPath) return kAXErrorFailure;
      parent = {object.owner.empty() ? current.owner : object.owner, object.path};
      if (parents_.size() >= kMaxCachedInterfaces) parents_.clear();
      parents_[key] = parent;
    }
    if (isApplication(parent)) {
      window = current;
      return kAXErrorSuccess;
    }
    current = parent;
  }
  return kAXErrorFailure;
}

// Where a window's content is on screen: the top-level X window of the process whose
// content has the window's size (the first, should several). Kept for one walk.
bool AtspiAccessibility::windowOnScreen(const Element& window, WindowOnScreen& placed) {
  const std::string key = cacheKey(window);
  if (auto known = windowOrigins_.find(key); known != windowOrigins_.end()) {
    placed = known->second;
    return true;
  }
  std::int32_t box[4] = {0, 0, 0, 0};
  std::int32_t pid = 0;
  if (answeredExtents(window, box) != kAXErrorSuccess ||
      bus_->connectionPid(window.owner, pid) != kAXErrorSuccess)
    return false;
  for (const WindowPlacement& p : processPlacements(pid)) {
    std::int32_t origin[2] = {0, 0};
    if (!contentOrigin(p, box, origin)) continue;
    placed = {{origin[0] - box[0], origin[1] - box[1]}, {p.x, p.y, p.width, p.height}};
    if (walking_) windowOrigins_[key] = placed;
    return true;
  }
  return false;
}

AXError AtspiAccessibility::answeredExtents(const Element& element, std::int32_t (&box)[4]) {
  unsigned mask = 0;
  AXError status = interfaces(element, mask);
  if (status != kAXErrorSuccess) return status;
  if (!(mask & kComponent)) return kAXErrorAttributeUnsupported;
  BusMessage reply;
  status = bus_->call(element.owner, element.path, kComponentInterface, "GetExtents", reply, "u",
                      std::uint32_t(0) /* screen coordinates */);
  if (status != kAXErrorSuccess) return status;
  if (sd_bus_message_read(reply.get(), "(iiii)", &box[0], &box[1], &box[2], &box[3]) <= 0) {
    return kAXErrorFailure;
  }
  // Toolkits answer -1 for an object that has no place on screen.
  if (box[2] < 0 || box[3] < 0) return kAXErrorAttributeUnsupported;
  // GTK places a widget that was never shown (a hidden scroll bar) at the lowest integer.
  if (box[0] == INT32_MIN || box[1] == INT32_MIN) return kAXErrorAttributeUnsupported;
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::valueRange(const Element& element, ValueRange& range) {
  struct Field {
    const char* name;
    double* out;
  } fields[] = {{"CurrentValue", &range.current},
                {"MinimumValue", &range.minimum},
                {"MaximumValue", &range.maximum},
                {"MinimumIncrement", &range.increment}};
  for (const auto& field : fields) {
    BusMessage reply;
    AXError status =
        bus_->property(element.owner, element.path, kValueInterface, field.name, "d", reply);
    if (status != kAXErrorSuccess) return status;
    if (!readBasic(reply, 'd', field.out)) return kAXErrorFailure;
  }
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::value(const Element& element, const Facts& facts,
                                  AttributeValue& out) {
  if (isCheckableRole(facts.role)) {
    std::int64_t state = facts.states.has(AtspiState::Indeterminate) ? 2
                         : facts.states.has(AtspiState::Checked)     ? 1
                                                                     : 0;
    out = AttributeValue::ofInteger(state);
    return kAXErrorSuccess;
  }
  if (facts.interfaces & kValue) {
    BusMessage reply;
    AXError status =
        bus_->property(element.owner, element.path, kValueInterface, "CurrentValue", "d", reply);
    if (status != kAXErrorSuccess) return status;
    double current = 0;
    if (!readBasic(reply, 'd', &current)) return kAXErrorFailure;
    out = AttributeValue::ofReal(current);
    return kAXErrorSuccess;
  }
  if (facts.interfaces & kText) {
    BusMessage reply;
    AXError status = bus_->call(element.owner, element.path, kTextInterface, "GetText", reply, "ii",
                                std::int32_t(0), std::int32_t(-1));
    if (status != kAXErrorSuccess) return status;
    std::string text;
    if (!readString(reply, text)) return kAXErrorFailure;
    // Its length in characters (code points) decides whether the next visit reads it ahead.
    std::int32_t characters = 0;
    for (unsigned char byte : text) characters += (byte & 0xC0) != 0x80;
    if (auto hint = visitHints_.find(cacheKey(element)); hint != visitHints_.end())
      hint->second.characterCount = characters;
    out = AttributeValue::ofString(std::move(text));
    return kAXErrorSuccess;
  }
  return kAXErrorAttributeUnsupported;
}

bool AtspiAccessibility::writableValue(const Facts& facts) const {
  return (facts.interfaces & kValue) && !isIndicatorRole(facts.role) &&
         !facts.states.has(AtspiState::ReadOnly);
}

// --- the interface ---------------------------------------------------------------------

AXError AtspiAccessibility::copyAttributeValue(const Element& element,
                                               const std::string& attribute,
                                               AttributeValue& out) {
  out = AttributeValue::none();
  if (unregistered(element)) return kAXErrorNotImplemented;
  if (attribute == "AXHelp") return kAXErrorAttributeUnsupported;  // AT-SPI publishes none

  if (attribute == "AXWindows" || attribute == "AXFocusedWindow" ||
      attribute == "AXMainWindow") {
    if (!isApplication(element)) return kAXErrorAttributeUnsupported;
    if (attribute != "AXWindows") return activeWindow(element, out);
    std::vector<Element> list;
    AXError status = windows(element, list);
    if (status == kAXErrorSuccess) out = AttributeValue::ofElements(std::move(list));
    return status;
  }
  if (!knownAttribute(attribute)) return kAXErrorAttributeUnsupported;

  // Roles, states and children are a visit's own reads; the others bring the attribute
  // reads along, where the walk reads attributes.
  const bool attributeRead = attribute != "AXRole" && attribute != "AXEnabled" &&
                             attribute != "AXMinimized" && attribute != "AXChildren";
  readAhead(element, walkReads_ == WalkReads::everything ||
                         (attributeRead && walkReads_ == WalkReads::targets));
  StateSet states;
  AXError status = live(element, states);
  if (status != kAXErrorSuccess) return status;

  if (attribute == "AXRole") {
    std::uint32_t atspiRole = 0;
    status = role(element, atspiRole);
    if (status == kAXErrorSuccess) {
      out = AttributeValue::ofString(
          windowTopLevels_.count(cacheKey(element))
              ? std::string("AXWindow")
              : std::string(axRole(atspiRole, states.has(AtspiState::MultiLine))));
    }
    return status;
  }
  if (std::optional<std::string> shown; attribute == "AXTitle" && desktopTitle(element, shown)) {
    if (!shown) return kAXErrorNoValue;
    out = AttributeValue::ofString(std::move(*shown));
    return kAXErrorSuccess;
  }
  if (attribute == "AXTitle" || attribute == "AXDescription" || attribute == "AXIdentifier") {
    const char* property = attribute == "AXTitle"         ? "Name"
                           : attribute == "AXDescription" ? "Description"
                                                          : "AccessibleId";
    std::string text;
    status = stringProperty(element, property, text);
    if (status != kAXErrorSuccess) return status;
    if (walking_ && attribute == "AXTitle") visitHints_[cacheKey(element)].named = !text.empty();
    if (text.empty()) return kAXErrorNoValue;
    out = AttributeValue::ofString(std::move(text));
    return kAXErrorSuccess;
  }
  if (attribute == "AXChildren") {
    std::vector<Element> list;
    status = closedMenu(element) ? kAXErrorSuccess : shownChildren(element, list);
    if (status == kAXErrorSuccess) out = AttributeValue::ofElements(std::move(list));
    return status;
  }
  if (attribute == "AXEnabled") {
    if (isApplication(element)) return kAXErrorAttributeUnsupported;
    out = AttributeValue::ofBoolean(states.enabled());
    return kAXErrorSuccess;
  }
  if (attribute == "AXMinimized") {
    std::uint32_t atspiRole = 0;
    status = role(element, atspiRole);
    if (status != kAXErrorSuccess) return status;
    if (!isWindowRole(atspiRole) && !windowTopLevels_.count(cacheKey(element)))
      return kAXErrorAttributeUnsupported;
    out = AttributeValue::ofBoolean(states.has(AtspiState::Iconified));
    return kAXErrorSuccess;
  }
  if (attribute == "AXPosition" || attribute == "AXSize") {
    std::int32_t box[4] = {0, 0, 0, 0};
    status = extents(element, box);
    if (status != kAXErrorSuccess) return status;
    out = attribute == "AXPosition" ? AttributeValue::ofPoint({double(box[0]), double(box[1])})
                                    : AttributeValue::ofSize({double(box[2]), double(box[3])});
    return kAXErrorSuccess;
  }
  // "AXValue", read fresh every time.
  Facts facts;
  facts.states = states;
  status = role(element, facts.role);
  if (status == kAXErrorSuccess) status = interfaces(element, facts.interfaces);
  if (status == kAXErrorSuccess) status = value(element, facts, out);
  return status;
}

AXError AtspiAccessibility::getAttributeValueCount(const Element& element,
                                                   const std::string& attribute,
                                                   std::int64_t& count) {
  count = 0;
  if (unregistered(element)) return kAXErrorNotImplemented;
  if (attribute == "AXWindows") {
    if (!isApplication(element)) return kAXErrorAttributeUnsupported;
    // More top levels than a window list may hold are all counted, unread: the list is
    // refused as too long without thousands of calls to tell windows from the rest.
    AXError status = childCount(element, count);
    if (status != kAXErrorSuccess || count > kWindowReads) return status;
    std::vector<Element> list;
    status = windows(element, list);
    count = std::int64_t(list.size());
    return status;
  }
  if (attribute != "AXChildren") return kAXErrorAttributeUnsupported;
  readAhead(element, false);
  StateSet states;
  AXError status = live(element, states);
  if (status != kAXErrorSuccess) return status;
  status = childCount(element, count);
  if (status != kAXErrorSuccess) return status;
  if (walking_) {
    visitHints_[cacheKey(element)].childCount =
        std::int32_t(std::min<std::int64_t>(count, INT32_MAX));
  }
  if (count > 0 && closedMenu(element)) count = 0;
  if (count > 0 && count <= kCheckedChildren) {
    std::vector<Element> list;
    status = shownChildren(element, list);
    count = std::int64_t(list.size());
  }
  return status;
}

AXError AtspiAccessibility::copyAttributeValues(const Element& element,
                                                const std::string& attribute, std::int64_t index,
                                                std::int64_t maxValues, AttributeValue& values) {
  values = AttributeValue::none();
  if (index < 0 || maxValues < 0) return kAXErrorIllegalArgument;
  if (unregistered(element)) return kAXErrorNotImplemented;
  if (attribute == "AXWindows") {
    if (!isApplication(element)) return kAXErrorAttributeUnsupported;
    std::vector<Element> list;
    AXError status = windows(element, list);
    if (status != kAXErrorSuccess) return status;
    if (index > std::int64_t(list.size())) return kAXErrorIllegalArgument;
    values = slice(std::move(list), index, maxValues);
    return kAXErrorSuccess;
  }
  if (attribute != "AXChildren") return kAXErrorAttributeUnsupported;

  readAhead(element, false);
  StateSet states;
  AXError status = live(element, states);
  if (status != kAXErrorSuccess) return status;
  // The range is checked against the count as it is now: a list may have shrunk since the
  // caller counted it, and no index past its end is ever asked for.
  std::int64_t count = 0;
  status = childCount(element, count);
  if (status != kAXErrorSuccess) return status;
  if (count > 0 && closedMenu(element)) count = 0;
  if (index > count) return kAXErrorIllegalArgument;
  std::int64_t wanted = std::min(maxValues, count - index);
  if (wanted == 0) {
    values = AttributeValue::ofElements({});
    return kAXErrorSuccess;
  }
  if (count <= kBulkChildren) {
    std::vector<Element> list;
    status = count <= kCheckedChildren ? shownChildren(element, list) : children(element, list);
    if (status == kAXErrorSuccess) {
      if (index > std::int64_t(list.size())) return kAXErrorIllegalArgument;
      values = slice(std::move(list), index, wanted);
      readAheadChildren(element, values.elements);
      if (relativeExtents_.count(element.owner) && relativeExtents_[element.owner]) {
        if (parents_.size() + values.elements.size() >= kMaxCachedInterfaces) parents_.clear();
        for (const auto& child : values.elements) parents_[cacheKey(child)] = element;
      }
    }
    if (walking_) visitHints_[cacheKey(element)].childCount = std::int32_t(count);
    return status;
  }
  std::vector<Element> list;
  for (std::int64_t i = index; i < index + wanted; i++) {
    BusMessage reply;
    status = bus_->call(element.owner, element.path, kAccessibleInterface, "GetChildAtIndex",
                        reply, "i", std::int32_t(i));
    if (status != kAXErrorSuccess) return status;
    BusObject object;
    if (!readObject(reply, object)) return kAXErrorFailure;
    if (object.path == kNullPath) break;  // the list shrank meanwhile
    appendObjects(element, {object}, list);
  }
  values = AttributeValue::ofElements(std::move(list));
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::getPid(const Element& element, std::int32_t& pid) {
  pid = 0;
  if (unregistered(element)) {
    if (element.path.rfind(kUnregisteredPrefix, 0) != 0) return kAXErrorInvalidUIElement;
    try {
      pid = std::stoi(element.path.substr(kUnregisteredPrefix.size()));
    } catch (...) {
      return kAXErrorInvalidUIElement;
    }
    return kAXErrorSuccess;
  }
  return bus_->connectionPid(element.owner, pid);
}

// Action names are the programmatic ones, `GetName(i)` for each of `NActions`: the same in
// every locale. `GetActions` answers every action of an element in one reply, but its first
// field is the localized name ("Klicken" in German, "" from Chromium), and Firefox answers it
// for a hidden button with a reply that is not valid UTF-8, which makes libdbus abort
// Firefox. So it is asked only of GTK and Qt applications (at-spi2-atk, GTK 4 and Qt 5 and 6
// answered it for every object, alive), and only once their first element with actions
// answered it with the programmatic names (an application whose messages are not
// translated); its names are taken for an element only when each is one that maps to an
// action. Any other element (LibreOffice's own answer ""), and every application where the
// names differed (Chromium's are "", a German locale's "Klicken"), is read one action at a
// time.
AXError AtspiAccessibility::atspiActions(const Element& element,
                                         std::vector<AtspiAction>& actions) {
  actions.clear();
  std::vector<std::string> names;
  if (namesInOneCall(element)) {
    AXError status = actionsInOneCall(element, names);
    if (status != kAXErrorSuccess) return status;
    if (std::all_of(names.begin(), names.end(), [](const auto& n) { return mappedActionName(n); })) {
      for (std::size_t i = 0; i < names.size(); ++i)
        actions.push_back({std::int32_t(i), std::move(names[i])});
      return kAXErrorSuccess;
    }
    // Names that map to nothing may be translations of ones that do (GTK 4's own action
    // names, "win.undo", are not): this element is read one action at a time from now on.
    if (visitHints_.size() >= kMaxCachedInterfaces) visitHints_.clear();
    visitHints_[cacheKey(element)].namesByIndex = true;
  }
  AXError status = actionsByIndex(element, actions);
  if (status != kAXErrorSuccess || actions.empty() || unregistered(element) ||
      actionNaming_[element.owner] != ActionNaming::undecided)
    return status;
  // The first element with actions decides for its application.
  const std::string& name = toolkit(element.owner);
  bool same = (name == "gtk" || name == "GTK" || name == "Qt") &&
              actionsInOneCall(element, names) == kAXErrorSuccess && names.size() == actions.size();
  for (std::size_t i = 0; same && i < names.size(); ++i)
    same = names[i].size() == actions[i].name.size() &&
           std::equal(names[i].begin(), names[i].end(), actions[i].name.begin(),
                      [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
  if (actionNaming_.size() >= kMaxCachedInterfaces) actionNaming_.clear();
  actionNaming_[element.owner] = same ? ActionNaming::oneCall : ActionNaming::byIndex;
  return status;
}

// Whether the application's names are read in one call, and the element's too (with no path:
// the application's).
bool AtspiAccessibility::namesInOneCall(const Element& element) const {
  auto found = actionNaming_.find(element.owner);
  if (found == actionNaming_.end() || found->second != ActionNaming::oneCall) return false;
  if (element.path.empty()) return true;
  auto hint = visitHints_.find(cacheKey(element));
  return hint == visitHints_.end() || !hint->second.namesByIndex;
}

// The first field of each of `GetActions`' (name, description, key binding) triples.
AXError AtspiAccessibility::actionsInOneCall(const Element& element,
                                             std::vector<std::string>& names) {
  constexpr std::size_t kMaxActions = 64;
  names.clear();
  BusMessage reply;
  AXError status = bus_->call(element.owner, element.path, kActionInterface, "GetActions", reply);
  if (status != kAXErrorSuccess) return status;
  sd_bus_message* m = reply.get();
  if (sd_bus_message_enter_container(m, 'a', "(sss)") <= 0) return kAXErrorFailure;
  for (;;) {
    const char *name = nullptr, *description = nullptr, *keys = nullptr;
    int r = sd_bus_message_read(m, "(sss)", &name, &description, &keys);
    if (r < 0) return kAXErrorFailure;
    if (r == 0 || names.size() == kMaxActions) break;
    names.emplace_back(name);
  }
  return kAXErrorSuccess;
}

// How many actions an element has: `NActions`, or where the names come in one call, their
// number (the same answer: both count the toolkit's actions of the element).
AXError AtspiAccessibility::actionCount(const Element& element, std::int32_t& count) {
  count = 0;
  if (namesInOneCall(element)) {
    std::vector<std::string> names;
    AXError status = actionsInOneCall(element, names);
    count = std::int32_t(names.size());
    return status;
  }
  BusMessage reply;
  AXError status =
      bus_->property(element.owner, element.path, kActionInterface, "NActions", "i", reply);
  if (status != kAXErrorSuccess) return status;
  return readBasic(reply, 'i', &count) ? kAXErrorSuccess : kAXErrorFailure;
}

AXError AtspiAccessibility::actionsByIndex(const Element& element,
                                           std::vector<AtspiAction>& actions) {
  constexpr std::int32_t kMaxActions = 64;
  actions.clear();
  std::int32_t count = 0;
  BusMessage reply;
  AXError status =
      bus_->property(element.owner, element.path, kActionInterface, "NActions", "i", reply);
  if (status != kAXErrorSuccess) return status;
  if (!readBasic(reply, 'i', &count)) return kAXErrorFailure;
  count = std::clamp(count, 0, kMaxActions);
  if (walking_ && count > 0) {
    // The names go out together unless the visit already sent them for this many actions.
    VisitHint& hint = visitHints_[cacheKey(element)];
    if (hint.actionCount != count) {
      hint.actionCount = count;
      std::vector<ReadAheadBatch> names{{element.path, {}, false}};
      for (std::int32_t i = 0; i < count; ++i)
        names[0].calls.push_back({kActionInterface, "GetName", "i", nullptr, nullptr, i});
      bus_->readAhead(element.owner, names);
    }
  }
  for (std::int32_t index = 0; index < count; index++) {
    BusMessage name;
    status = bus_->call(element.owner, element.path, kActionInterface, "GetName", name, "i", index);
    if (status != kAXErrorSuccess) return status;
    std::string text;
    if (!readString(name, text)) return kAXErrorFailure;
    actions.push_back({index, std::move(text)});
  }
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::scrollBars(const Element& pane, Element* vertical,
                                       Element* horizontal) {
  std::vector<Element> list;
  AXError status = children(pane, list);
  if (status != kAXErrorSuccess) return status;
  for (auto& child : list) {
    Facts childFacts;
    status = facts(child, childFacts);
    if (status == kAXErrorInvalidUIElement) continue;
    if (status != kAXErrorSuccess) return status;
    if (childFacts.role != std::uint32_t(AtspiRole::ScrollBar) || !writableValue(childFacts)) {
      continue;
    }
    if (childFacts.states.has(AtspiState::Vertical) && vertical && vertical->path.empty()) {
      *vertical = child;
    } else if (childFacts.states.has(AtspiState::Horizontal) && horizontal &&
               horizontal->path.empty()) {
      *horizontal = child;
    }
  }
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::copyActionNames(const Element& element,
                                            std::vector<std::string>& names) {
  names.clear();
  readAhead(element, false);
  Facts facts;
  AXError status = this->facts(element, facts);
  if (status != kAXErrorSuccess) return status;
  auto add = [&names](std::string_view name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
  };
  bool hasActions = false;
  if (facts.interfaces & kAction) {
    hasActions = true;
    std::vector<AtspiAction> actions;
    status = atspiActions(element, actions);
    if (status != kAXErrorSuccess) return status;
    for (const auto& action : actions) {
      if (auto ax = axAction(action.name, facts.role)) add(*ax);
    }
  }
  if (writableValue(facts)) {
    hasActions = true;
    add("AXIncrement");
    add("AXDecrement");
  }
  if (facts.role == std::uint32_t(AtspiRole::ScrollPane)) {
    Element vertical, horizontal;
    status = scrollBars(element, &vertical, &horizontal);
    if (status != kAXErrorSuccess) return status;
    if (!vertical.path.empty()) {
      hasActions = true;
      add("AXScrollUpByPage");
      add("AXScrollDownByPage");
    }
    if (!horizontal.path.empty()) {
      hasActions = true;
      add("AXScrollLeftByPage");
      add("AXScrollRightByPage");
    }
  }
  return hasActions ? kAXErrorSuccess : kAXErrorAttributeUnsupported;
}

AXError AtspiAccessibility::isAttributeSettable(const Element& element,
                                                const std::string& attribute, bool& settable) {
  settable = false;
  if (unregistered(element)) return kAXErrorNotImplemented;
  if (!knownAttribute(attribute)) return kAXErrorAttributeUnsupported;
  if (attribute != "AXValue") {
    StateSet states;
    return live(element, states);
  }
  readAhead(element, false);
  Facts facts;
  AXError status = this->facts(element, facts);
  if (status != kAXErrorSuccess) return status;
  settable = ((facts.interfaces & kEditableText) && facts.states.has(AtspiState::Editable)) ||
             writableValue(facts);
  return kAXErrorSuccess;
}

AXError AtspiAccessibility::setAttributeValue(const Element& element,
                                              const std::string& attribute,
                                              const AttributeValue& value) {
  if (unregistered(element)) return kAXErrorNotImplemented;
  if (attribute != "AXValue") {
    return knownAttribute(attribute) ? kAXErrorIllegalArgument : kAXErrorAttributeUnsupported;
  }
  Facts facts;
  AXError status = this->facts(element, facts);
  if (status != kAXErrorSuccess) return status;
  bool editable = (facts.interfaces & kEditableText) && facts.states.has(AtspiState::Editable);
  if (value.kind == AttributeValue::Kind::String && editable) {
    // A D-Bus string ends at its first NUL: sent as is, the application would get less
    // than the caller asked for.
    if (value.string.find('\0') != std::string::npos) return kAXErrorIllegalArgument;
    BusMessage reply;
    status = bus_->call(element.owner, element.path, kEditableTextInterface, "SetTextContents",
                        reply, "s", value.string.c_str());
    if (status != kAXErrorSuccess) return status;
    int done = 0;
    if (!readBasic(reply, 'b', &done)) return kAXErrorFailure;
    return done ? kAXErrorSuccess : kAXErrorFailure;
  }
  bool number = value.kind == AttributeValue::Kind::Integer ||
                value.kind == AttributeValue::Kind::Real;
  if (number && writableValue(facts)) {
    double target =
        value.kind == AttributeValue::Kind::Integer ? double(value.integer) : value.real;
    if (!std::isfinite(target)) return kAXErrorIllegalArgument;
    return bus_->setProperty(element.owner, element.path, kValueInterface, "CurrentValue", "d",
                             target);
  }
  if (editable || writableValue(facts)) return kAXErrorIllegalArgument;  // wrong type
  return kAXErrorAttributeUnsupported;
}

AXError AtspiAccessibility::stepValue(const Element& element, double direction) {
  ValueRange range;
  AXError status = valueRange(element, range);
  if (status != kAXErrorSuccess) return status;
  double step = range.increment > 0 ? range.increment : (range.maximum - range.minimum) / 100;
  double target = std::clamp(range.current + direction * step, range.minimum,
                             std::max(range.minimum, range.maximum));
  return bus_->setProperty(element.owner, element.path, kValueInterface, "CurrentValue", "d",
                           target);
}

AXError AtspiAccessibility::scrollByPage(const Element& pane, bool vertical, double direction) {
  Element verticalBar, horizontalBar;
  AXError status = scrollBars(pane, &verticalBar, &horizontalBar);
  if (status != kAXErrorSuccess) return status;
  const Element& bar = vertical ? verticalBar : horizontalBar;
  if (bar.path.empty()) return kAXErrorActionUnsupported;

  // A page is what the viewport shows; without a viewport, what the pane shows.
  std::vector<Element> list;
  status = children(pane, list);
  if (status != kAXErrorSuccess) return status;
  Element shown = pane;
  for (const auto& child : list) {
    std::uint32_t childRole = 0;
    if (role(child, childRole) == kAXErrorSuccess &&
        childRole == std::uint32_t(AtspiRole::Viewport)) {
      shown = child;
      break;
    }
  }
  std::int32_t box[4] = {0, 0, 0, 0};
  status = extents(shown, box);
  if (status != kAXErrorSuccess) return status == kAXErrorAttributeUnsupported
                                            ? kAXErrorCannotComplete
                                            : status;
  ValueRange range;
  status = valueRange(bar, range);
  if (status != kAXErrorSuccess) return status;
  double page = vertical ? box[3] : box[2];
  double target = std::clamp(range.current + direction * page, range.minimum,
                             std::max(range.minimum, range.maximum));
  return bus_->setProperty(bar.owner, bar.path, kValueInterface, "CurrentValue", "d", target);
}

AXError AtspiAccessibility::performAction(const Element& element, const std::string& action) {
  if (unregistered(element)) return kAXErrorNotImplemented;
  Facts facts;
  AXError status = this->facts(element, facts);
  if (status != kAXErrorSuccess) return status;

  if (action == "AXIncrement" || action == "AXDecrement") {
    if (!writableValue(facts)) return kAXErrorActionUnsupported;
    return stepValue(element, action == "AXIncrement" ? 1 : -1);
  }
  bool vertical = false;
  double direction = 0;
  if (isScrollAction(action, vertical, direction)) {
    if (facts.role != std::uint32_t(AtspiRole::ScrollPane)) return kAXErrorActionUnsupported;
    return scrollByPage(element, vertical, direction);
  }
  if (!(facts.interfaces & kAction)) return kAXErrorActionUnsupported;
  // The index is found by name in the list as it is now; an index out of range would be
  // reported as done by GTK without doing anything.
  std::vector<AtspiAction> actions;
  status = atspiActions(element, actions);
  if (status != kAXErrorSuccess) return status;
  for (const auto& candidate : actions) {
    auto ax = axAction(candidate.name, facts.role);
    if (!ax || *ax != action) continue;
    BusMessage reply;
    status = bus_->call(element.owner, element.path, kActionInterface, "DoAction", reply, "i",
                        candidate.index);
    if (status != kAXErrorSuccess) return status;
    int done = 0;
    if (!readBasic(reply, 'b', &done)) return kAXErrorFailure;
    return done ? kAXErrorSuccess : kAXErrorFailure;
  }
  return kAXErrorActionUnsupported;
}

}  // namespace velmaris::platform::linux_desktop
