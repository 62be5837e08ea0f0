// Reading elements' AT-SPI answers ahead: the calls that visiting an element is about to
// make are sent together, for one element or for all the children just listed, so that
// they cost one round trip instead of one each, and their replies serve the reads that
// follow. Used from the bus's one thread.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
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

// The reads sent ahead for one object. `attributes` says they include those only reading
// the object's attributes needs.
struct ReadAheadBatch {
  std::string path;
  std::vector<ReadAhead> calls;
  bool attributes = false;
};

// The replies of one run of reads, within one walk of an element tree (reads outside a walk
// are never read ahead). A run serves read-only calls to the objects read ahead in it and
// nothing else: the walk's end, a call to any other object, a call that changes something,
// or `kMaxRunUsec` ends it. So nothing read before a write, or in an earlier walk, is ever
// served.
struct KeptReplies {
  static constexpr std::uint64_t kMaxRunUsec = 1000000;

  struct Entry {
    std::string key;
    AXError status = kAXErrorSuccess;
    BusMessage reply;
  };
  struct Object {
    std::vector<Entry> entries;
    bool attributes = false;
  };
  std::string owner;  // one application per run
  std::uint64_t startedUsec = 0;
  std::unordered_map<std::string, Object> objects;  // by path

  void clear() {
    owner.clear();
    objects.clear();
  }
};

// The key of a call as kept: member and arguments; empty when calls of that shape are not
// kept.
std::string readAheadKey(const ReadAhead& call);

// Whether a method only reads; any other call ends the run.
bool isReadOnlyCall(const char* interface, const char* member);

}  // namespace velmaris::platform::linux_desktop
