// The accessibility bus connection: finding the bus, calling with a timeout, and the one
// table that turns D-Bus errors into statuses.
#include "platform/linux/atspi_bus.h"

#include "platform/linux/atspi_prefetch.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace velmaris::platform::linux_desktop {
namespace {

// Finding the bus may start its launcher on the session bus; that alone gets longer than a
// call to an application. The whole lookup, session connection included, fits in it.
constexpr std::uint64_t kConnectTimeoutUsec = 1000000;
// Replies that came after their call timed out wait in sd-bus's read queue until dropped.
constexpr int kMaxDrainedMessages = 4096;

struct BusClose {
  void operator()(sd_bus* bus) const noexcept {
    sd_bus_close(bus);
    sd_bus_unref(bus);
  }
};
using OwnedBus = std::unique_ptr<sd_bus, BusClose>;

struct ErrorStatus {
  const char* name;
  AXError status;
};

// D-Bus error names and what they mean for the element asked about.
constexpr ErrorStatus kErrorStatuses[] = {
    // The object or the whole application is gone.
    {"org.freedesktop.DBus.Error.UnknownObject", kAXErrorInvalidUIElement},
    {"org.freedesktop.DBus.Error.ServiceUnknown", kAXErrorInvalidUIElement},
    {"org.freedesktop.DBus.Error.NameHasNoOwner", kAXErrorInvalidUIElement},
    {"org.freedesktop.DBus.Error.Disconnected", kAXErrorInvalidUIElement},
    // The application is hung or busy.
    {"org.freedesktop.DBus.Error.NoReply", kAXErrorCannotComplete},
    {"org.freedesktop.DBus.Error.Timeout", kAXErrorCannotComplete},
    {"org.freedesktop.DBus.Error.TimedOut", kAXErrorCannotComplete},
    // The object does not have what was asked. at-spi2-atk answers UnknownMethod for a
    // method of an interface the object does not implement.
    {"org.freedesktop.DBus.Error.UnknownProperty", kAXErrorAttributeUnsupported},
    {"org.freedesktop.DBus.Error.UnknownInterface", kAXErrorAttributeUnsupported},
    {"org.freedesktop.DBus.Error.UnknownMethod", kAXErrorAttributeUnsupported},
};

// Drives a started connection until it is ready or `untilUsec` (monotonic) has passed.
bool awaitReady(sd_bus* bus, std::uint64_t untilUsec) {
  for (;;) {
    int r = sd_bus_is_ready(bus);
    if (r != 0) return r > 0;
    r = sd_bus_process(bus, nullptr);
    if (r < 0) return false;
    if (r > 0) continue;
    const std::uint64_t now = monotonicUsec();
    if (now >= untilUsec) return false;
    if (sd_bus_wait(bus, untilUsec - now) < 0) return false;
  }
}

bool connectionLost(int result) {
  return result == -ENOTCONN || result == -ECONNRESET || result == -EPIPE ||
         result == -ESHUTDOWN || result == -ECONNREFUSED || result == -ENOENT;
}

// The accessibility bus's address: AT_SPI_BUS_ADDRESS when set (as every AT-SPI client
// honours it), else what the bus launcher on the session bus answers.
bool accessibilityBusAddress(std::string& address) {
  if (const char* env = std::getenv("AT_SPI_BUS_ADDRESS"); env && *env) {
    address = env;
    return true;
  }
  const std::uint64_t until = monotonicUsec() + kConnectTimeoutUsec;
  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) return false;
  OwnedBus session(raw);
  if (!awaitReady(session.get(), until)) return false;
  sd_bus_message* rawCall = nullptr;
  if (sd_bus_message_new_method_call(session.get(), &rawCall, "org.a11y.Bus", "/org/a11y/bus",
                                     "org.a11y.Bus", "GetAddress") < 0) {
    return false;
  }
  BusMessage call(rawCall);
  BusError error;
  sd_bus_message* rawReply = nullptr;
  const std::uint64_t now = monotonicUsec();
  if (now >= until) return false;
  if (sd_bus_call(session.get(), call.get(), until - now, error.get(), &rawReply) < 0) {
    return false;
  }
  BusMessage reply(rawReply);
  return readString(reply, address) && !address.empty();
}

}  // namespace

std::uint64_t monotonicUsec() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

std::uint64_t coarseUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::uint64_t(now.tv_sec) * 1000000 + std::uint64_t(now.tv_nsec) / 1000;
}

bool startWithin(sd_bus* bus, std::uint64_t timeoutUsec) {
  const std::uint64_t until = monotonicUsec() + timeoutUsec;
  return sd_bus_start(bus) >= 0 && awaitReady(bus, until);
}

AXError statusForBusError(int result, const sd_bus_error& error) {
  if (sd_bus_error_is_set(&error)) {
    for (const auto& entry : kErrorStatuses) {
      if (std::strcmp(error.name, entry.name) == 0) return entry.status;
    }
    return kAXErrorFailure;
  }
  if (result == -ETIMEDOUT) return kAXErrorCannotComplete;
  if (connectionLost(result)) return kAXErrorCannotComplete;
  return kAXErrorFailure;
}

AccessibilityBus::AccessibilityBus() = default;
AccessibilityBus::~AccessibilityBus() { disconnect(); }

void AccessibilityBus::disconnect() {
  forgetKeptReplies();
  closePeers();
  if (bus_) BusClose{}(bus_);
  bus_ = nullptr;
}

sd_bus* AccessibilityBus::connection() {
  if (bus_ && sd_bus_is_open(bus_) > 0) return bus_;
  disconnect();
  std::string address;
  if (!accessibilityBusAddress(address)) return nullptr;
  sd_bus* raw = nullptr;
  if (sd_bus_new(&raw) < 0) return nullptr;
  OwnedBus bus(raw);
  if (sd_bus_set_address(bus.get(), address.c_str()) < 0) return nullptr;
  if (sd_bus_set_bus_client(bus.get(), 1) < 0) return nullptr;
  // A bus that takes the connection and then says nothing costs what a silent application
  // costs: one messaging timeout.
  if (!startWithin(bus.get(), timeoutUsec_)) return nullptr;
  bus_ = bus.release();
  return bus_;
}

void AccessibilityBus::drainStaleReplies(sd_bus* via) {
  if (!via) via = bus_;
  std::uint64_t queued = 0;
  if (sd_bus_get_n_queued_read(via, &queued) < 0 || queued == 0) return;
  for (int i = 0; i < kMaxDrainedMessages; i++) {
    if (sd_bus_process(via, nullptr) <= 0) break;
  }
}

AXError AccessibilityBus::finish(sd_bus_message* message, BusMessage& reply, sd_bus* via) {
  if (!via) via = bus_;
  BusMessage owned(message);
  BusError error;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_call(via, owned.get(), timeoutUsec_, error.get(), &raw);
  reply.reset(raw);
  if (r >= 0) return kAXErrorSuccess;
  // A lost peer connection is the caller's to handle; the bus itself is reconnected.
  if (via == bus_ && (connectionLost(r) || sd_bus_is_open(bus_) <= 0)) disconnect();
  return statusForBusError(r, error.ref());
}

AXError AccessibilityBus::call(const std::string& destination, const std::string& path,
                               const char* interface, const char* member, BusMessage& reply,
                               const char* types, ...) {
  reply.reset();
  if (!connection()) return kAXErrorCannotComplete;
  {
    va_list ap;
    va_start(ap, types);
    AXError status = kAXErrorSuccess;
    const bool served = keptReply(destination, path, interface, member, types, ap, reply, status);
    va_end(ap);
    if (served) return status;
  }
  // An application's own connection when it offers one; when that connection is lost, a
  // read goes again through the bus, which knows whether the application is gone.
  for (sd_bus* via = peerFor(destination);; via = nullptr) {
    sd_bus* target = via ? via : bus_;
    if (!target) return kAXErrorCannotComplete;
    drainStaleReplies(target);
    sd_bus_message* message = nullptr;
    if (sd_bus_message_new_method_call(target, &message, destination.c_str(), path.c_str(),
                                       interface, member) < 0) {
      return kAXErrorFailure;
    }
    BusMessage owned(message);
    if (!destination.empty() && destination[0] == ':') sd_bus_message_set_auto_start(message, 0);
    if (types) {
      va_list ap;
      va_start(ap, types);
      int r = sd_bus_message_appendv(message, types, ap);
      va_end(ap);
      if (r < 0) return kAXErrorIllegalArgument;
    }
    AXError status = finish(owned.release(), reply, target);
    if (!via || sd_bus_is_open(via) > 0) return status;
    dropPeer(destination);
    if (!isReadOnlyCall(interface, member)) return status;
    if (!connection()) return kAXErrorCannotComplete;
  }
}

AXError AccessibilityBus::property(const std::string& destination, const std::string& path,
                                   const char* interface, const char* name, const char* type,
                                   BusMessage& reply) {
  AXError status = call(destination, path, "org.freedesktop.DBus.Properties", "Get", reply,
                        "ss", interface, name);
  if (status != kAXErrorSuccess) return status;
  if (sd_bus_message_enter_container(reply.get(), 'v', type) <= 0) return kAXErrorFailure;
  return kAXErrorSuccess;
}

AXError AccessibilityBus::setProperty(const std::string& destination, const std::string& path,
                                      const char* interface, const char* name, const char* type,
                                      ...) {
  forgetKeptReplies();
  if (!connection()) return kAXErrorCannotComplete;
  drainStaleReplies();
  sd_bus_message* message = nullptr;
  if (sd_bus_message_new_method_call(bus_, &message, destination.c_str(), path.c_str(),
                                     "org.freedesktop.DBus.Properties", "Set") < 0) {
    return kAXErrorFailure;
  }
  BusMessage owned(message);
  if (!destination.empty() && destination[0] == ':') sd_bus_message_set_auto_start(message, 0);
  if (sd_bus_message_append(message, "ss", interface, name) < 0 ||
      sd_bus_message_open_container(message, 'v', type) < 0) {
    return kAXErrorFailure;
  }
  va_list ap;
  va_start(ap, type);
  int r = sd_bus_message_appendv(message, type, ap);
  va_end(ap);
  if (r < 0 || sd_bus_message_close_container(message) < 0) return kAXErrorIllegalArgument;
  BusMessage reply;
  return finish(owned.release(), reply);
}

const std::vector<BusObject>* AccessibilityBus::recentApplications(
    std::uint64_t maxAgeUsec) const {
  if (lastApplicationsUsec_ == 0 || monotonicUsec() - lastApplicationsUsec_ > maxAgeUsec)
    return nullptr;
  return &lastApplications_;
}

AXError AccessibilityBus::registeredApplications(std::vector<BusObject>& applications) {
  applications.clear();
  lastApplicationsUsec_ = 0;
  BusMessage reply;
  AXError status = call("org.a11y.atspi.Registry", kRootPath, kAccessibleInterface,
                        "GetChildren", reply);
  if (status != kAXErrorSuccess) return status;
  if (!readObjectArray(reply, applications)) return kAXErrorFailure;
  lastApplications_ = applications;
  lastApplicationsUsec_ = monotonicUsec();
  return kAXErrorSuccess;
}

AXError AccessibilityBus::connectionPid(const std::string& uniqueName, std::int32_t& pid) {
  if (auto found = pids_.find(uniqueName); found != pids_.end()) {
    pid = found->second;
    return kAXErrorSuccess;
  }
  BusMessage reply;
  AXError status = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "GetConnectionUnixProcessID", reply, "s", uniqueName.c_str());
  if (status != kAXErrorSuccess) return status;
  std::uint32_t value = 0;
  if (!readBasic(reply, 'u', &value)) return kAXErrorFailure;
  // Bounded: names of connections that have gone are dropped wholesale now and then.
  if (pids_.size() >= 4096) pids_.clear();
  pid = static_cast<std::int32_t>(value);
  pids_.emplace(uniqueName, pid);
  return kAXErrorSuccess;
}

bool readBasic(BusMessage& reply, char type, void* out) {
  return reply && sd_bus_message_read_basic(reply.get(), type, out) > 0;
}

bool readString(BusMessage& reply, std::string& out) {
  const char* s = nullptr;
  if (!readBasic(reply, 's', &s) || !s) return false;
  out = s;
  return true;
}

bool readObject(BusMessage& reply, BusObject& out) {
  const char* owner = nullptr;
  const char* path = nullptr;
  if (!reply || sd_bus_message_read(reply.get(), "(so)", &owner, &path) <= 0) return false;
  out.owner = owner;
  out.path = path;
  return true;
}

bool readObjectArray(BusMessage& reply, std::vector<BusObject>& out) {
  out.clear();
  if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(so)") <= 0) return false;
  for (;;) {
    const char* owner = nullptr;
    const char* path = nullptr;
    int r = sd_bus_message_read(reply.get(), "(so)", &owner, &path);
    if (r < 0) return false;
    if (r == 0) break;
    out.push_back({owner, path});
  }
  return sd_bus_message_exit_container(reply.get()) >= 0;
}

}  // namespace velmaris::platform::linux_desktop
