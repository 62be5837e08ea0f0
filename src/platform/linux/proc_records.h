// The kernel's records of processes under /proc: start times, liveness and executable names.
// Plain reads of small files; no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/workspace.h"

namespace velmaris::platform::linux_desktop {

// Field 22 of a /proc/<pid>/stat line (start time in clock ticks since boot) and its pid.
struct StatStart {
  std::int32_t pid = 0;
  std::uint64_t startTicks = 0;
};
std::optional<StatStart> parseStatStart(std::string_view statLine);
// The "btime" line of /proc/stat: boot time in whole seconds since the epoch.
std::optional<std::uint64_t> parseBootTime(std::string_view procStat);
// start = boot time + ticks / ticksPerSecond, split into seconds and microseconds.
ProcessRecord startRecord(std::int32_t pid, std::uint64_t bootTime, std::uint64_t startTicks,
                          long ticksPerSecond);

std::optional<ProcessRecord> readProcessRecord(std::int32_t pid);
// A process is gone when /proc/<pid> is missing or the process is a zombie.
bool processGone(std::int32_t pid);
// The application id of a Flatpak sandboxed process, from its .flatpak-info.
std::optional<std::string> flatpakApplicationId(std::int32_t pid);
// The path of the process's executable as the kernel reports it (symbolic links resolved).
std::optional<std::string> executablePath(std::int32_t pid);
// The base name of the process's executable, else its command name.
std::optional<std::string> executableName(std::int32_t pid);

}  // namespace velmaris::platform::linux_desktop
