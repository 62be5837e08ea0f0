// Applications' own peer-to-peer connections. Every AT-SPI application also listens on a
// private socket (GetApplicationBusAddress); calls over it skip the bus daemon's routing,
// which halves a round trip. A peer is used only when its address is a plain socket and
// the process at its other end is the one the bus names, and the bus stays the fallback.
#include <cstring>
#include <string_view>

#include "platform/linux/atspi_bus.h"

namespace velmaris::platform::linux_desktop {
namespace {

// Peers are few (one per application spoken to); those of applications that went away are
// dropped wholesale now and then.
constexpr std::size_t kMaxPeers = 64;

// Only socket addresses: sd-bus would also start a program for a "unixexec:" address, and
// the address comes from the application.
bool plainSocketAddress(std::string_view address) {
  if (address.find(';') != std::string_view::npos) return false;
  return address.rfind("unix:path=", 0) == 0 || address.rfind("unix:abstract=", 0) == 0;
}

void closeConnection(sd_bus* connection) {
  if (!connection) return;
  sd_bus_close(connection);
  sd_bus_unref(connection);
}

}  // namespace

void AccessibilityBus::closePeers() {
  forgetKeptReplies();  // calls still out hold their connection
  for (auto& [name, peer] : peers_) closeConnection(peer);
  peers_.clear();
}

void AccessibilityBus::dropPeer(const std::string& destination) {
  auto found = peers_.find(destination);
  if (found == peers_.end()) return;
  forgetKeptReplies();
  closeConnection(found->second);
  // Not asked again: an application whose connection broke is usually gone.
  found->second = nullptr;
}

sd_bus* AccessibilityBus::peerFor(const std::string& destination) {
  if (destination.empty() || destination[0] != ':') return nullptr;
  if (auto found = peers_.find(destination); found != peers_.end()) return found->second;
  if (!connection()) return nullptr;
  if (peers_.size() >= kMaxPeers) closePeers();
  peers_[destination] = nullptr;  // whatever happens below, asked once

  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus_, &raw, destination.c_str(), kRootPath,
                                     "org.a11y.atspi.Application",
                                     "GetApplicationBusAddress") < 0)
    return nullptr;
  BusMessage call(raw);
  sd_bus_message_set_auto_start(raw, 0);
  BusMessage reply;
  if (finish(call.release(), reply) != kAXErrorSuccess) return nullptr;
  std::string address;
  if (!readString(reply, address) || !plainSocketAddress(address)) return nullptr;

  std::int32_t expectedPid = 0;
  if (connectionPid(destination, expectedPid) != kAXErrorSuccess) return nullptr;
  sd_bus* peer = nullptr;
  if (sd_bus_new(&peer) < 0) return nullptr;
  sd_bus_creds* creds = nullptr;
  pid_t actualPid = 0;
  // Set-up counts as one more call to the application: a silent socket costs one timeout,
  // then the bus serves the application.
  const bool ok = sd_bus_set_address(peer, address.c_str()) >= 0 &&
                  startWithin(peer, timeoutUsec_) &&
                  sd_bus_get_owner_creds(peer, SD_BUS_CREDS_PID, &creds) >= 0 &&
                  sd_bus_creds_get_pid(creds, &actualPid) >= 0 && actualPid == expectedPid;
  sd_bus_creds_unref(creds);
  if (!ok) {
    closeConnection(peer);
    return nullptr;
  }
  peers_[destination] = peer;
  return peer;
}

}  // namespace velmaris::platform::linux_desktop
