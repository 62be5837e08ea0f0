// The window registry's records: handle allocation, lookup and pruning by age.
#include "gui/processes/window_registry.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "gui/limits.h"
#include "gui/observation/attributes.h"

namespace velmaris::gui {

std::int64_t WindowRegistry::record(const std::string& app, const ProcessIdentity& process,
                                    const platform::Element& element, double now) {
  if (auto handle = existing(app, process, element)) {
    WindowRecord& record = records_.at(*handle);
    record.element = element;
    record.lastSeenUptime = now;
    return *handle;
  }
  if (nextHandle_ < 1 || nextHandle_ > INT64_MAX - 1) raise("internal_state");
  const std::int64_t handle = nextHandle_++;
  records_[handle] = WindowRecord{app, process, element, now};
  return handle;
}

std::optional<std::int64_t> WindowRegistry::existing(const std::string& app,
                                                     const ProcessIdentity& process,
                                                     const platform::Element& element) const {
  // The map is ordered by handle, so the first match is the smallest.
  for (const auto& [handle, record] : records_)
    if (record.app == app && record.process == process && cfElementsEqual(record.element, element))
      return handle;
  return std::nullopt;
}

const WindowRecord& WindowRegistry::find(std::int64_t handle, const std::string& app) const {
  auto it = records_.find(handle);
  if (it == records_.end() || it->second.app != app) raise("window_unavailable");
  return it->second;
}

void WindowRegistry::prune() {
  if (records_.size() <= maxWindowRecords) return;
  std::vector<std::pair<double, std::int64_t>> byAge;
  byAge.reserve(records_.size());
  for (const auto& [handle, record] : records_) byAge.emplace_back(record.lastSeenUptime, handle);
  std::sort(byAge.begin(), byAge.end());
  const std::size_t surplus = records_.size() - maxWindowRecords;
  for (std::size_t i = 0; i < surplus; ++i) records_.erase(byAge[i].second);
}

}  // namespace velmaris::gui
