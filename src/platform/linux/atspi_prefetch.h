// Reading elements' AT-SPI answers ahead: the calls that visiting an element is about to
// make are sent together, for one element or for all the children just listed, so that
// they cost one round trip instead of one each, and their replies serve the reads that
// follow. Used from the bus's one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/atspi_bus.h"

namespace velmaris::platform::linux_desktop {

// A read sent ahead: a method without arguments or with the arguments of one of the shapes
// "ss" (strings `first`, `second`), "i" or "u" (`a`) or "ii" (`a`, `b`). Its strings are
// the backend's constants: they outlive every run.
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
// are never read ahead). The calls go out at once and their replies are taken as they come:
// a read waits only for the reply it needs, so the application answers the next elements'
// calls while the walk works on the first. A run serves read-only calls to the objects read
// ahead in it and nothing else (a read of another object of the same application asks it):
// the walk's end, a call to another application, a call that changes something, or
// `kMaxRunUsec` ends it, and a call still out is then forgotten. So nothing read before a
// write, or in an earlier walk, is ever served.
struct KeptReplies {
  static constexpr std::uint64_t kMaxRunUsec = 1000000;

  struct Entry {
    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() { sd_bus_slot_unref(slot); }  // forgets a call still out

    ReadAhead call;
    bool answered = false;
    AXError status = kAXErrorSuccess;
    BusMessage reply;
    sd_bus_slot* slot = nullptr;
    std::uint64_t deadlineUsec = 0;
  };
  struct Object {
    std::vector<std::unique_ptr<Entry>> entries;  // the replies' callbacks hold their addresses
    bool attributes = false;
  };
  std::string owner;     // one application per run
  sd_bus* via = nullptr;  // the connection its calls went out on
  std::uint64_t startedUsec = 0;
  std::unordered_map<std::string, Object> objects;  // by path

  void clear() {
    owner.clear();
    via = nullptr;
    objects.clear();
  }
};

// Whether calls of this shape are kept.
bool keptShape(const ReadAhead& call);
// Whether a call asks what a kept one asked: the same method with the same arguments.
bool sameCall(const ReadAhead& kept, const ReadAhead& call);

// Whether a method only reads; any other call ends the run.
bool isReadOnlyCall(const char* interface, const char* member);

}  // namespace velmaris::platform::linux_desktop
