// Sending elements' reads ahead and serving the kept replies: the bus side of reading
// elements in one round trip. Replies are matched to later calls by object, member and
// arguments, and handed out rewound, so each reader sees the reply from its start.
#include "platform/linux/atspi_prefetch.h"

#include <cstring>

namespace velmaris::platform::linux_desktop {
namespace {

constexpr const char* kReadOnlyMembers[] = {
    "GetState",   "GetRole",    "GetInterfaces", "GetChildren",   "GetChildAtIndex",
    "GetIndexInParent", "GetName", "GetExtents", "GetText", "GetAttributes",
    "GetApplicationBusAddress", "GetConnectionUnixProcessID", "GetActions"};

int onReadAheadReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* entry = static_cast<KeptReplies::Entry*>(userdata);
  entry->answered = true;
  if (sd_bus_message_is_method_error(message, nullptr)) {
    entry->status = statusForBusError(0, *sd_bus_message_get_error(message));
  } else {
    entry->reply.reset(sd_bus_message_ref(message));
  }
  return 0;
}

// Takes replies in until `entry`'s has come; false when it will not (the connection broke,
// which ends the run, or the wait ran past the call's timeout).
bool awaitReply(KeptReplies& kept, KeptReplies::Entry& entry) {
  while (!entry.answered) {
    sd_bus* via = kept.via;
    int r = sd_bus_process(via, nullptr);
    if (r < 0) {
      kept.clear();
      return false;
    }
    if (r > 0) continue;
    const std::uint64_t now = monotonicUsec();
    if (now >= entry.deadlineUsec) return false;
    if (sd_bus_wait(via, entry.deadlineUsec - now) < 0) {
      kept.clear();
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

bool same(const char* a, const char* b) {
  if (a == b) return true;
  return a && b && std::strcmp(a, b) == 0;
}

bool noArguments(const char* types) { return types == nullptr || *types == '\0'; }

}  // namespace

bool keptShape(const ReadAhead& call) {
  const char* types = call.types;
  if (noArguments(types)) return true;
  if (std::strcmp(types, "ss") == 0) return call.first && call.second;
  return std::strcmp(types, "u") == 0 || std::strcmp(types, "i") == 0 ||
         std::strcmp(types, "ii") == 0;
}

// Compared member first: it tells most calls of one object apart at its first letters.
bool sameCall(const ReadAhead& kept, const ReadAhead& call) {
  if (!same(kept.member, call.member) || !same(kept.interface, call.interface)) return false;
  if (noArguments(kept.types) || noArguments(call.types))
    return noArguments(kept.types) && noArguments(call.types);
  if (!same(kept.types, call.types)) return false;
  if (std::strcmp(kept.types, "ss") == 0)
    return same(kept.second, call.second) && same(kept.first, call.first);
  return kept.a == call.a && kept.b == call.b;
}

bool isReadOnlyCall(const char* interface, const char* member) {
  if (std::strcmp(interface, "org.freedesktop.DBus.Properties") == 0)
    return std::strcmp(member, "Get") == 0;
  for (const char* name : kReadOnlyMembers)
    if (std::strcmp(member, name) == 0) return true;
  return false;
}

void AccessibilityBus::forgetKeptReplies() {
  if (kept_) kept_->clear();
}

int AccessibilityBus::keptLevel(const std::string& destination, const std::string& path) {
  if (!kept_ || kept_->owner.empty()) return -1;
  if (coarseUsec() - kept_->startedUsec >= KeptReplies::kMaxRunUsec) {
    kept_->clear();
    return -1;
  }
  if (kept_->owner != destination) return -1;
  auto found = kept_->objects.find(path);
  if (found == kept_->objects.end()) return -1;
  return found->second.attributes ? 1 : 0;
}

bool AccessibilityBus::keptReply(const std::string& destination, const std::string& path,
                                 const char* interface, const char* member, const char* types,
                                 va_list args, BusMessage& reply, AXError& status) {
  if (!kept_ || kept_->owner.empty()) return false;
  if (!isReadOnlyCall(interface, member) || kept_->owner != destination ||
      coarseUsec() - kept_->startedUsec >= KeptReplies::kMaxRunUsec) {
    kept_->clear();
    return false;
  }
  // A read of an object not read ahead asks the application and leaves the run as it is:
  // ending it would throw away the replies still coming for the rest of the walk (a closed
  // menu's check reads its first item's state; LibreOffice 7.4 has dozens).
  auto object = kept_->objects.find(path);
  if (object == kept_->objects.end()) return false;
  ReadAhead call{interface, member, types};
  if (types && std::strcmp(types, "ss") == 0) {
    call.first = va_arg(args, const char*);
    call.second = va_arg(args, const char*);
  } else if (types && std::strcmp(types, "u") == 0) {
    call.a = va_arg(args, std::uint32_t);
  } else if (types && std::strcmp(types, "i") == 0) {
    call.a = va_arg(args, std::int32_t);
  } else if (types && std::strcmp(types, "ii") == 0) {
    call.a = va_arg(args, std::int32_t);
    call.b = va_arg(args, std::int32_t);
  }
  if (!keptShape(call)) return false;
  for (auto& kept : object->second.entries) {
    KeptReplies::Entry& entry = *kept;
    if (!sameCall(entry.call, call)) continue;
    // A reply that did not come in time is asked for again, with a timeout of its own: a busy
    // application answers a long run of reads later than one read, and a hung one costs
    // one more timeout before the walk fails.
    if (!awaitReply(*kept_, entry) || entry.status == kAXErrorCannotComplete) {
      kept_->clear();
      return false;
    }
    status = entry.status;
    if (!entry.reply) return true;
    if (sd_bus_message_rewind(entry.reply.get(), 1) < 0) return false;
    reply.reset(sd_bus_message_ref(entry.reply.get()));
    return true;
  }
  return false;
}

void AccessibilityBus::readAhead(const std::string& destination,
                                 std::vector<ReadAheadBatch>& batches) {
  if (!kept_) kept_ = std::make_unique<KeptReplies>();
  if (batches.empty() || !connection()) return;
  sd_bus* peer = peerFor(destination);
  sd_bus* via = peer ? peer : bus_;
  const std::uint64_t start = monotonicUsec();
  if (kept_->owner != destination || kept_->via != via ||
      coarseUsec() - kept_->startedUsec >= KeptReplies::kMaxRunUsec) {
    kept_->clear();
    kept_->owner = destination;
    kept_->via = via;
    kept_->startedUsec = coarseUsec();
  }

  // Each call carries the messaging timeout; sd-bus answers one that ran out with a
  // timeout error, and a read waiting for it stops waiting a little after.
  const std::uint64_t deadline = start + timeoutUsec_ + 10000;
  for (const auto& batch : batches) {
    auto& object = kept_->objects[batch.path];
    object.attributes = object.attributes || batch.attributes;
    for (const ReadAhead& call : batch.calls) {
      if (!keptShape(call)) continue;
      sd_bus_message* raw = nullptr;
      if (sd_bus_message_new_method_call(via, &raw, destination.c_str(), batch.path.c_str(),
                                         call.interface, call.member) < 0)
        continue;
      BusMessage message(raw);
      if (!destination.empty() && destination[0] == ':') sd_bus_message_set_auto_start(raw, 0);
      int r = 0;
      if (call.types && std::strcmp(call.types, "ss") == 0)
        r = sd_bus_message_append(raw, "ss", call.first, call.second);
      else if (call.types && std::strcmp(call.types, "u") == 0)
        r = sd_bus_message_append(raw, "u", static_cast<std::uint32_t>(call.a));
      else if (call.types && std::strcmp(call.types, "i") == 0)
        r = sd_bus_message_append(raw, "i", static_cast<std::int32_t>(call.a));
      else if (call.types && std::strcmp(call.types, "ii") == 0)
        r = sd_bus_message_append(raw, "ii", static_cast<std::int32_t>(call.a),
                                  static_cast<std::int32_t>(call.b));
      if (r < 0) continue;
      auto entry = std::make_unique<KeptReplies::Entry>();
      entry->call = call;
      entry->deadlineUsec = deadline;
      if (sd_bus_call_async(via, &entry->slot, raw, onReadAheadReply, entry.get(),
                            timeoutUsec_) < 0)
        continue;
      object.entries.push_back(std::move(entry));
    }
  }
}

}  // namespace velmaris::platform::linux_desktop
