// What AT-SPI's numbers and names mean to the helper: roles, states and action names.
// Each mapping is one table in atspi_tables.cpp; extend it there from what is measured.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmaris::platform::linux_desktop {

// AT-SPI role numbers (the protocol's AtspiRole) the backend decides on.
enum class AtspiRole : std::uint32_t {
  Alert = 2,
  CheckBox = 7,
  CheckMenuItem = 8,
  Dialog = 16,
  FileChooser = 19,
  Filler = 20,
  Frame = 23,
  Menu = 33,
  Panel = 39,
  PasswordText = 40,
  PopupMenu = 41,
  ProgressBar = 42,
  RadioButton = 44,
  RadioMenuItem = 45,
  ScrollBar = 48,
  ScrollPane = 49,
  SpinButton = 52,
  Text = 61,
  ToggleButton = 62,
  Viewport = 68,
  Window = 69,
  Application = 75,
  Entry = 79,
  LevelBar = 103,
};

// AT-SPI state bits (the protocol's AtspiStateType), as GetState's two words.
enum class AtspiState : std::uint32_t {
  Active = 1,
  Checked = 4,
  Defunct = 6,
  Editable = 7,
  Enabled = 8,
  Horizontal = 14,
  Iconified = 15,
  MultiLine = 17,
  Sensitive = 24,
  Showing = 25,
  Vertical = 29,
  Visible = 30,
  ManagesDescendants = 31,
  Indeterminate = 32,
  Checkable = 41,
  ReadOnly = 43,
};

struct StateSet {
  std::uint64_t bits = 0;
  bool has(AtspiState state) const {
    return (bits >> static_cast<std::uint32_t>(state)) & 1u;
  }
  bool empty() const { return bits == 0; }
  // GTK 4 publishes only `sensitive`; GTK 3, Qt and the browsers publish both.
  bool enabled() const { return has(AtspiState::Sensitive) || has(AtspiState::Enabled); }
};

// The AX role of an AT-SPI role; text roles become "AXTextArea" when multi-line.
std::string_view axRole(std::uint32_t role, bool multiLine);
bool isWindowRole(std::uint32_t role);
// Roles whose value is their checked state.
bool isCheckableRole(std::uint32_t role);
// Roles a Value interface is published on without the value being the user's to change.
bool isIndicatorRole(std::uint32_t role);

// The AX action an AT-SPI action name stands for on an object of `role`, if any.
std::optional<std::string_view> axAction(std::string_view atspiName, std::uint32_t role);
// Whether `name` (without case) is an AT-SPI action name some role maps to an action.
bool mappedActionName(std::string_view name);

}  // namespace velmaris::platform::linux_desktop
