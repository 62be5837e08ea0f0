// The window registry: small integer handles for the windows of one process, kept stable
// while the same window of the same process keeps being listed. A handle is never given out
// twice, and beyond maxWindowRecords the least recently seen records go first. Only the
// request thread touches it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "gui/processes/process_identity.h"
#include "platform/accessibility.h"

namespace velmaris::gui {

struct WindowRecord {
  std::string app;
  ProcessIdentity process;
  platform::Element element;
  double lastSeenUptime = 0;
};

class WindowRegistry {
 public:
  // The handle of `element` of (app, process), seen at `now`: the one it had, else a new
  // one ("internal_state" once handles run out).
  std::int64_t record(const std::string& app, const ProcessIdentity& process,
                      const platform::Element& element, double now);
  // The record of `handle` if it belongs to `app`, else "window_unavailable".
  const WindowRecord& find(std::int64_t handle, const std::string& app) const;
  // Forgets the least recently seen records beyond maxWindowRecords.
  void prune();

  const std::map<std::int64_t, WindowRecord>& records() const { return records_; }
  // In place, for tests that change what the desktop cannot.
  WindowRecord& at(std::int64_t handle) { return records_.at(handle); }
  void forget(std::int64_t handle) { records_.erase(handle); }

 private:
  std::optional<std::int64_t> existing(const std::string& app, const ProcessIdentity& process,
                                       const platform::Element& element) const;

  std::int64_t nextHandle_ = 1;
  std::map<std::int64_t, WindowRecord> records_;
};

}  // namespace velmaris::gui
