// The accessibility interface the helper reaches other applications through: one call per
// platform operation, each answering a status. Elements are opaque values compared only
// with equals(); calls are synchronous, made on the request thread, and never throw.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"

namespace velmaris::platform {

// An accessibility element. `owner` and `path` together name one element of one
// application (on AT-SPI: the application's unique bus name and the object path).
struct Element {
  std::string owner;
  std::string path;

  bool equals(const Element& other) const { return owner == other.owner && path == other.path; }
};

struct Point {
  double x = 0;
  double y = 0;
};

struct Size {
  double width = 0;
  double height = 0;
};

// A copied attribute value, typed as the platform types it. `None` is a successful read
// that handed back no value; `Other` is a value of a type the helper has no use for.
struct AttributeValue {
  enum class Kind { None, String, Boolean, Integer, Real, Element, ElementArray, Point, Size, Other };

  Kind kind = Kind::None;
  std::string string;
  bool boolean = false;
  std::int64_t integer = 0;
  double real = 0;
  platform::Element element;
  std::vector<platform::Element> elements;
  platform::Point point;
  platform::Size size;

  static AttributeValue none() { return {}; }
  static AttributeValue ofString(std::string s) {
    AttributeValue v;
    v.kind = Kind::String;
    v.string = std::move(s);
    return v;
  }
  static AttributeValue ofBoolean(bool b) {
    AttributeValue v;
    v.kind = Kind::Boolean;
    v.boolean = b;
    return v;
  }
  static AttributeValue ofInteger(std::int64_t i) {
    AttributeValue v;
    v.kind = Kind::Integer;
    v.integer = i;
    return v;
  }
  static AttributeValue ofReal(double d) {
    AttributeValue v;
    v.kind = Kind::Real;
    v.real = d;
    return v;
  }
  static AttributeValue ofElement(platform::Element e) {
    AttributeValue v;
    v.kind = Kind::Element;
    v.element = std::move(e);
    return v;
  }
  static AttributeValue ofElements(std::vector<platform::Element> es) {
    AttributeValue v;
    v.kind = Kind::ElementArray;
    v.elements = std::move(es);
    return v;
  }
  static AttributeValue ofPoint(platform::Point p) {
    AttributeValue v;
    v.kind = Kind::Point;
    v.point = p;
    return v;
  }
  static AttributeValue ofSize(platform::Size s) {
    AttributeValue v;
    v.kind = Kind::Size;
    v.size = s;
    return v;
  }
  static AttributeValue other() {
    AttributeValue v;
    v.kind = Kind::Other;
    return v;
  }
};

class Accessibility {
 public:
  virtual ~Accessibility() = default;

  // Trust to use the interface at all; never prompts.
  virtual bool isProcessTrusted() = 0;
  // The messaging timeout of every later call, set once on the system-wide element.
  virtual AXError setMessagingTimeout(float seconds) = 0;
  // The application element of a process. Creating it never fails; reads through it do
  // when the process takes no part in accessibility.
  virtual Element createApplication(std::int32_t pid) = 0;

  virtual AXError copyAttributeValue(const Element& element, const std::string& attribute,
                                     AttributeValue& value) = 0;
  virtual AXError getAttributeValueCount(const Element& element, const std::string& attribute,
                                         std::int64_t& count) = 0;
  // Copies `maxValues` values from `index`; the answer is an ElementArray for element lists.
  virtual AXError copyAttributeValues(const Element& element, const std::string& attribute,
                                      std::int64_t index, std::int64_t maxValues,
                                      AttributeValue& values) = 0;
  virtual AXError getPid(const Element& element, std::int32_t& pid) = 0;
  virtual AXError copyActionNames(const Element& element, std::vector<std::string>& names) = 0;
  virtual AXError isAttributeSettable(const Element& element, const std::string& attribute,
                                      bool& settable) = 0;
  virtual AXError setAttributeValue(const Element& element, const std::string& attribute,
                                    const AttributeValue& value) = 0;
  virtual AXError performAction(const Element& element, const std::string& action) = 0;

  // A walk of an element tree, or the checks of one element before it is acted on, begins or
  // ends. During a walk a backend may answer reads from replies it fetched ahead for the
  // elements the walk is about to visit, so that the walk sees the tree as it was while it
  // went; outside a walk every read asks the application. `reads` says what the walk reads
  // of the elements it visits, so that nothing else is fetched for them. A change made
  // during a walk ends what was fetched ahead: nothing read before it answers a read after.
  enum class WalkReads {
    structure,   // roles and children: finding an element again
    labels,      // also labels: a selector's uniqueness scan
    targets,     // also actions and settability, and all of what can be acted on
    everything,  // names, value and bounds of every element: an observation of the tree
    element,     // all of one element, from the application itself: the checks before it is
                 // acted on, and the action or write
  };
  virtual void beginWalk(WalkReads reads) { (void)reads; }
  virtual void endWalk() {}
};

}  // namespace velmaris::platform
