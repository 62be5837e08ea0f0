// The connection to the AT-SPI accessibility bus and what its answers mean as statuses.
// Owns the sd-bus connection (found through the session bus), gives every call the
// messaging timeout, and reconnects after the bus went away. Used from one thread at a time.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <systemd/sd-bus.h>

#include "platform/status.h"

namespace velmaris::platform::linux_desktop {

// Microseconds of the monotonic clock. The coarse one (a few milliseconds of resolution)
// costs no call into the kernel: enough for the one-second bounds of replies and items
// checked on every read.
std::uint64_t monotonicUsec();
std::uint64_t coarseUsec();

struct BusMessageUnref {
  void operator()(sd_bus_message* m) const noexcept { sd_bus_message_unref(m); }
};
using BusMessage = std::unique_ptr<sd_bus_message, BusMessageUnref>;

// An sd_bus_error that frees itself.
class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  sd_bus_error* get() { return &error_; }
  const sd_bus_error& ref() const { return error_; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

// The status a failed call means: `result` is sd-bus's negative errno, `error` the D-Bus error
// the peer (or sd-bus itself) named, if any.
AXError statusForBusError(int result, const sd_bus_error& error);

// Starts `bus` (its address already set) and drives authentication, and on a bus the Hello
// exchange, until the connection is ready or `timeoutUsec` has passed. sd-bus alone would
// wait up to 90 s in the first call for a peer that accepted the socket and went silent.
bool startWithin(sd_bus* bus, std::uint64_t timeoutUsec);

// An object on the bus: a connection's unique name and an object path.
struct BusObject {
  std::string owner;
  std::string path;
};

inline constexpr const char* kAccessibleInterface = "org.a11y.atspi.Accessible";
inline constexpr const char* kActionInterface = "org.a11y.atspi.Action";
inline constexpr const char* kComponentInterface = "org.a11y.atspi.Component";
inline constexpr const char* kValueInterface = "org.a11y.atspi.Value";
inline constexpr const char* kTextInterface = "org.a11y.atspi.Text";
inline constexpr const char* kEditableTextInterface = "org.a11y.atspi.EditableText";
inline constexpr const char* kRootPath = "/org/a11y/atspi/accessible/root";
inline constexpr const char* kNullPath = "/org/a11y/atspi/null";

struct ReadAheadBatch;
struct KeptReplies;

class AccessibilityBus {
 public:
  AccessibilityBus();
  ~AccessibilityBus();
  AccessibilityBus(const AccessibilityBus&) = delete;
  AccessibilityBus& operator=(const AccessibilityBus&) = delete;

  void setTimeout(std::uint64_t microseconds) { timeoutUsec_ = microseconds; }
  std::uint64_t timeout() const { return timeoutUsec_; }

  // Calls `member`; `types` and the arguments that follow are as sd_bus_message_append takes
  // them. Calls to unique names never start a service.
  AXError call(const std::string& destination, const std::string& path, const char* interface,
               const char* member, BusMessage& reply, const char* types = nullptr, ...);
  // Reads a property; on success `reply` is positioned at the value inside its variant,
  // which must have the D-Bus signature `type`.
  AXError property(const std::string& destination, const std::string& path,
                   const char* interface, const char* name, const char* type, BusMessage& reply);
  // Writes a property whose value is one basic value of signature `type`.
  AXError setProperty(const std::string& destination, const std::string& path,
                      const char* interface, const char* name, const char* type, ...);

  // The applications the registry lists (their root objects), in its order.
  AXError registeredApplications(std::vector<BusObject>& applications);
  // The list registeredApplications read last, if it was read at most `maxAgeUsec` ago.
  const std::vector<BusObject>* recentApplications(std::uint64_t maxAgeUsec) const;
  // The process id behind a connection of the accessibility bus. Unique names are never
  // reused and a connection never changes its process, so answers are kept.
  AXError connectionPid(const std::string& uniqueName, std::int32_t& pid);

  // Sends the batches' calls, to objects of the application `destination`, all at once and
  // keeps their replies for the reads that follow (atspi_prefetch.h says for how long).
  void readAhead(const std::string& destination, std::vector<ReadAheadBatch>& batches);
  // -1: nothing is kept for the object; 0: its structure reads are; 1: also its attribute
  // reads.
  int keptLevel(const std::string& destination, const std::string& path);
  void forgetKeptReplies();

 private:
  // The application's own peer-to-peer connection (atspi_peers.cpp), or nullptr to go
  // through the bus.
  sd_bus* peerFor(const std::string& destination);
  void dropPeer(const std::string& destination);
  void closePeers();
  // Serves a call from the kept replies when it can; ends them when the call is for another
  // object or changes something.
  bool keptReply(const std::string& destination, const std::string& path, const char* interface,
                 const char* member, const char* types, va_list args, BusMessage& reply,
                 AXError& status);
  sd_bus* connection();
  void disconnect();
  void drainStaleReplies(sd_bus* via = nullptr);
  AXError finish(sd_bus_message* message, BusMessage& reply, sd_bus* via = nullptr);

  sd_bus* bus_ = nullptr;
  std::uint64_t timeoutUsec_ = 250000;
  std::unordered_map<std::string, std::int32_t> pids_;
  std::vector<BusObject> lastApplications_;
  std::uint64_t lastApplicationsUsec_ = 0;  // when they were read; 0: not kept
  std::unique_ptr<KeptReplies> kept_;
  std::unordered_map<std::string, sd_bus*> peers_;  // by unique name; nullptr: none offered
};

// Reads a value of basic type from `reply`; false when the reply does not hold one.
bool readBasic(BusMessage& reply, char type, void* out);
bool readString(BusMessage& reply, std::string& out);
// Reads an "(so)" object reference.
bool readObject(BusMessage& reply, BusObject& out);
// Reads an "a(so)" array of object references.
bool readObjectArray(BusMessage& reply, std::vector<BusObject>& out);

}  // namespace velmaris::platform::linux_desktop
