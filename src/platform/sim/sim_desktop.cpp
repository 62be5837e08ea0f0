// The simulated desktop's state and the two backends that serve it.
#include "platform/sim/sim_desktop.h"

#include <algorithm>

namespace velmaris::platform::sim {
namespace {

std::string key(const Element& e) { return e.owner + "|" + e.path; }

}  // namespace

SimProcess& SimDesktop::addProcess(std::int32_t pid, std::optional<std::string> bundleID,
                                   ActivationPolicy policy) {
  SimProcess& p = processes_[pid];
  p.app.pid = pid;
  p.app.bundleID = std::move(bundleID);
  p.app.activationPolicy = policy;
  p.app.terminated = false;
  p.startSeconds = 1700000000 + static_cast<std::uint64_t>(nextOwner_);
  owners_[pid] = ":sim." + std::to_string(nextOwner_++);
  SimElement app;
  app.pid = pid;
  app.attributes["AXRole"].value = AttributeValue::ofString("AXApplication");
  app.attributes["AXWindows"].value = AttributeValue::ofElements({});
  elements_[key(applicationElement(pid))] = app;
  return p;
}

SimProcess* SimDesktop::process(std::int32_t pid) {
  auto it = processes_.find(pid);
  return it == processes_.end() ? nullptr : &it->second;
}

void SimDesktop::removeProcess(std::int32_t pid) {
  auto owner = owners_.find(pid);
  if (owner != owners_.end()) {
    for (auto& [k, e] : elements_)
      if (k.rfind(owner->second + "|", 0) == 0) e.valid = false;
    owners_.erase(owner);
  }
  processes_.erase(pid);
}

SimProcess& SimDesktop::restartProcess(std::int32_t pid, std::int32_t newPid) {
  SimProcess old = processes_.at(pid);
  removeProcess(pid);
  // Every process gets a start time of its own, so even the same pid is a new identity.
  return addProcess(newPid, old.app.bundleID, old.app.activationPolicy);
}

Element SimDesktop::applicationElement(std::int32_t pid) const {
  auto owner = owners_.find(pid);
  return Element{owner == owners_.end() ? ":sim.none." + std::to_string(pid) : owner->second,
                 "/app"};
}

Element SimDesktop::addElement(std::int32_t pid, const std::string& role,
                               std::optional<std::string> title) {
  Element e{owners_.at(pid), "/e" + std::to_string(nextPath_++)};
  SimElement& s = elements_[key(e)];
  s.pid = pid;
  s.attributes["AXRole"].value = AttributeValue::ofString(role);
  if (title) s.attributes["AXTitle"].value = AttributeValue::ofString(*title);
  return e;
}

Element SimDesktop::addWindow(std::int32_t pid, std::optional<std::string> title) {
  Element w = addElement(pid, "AXWindow", std::move(title));
  attribute(applicationElement(pid), "AXWindows").value.elements.push_back(w);
  return w;
}

void SimDesktop::removeWindow(std::int32_t pid, const Element& window) {
  auto& list = attribute(applicationElement(pid), "AXWindows").value.elements;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const Element& e) { return e.equals(window); }),
             list.end());
  invalidate(window);
}

void SimDesktop::addChild(const Element& parent, const Element& child) {
  SimAttribute& children = attribute(parent, "AXChildren");
  children.value.kind = AttributeValue::Kind::ElementArray;
  children.value.elements.push_back(child);
}

SimElement& SimDesktop::element(const Element& e) { return elements_.at(key(e)); }

SimAttribute& SimDesktop::attribute(const Element& e, const std::string& name) {
  return element(e).attributes[name];
}

void SimDesktop::setString(const Element& e, const std::string& name, std::string value) {
  SimAttribute& a = attribute(e, name);
  a.status = kAXErrorSuccess;
  a.value = AttributeValue::ofString(std::move(value));
}

void SimDesktop::setStatus(const Element& e, const std::string& name, AXError status) {
  attribute(e, name).status = status;
}

void SimDesktop::touch(const std::string& call) {
  ++calls[call];
  if (beforeCall) beforeCall(call);
}

SimElement* SimDesktop::find(const Element& e) {
  auto it = elements_.find(key(e));
  return it == elements_.end() ? nullptr : &it->second;
}

// --- Accessibility ---------------------------------------------------------------------

class SimAccessibility final : public Accessibility {
 public:
  explicit SimAccessibility(SimDesktop& d) : d_(d) {}

  bool isProcessTrusted() override {
    d_.touch("isProcessTrusted");
    return d_.trusted;
  }
  AXError setMessagingTimeout(float seconds) override {
    d_.touch("setMessagingTimeout");
    if (d_.timeoutStatus == kAXErrorSuccess) d_.messagingTimeout = seconds;
    return d_.timeoutStatus;
  }
  Element createApplication(std::int32_t pid) override {
    d_.touch("createApplication");
    return d_.applicationElement(pid);
  }

  AXError copyAttributeValue(const Element& e, const std::string& attribute,
                             AttributeValue& value) override {
    d_.touch("copyAttributeValue");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    auto it = s->attributes.find(attribute);
    if (it == s->attributes.end()) return kAXErrorAttributeUnsupported;
    if (it->second.status != kAXErrorSuccess) return it->second.status;
    value = it->second.value;
    return kAXErrorSuccess;
  }

  AXError getAttributeValueCount(const Element& e, const std::string& attribute,
                                 std::int64_t& count) override {
    d_.touch("getAttributeValueCount");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    auto it = s->attributes.find(attribute);
    if (it == s->attributes.end()) return kAXErrorAttributeUnsupported;
    const SimAttribute& a = it->second;
    if (a.countStatus != kAXErrorSuccess) return a.countStatus;
    if (a.status != kAXErrorSuccess) return a.status;
    if (a.countOverride) {
      count = *a.countOverride;
    } else if (a.value.kind == AttributeValue::Kind::ElementArray) {
      count = static_cast<std::int64_t>(a.value.elements.size());
    } else {
      return kAXErrorIllegalArgument;
    }
    return kAXErrorSuccess;
  }

  AXError copyAttributeValues(const Element& e, const std::string& attribute, std::int64_t index,
                              std::int64_t maxValues, AttributeValue& values) override {
    d_.touch("copyAttributeValues");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    auto it = s->attributes.find(attribute);
    if (it == s->attributes.end()) return kAXErrorAttributeUnsupported;
    const SimAttribute& a = it->second;
    if (a.valuesStatus != kAXErrorSuccess) return a.valuesStatus;
    if (a.valuesOverride) {
      values = *a.valuesOverride;
      return kAXErrorSuccess;
    }
    if (a.value.kind != AttributeValue::Kind::ElementArray) return kAXErrorIllegalArgument;
    const auto& all = a.value.elements;
    if (index < 0 || maxValues < 0 || index > static_cast<std::int64_t>(all.size()))
      return kAXErrorIllegalArgument;
    auto end = std::min<std::int64_t>(static_cast<std::int64_t>(all.size()), index + maxValues);
    values = AttributeValue::ofElements(
        std::vector<Element>(all.begin() + index, all.begin() + end));
    return kAXErrorSuccess;
  }

  AXError getPid(const Element& e, std::int32_t& pid) override {
    d_.touch("getPid");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    if (s->pidStatus != kAXErrorSuccess) return s->pidStatus;
    pid = s->pidOverride.value_or(s->pid);
    return kAXErrorSuccess;
  }

  AXError copyActionNames(const Element& e, std::vector<std::string>& names) override {
    d_.touch("copyActionNames");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    if (s->actionsStatus != kAXErrorSuccess) return s->actionsStatus;
    names = s->actions;
    return kAXErrorSuccess;
  }

  AXError isAttributeSettable(const Element& e, const std::string& attribute,
                              bool& settable) override {
    d_.touch("isAttributeSettable");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    auto it = s->attributes.find(attribute);
    if (it == s->attributes.end()) return kAXErrorAttributeUnsupported;
    if (it->second.settableStatus != kAXErrorSuccess) return it->second.settableStatus;
    settable = it->second.settable;
    return kAXErrorSuccess;
  }

  AXError setAttributeValue(const Element& e, const std::string& attribute,
                            const AttributeValue& value) override {
    d_.touch("setAttributeValue");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    auto it = s->attributes.find(attribute);
    if (it == s->attributes.end()) return kAXErrorAttributeUnsupported;
    if (!it->second.settable) return kAXErrorAttributeUnsupported;
    if (it->second.writeStatus != kAXErrorSuccess) return it->second.writeStatus;
    it->second.value = it->second.normalize ? it->second.normalize(value) : value;
    return kAXErrorSuccess;
  }

  void beginWalk(WalkReads reads) override {
    d_.touch(reads == WalkReads::everything ? "beginWalk(everyAttribute)" : "beginWalk");
    d_.walking = true;
  }
  void endWalk() override {
    d_.touch("endWalk");
    d_.walking = false;
  }

  AXError performAction(const Element& e, const std::string& action) override {
    d_.touch("performAction");
    SimElement* s = nullptr;
    if (AXError st = lookup(e, s)) return st;
    if (std::find(s->actions.begin(), s->actions.end(), action) == s->actions.end())
      return kAXErrorActionUnsupported;
    auto r = s->actionResults.find(action);
    if (r != s->actionResults.end() && r->second != kAXErrorSuccess) return r->second;
    s->performed.push_back(action);
    return kAXErrorSuccess;
  }

 private:
  // An element of a process that takes no part in accessibility cannot complete; one that
  // went away is invalid.
  AXError lookup(const Element& e, SimElement*& out) {
    out = d_.find(e);
    if (!out) return kAXErrorCannotComplete;
    if (!out->valid) return kAXErrorInvalidUIElement;
    SimProcess* p = d_.process(out->pid);
    if (p && !p->inAccessibility) return kAXErrorCannotComplete;
    return kAXErrorSuccess;
  }

  SimDesktop& d_;
};

// --- Workspace -------------------------------------------------------------------------

class SimWorkspace final : public Workspace {
 public:
  explicit SimWorkspace(SimDesktop& d) : d_(d) {}

  std::vector<RunningApplication> runningApplications() override {
    d_.touch("runningApplications");
    std::vector<RunningApplication> apps;
    for (auto& [pid, p] : d_.processes_) apps.push_back(p.app);
    return apps;
  }
  std::optional<RunningApplication> runningApplication(std::int32_t pid) override {
    d_.touch("runningApplication");
    SimProcess* p = d_.process(pid);
    if (!p) return std::nullopt;
    return p->app;
  }
  bool isTerminated(const RunningApplication& app) override {
    d_.touch("isTerminated");
    SimProcess* p = d_.process(app.pid);
    return !p || p->app.terminated;
  }
  std::optional<ProcessRecord> processRecord(std::int32_t pid) override {
    d_.touch("processRecord");
    SimProcess* p = d_.process(pid);
    if (!p || !p->recordReadable) return std::nullopt;
    return ProcessRecord{p->recordPid.value_or(pid), p->startSeconds, p->startMicroseconds};
  }
  bool preflightScreenCaptureAccess() override {
    d_.touch("preflightScreenCaptureAccess");
    return d_.screenCaptureAllowed;
  }

 private:
  SimDesktop& d_;
};

namespace {

class ClockRef final : public Clock {
 public:
  explicit ClockRef(TestClock& c) : c_(c) {}
  double uptime() const override { return c_.uptime(); }

 private:
  TestClock& c_;
};

}  // namespace

Platform SimDesktop::platform(TestClock& clock) {
  Platform p;
  p.accessibility = std::make_unique<SimAccessibility>(*this);
  p.workspace = std::make_unique<SimWorkspace>(*this);
  p.clock = std::make_unique<ClockRef>(clock);
  p.windowServer = windowServer.backend(clock);
  p.screenCapture = screenCapture.backend(screenCaptureAllowed);
  return p;
}

}  // namespace velmaris::platform::sim
