// Choosing one running process for an application key, among candidates of any type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gui/failure.h"

namespace velmaris::gui {

// A process pinned by its pid and kernel start time, so a reused pid is never mistaken
// for the process that was observed.
struct ProcessIdentity {
  std::string bundleID;
  std::int32_t pid = 0;
  std::uint64_t startSeconds = 0;
  std::uint64_t startMicroseconds = 0;

  bool operator==(const ProcessIdentity&) const = default;
};

// One regular candidate wins over any number of others; without a regular one, a single
// candidate of any kind is taken. Anything else is ambiguous.
template <typename Candidate, typename IsRegular>
Candidate uniqueGUIProcess(const std::vector<Candidate>& candidates, IsRegular isRegular) {
  if (candidates.empty()) raise("process_not_found");
  std::vector<const Candidate*> regular;
  for (const Candidate& c : candidates)
    if (isRegular(c)) regular.push_back(&c);
  if (regular.size() == 1) return *regular.front();
  if (regular.empty() && candidates.size() == 1) return candidates.front();
  raise("ambiguous_process");
}

}  // namespace velmaris::gui
