// Reading one element's AT-SPI answers together: the calls a read of an element is about to
// make are sent at once, so that they cost one round trip instead of one each, and their
// replies serve the reads that follow. Used from the bus's one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/atspi_bus.h"

namespace velmaris::platform::linux_desktop {

// A read sent ahead: a method without arguments or with the arguments of one of the shapes
// "s", "ss" (strings `first`, `second`), "u" (`a`) or "ii" (`a`, `b`).
struct ReadAhead {
  const char* interface;
  const char* member;
  const char* types = nullptr;
  const char* first = nullptr;
  const char* second = nullptr;
  std::int64_t a = 0;
  std::int64_t b = 0;
};

// Replies kept for one object. They answer only an uninterrupted run of reads of that object:
// a call to any other object, a call that changes something, or `kMaxReplyAgeUsec` ends
// them. So nothing read before a request is ever served to it, and nothing read before a
// write is served after it.
struct KeptReplies {
  static constexpr std::uint64_t kMaxReplyAgeUsec = 50000;

  struct Entry {
    std::string key;
    AXError status = kAXErrorSuccess;
    BusMessage reply;
  };
  std::string owner;
  std::string path;
  std::uint64_t takenUsec = 0;
  std::vector<Entry> entries;

  void clear() {
    owner.clear();
    path.clear();
    entries.clear();
  }
};

// The key of a call as kept: member and arguments; empty when calls of that shape are not
// kept.
std::string readAheadKey(const ReadAhead& call);

// Whether a method only reads; any other call ends the kept replies.
bool isReadOnlyCall(const char* interface, const char* member);

}  // namespace velmaris::platform::linux_desktop
