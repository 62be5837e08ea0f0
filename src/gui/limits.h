// The helper's fixed limits. Compiled in; nothing configures them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace velmaris::gui {

inline constexpr std::int64_t maxInputBytes = 65536;
inline constexpr std::int64_t maxWindows = 128;
inline constexpr std::int64_t maxTreeNodes = 128;
inline constexpr std::int64_t maxTreeDepth = 10;
inline constexpr std::int64_t maxChildrenPerElement = 32;
inline constexpr std::int64_t maxSelectorScanNodes = 1024;
inline constexpr std::int64_t maxSelectorScanDepth = 16;
inline constexpr std::int64_t maxSelectorChildrenPerElement = 256;
inline constexpr std::int64_t maxObservations = 128;
inline constexpr double observationTTL = 60.0;
inline constexpr float axMessagingTimeout = 0.25f;
inline constexpr double requestDeadlineSeconds = 3.0;
inline constexpr std::int64_t maxLabelCharacters = 512;
inline constexpr std::int64_t maxValueCharacters = 4096;
inline constexpr std::int64_t maxImageBytes = 2097152;

// Response line limits, line feed included.
inline constexpr std::size_t maxResponseBytes = 65536;
inline constexpr std::size_t maxImageResponseBytes = 4194304;

// Window records kept before the oldest are pruned.
inline constexpr std::size_t maxWindowRecords = 512;

inline constexpr auto supportedActions = std::to_array<std::string_view>(
    {"AXPress", "AXIncrement", "AXDecrement", "AXConfirm", "AXCancel", "AXShowMenu", "AXPick",
     "AXScrollUpByPage", "AXScrollDownByPage", "AXScrollLeftByPage", "AXScrollRightByPage"});

inline bool isSupportedAction(std::string_view name) {
  for (auto a : supportedActions)
    if (a == name) return true;
  return false;
}

}  // namespace velmaris::gui
