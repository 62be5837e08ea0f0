// The role and action tables: AT-SPI's vocabulary in the helper's words. Measured against
// GTK 3 (at-spi2-atk); Qt's bridge uses the same role numbers and capitalised action names.
#include "platform/linux/atspi_tables.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace velmaris::platform::linux_desktop {
namespace {

struct RoleEntry {
  std::uint32_t role;
  std::string_view axRole;
};

// AT-SPI role number (name in the comment) → AX role. Roles not listed are "AXUnknown".
constexpr RoleEntry kRoles[] = {
    {75, "AXApplication"},          // application
    {23, "AXWindow"},               // frame
    {69, "AXWindow"},               // window
    {16, "AXWindow"},               // dialog
    {2, "AXWindow"},                // alert
    {19, "AXWindow"},               // file chooser
    {43, "AXButton"},               // push button
    {129, "AXButton"},              // push button menu
    {62, "AXCheckBox"},             // toggle button
    {7, "AXCheckBox"},              // check box
    {44, "AXRadioButton"},          // radio button
    {61, "AXTextField"},            // text
    {79, "AXTextField"},            // entry
    {40, "AXTextField"},            // password text
    {52, "AXIncrementor"},          // spin button
    {51, "AXSlider"},               // slider
    {29, "AXStaticText"},           // label
    {116, "AXStaticText"},          // static
    {11, "AXPopUpButton"},          // combo box
    {49, "AXScrollArea"},           // scroll pane
    {48, "AXScrollBar"},            // scroll bar
    {68, "AXGroup"},                // viewport
    {39, "AXGroup"},                // panel
    {20, "AXGroup"},                // filler
    {85, "AXGroup"},                // section
    {99, "AXGroup"},                // grouping
    {87, "AXGroup"},                // form
    {50, "AXGroup"},                // separator
    {34, "AXMenuBar"},              // menu bar
    {33, "AXMenu"},                 // menu
    {41, "AXMenu"},                 // popup menu
    {35, "AXMenuItem"},             // menu item
    {8, "AXMenuItem"},              // check menu item
    {45, "AXMenuItem"},             // radio menu item
    {31, "AXList"},                 // list
    {98, "AXList"},                 // list box
    {32, "AXCell"},                 // list item
    {55, "AXTable"},                // table
    {66, "AXTable"},                // tree table
    {65, "AXOutline"},              // tree
    {56, "AXCell"},                 // table cell
    {90, "AXRow"},                  // table row
    {38, "AXTabGroup"},             // page tab list
    {37, "AXRadioButton"},          // page tab
    {88, "AXLink"},                 // link
    {27, "AXImage"},                // image
    {26, "AXImage"},                // icon
    {42, "AXProgressIndicator"},    // progress bar
    {63, "AXToolbar"},              // tool bar
    {83, "AXHeading"},              // heading
    {95, "AXWebArea"},              // document web
    {82, "AXWebArea"},              // document frame
};

std::string_view lookupRole(std::uint32_t role) {
  for (const auto& entry : kRoles) {
    if (entry.role == role) return entry.axRole;
  }
  return "AXUnknown";
}

bool isTextRole(std::uint32_t role) {
  return role == static_cast<std::uint32_t>(AtspiRole::Text) ||
         role == static_cast<std::uint32_t>(AtspiRole::Entry) ||
         role == static_cast<std::uint32_t>(AtspiRole::PasswordText);
}

bool isDialogRole(std::uint32_t role) {
  return role == static_cast<std::uint32_t>(AtspiRole::Dialog) ||
         role == static_cast<std::uint32_t>(AtspiRole::Alert) ||
         role == static_cast<std::uint32_t>(AtspiRole::FileChooser);
}

struct ActionEntry {
  std::string_view atspiName;  // lower case
  std::string_view axAction;
};

// AT-SPI action names (compared without case) that mean the same on every object.
constexpr ActionEntry kActions[] = {
    {"click", "AXPress"},        {"press", "AXPress"},          {"toggle", "AXPress"},
    {"jump", "AXPress"},         {"open", "AXPress"},           {"menu", "AXShowMenu"},
    {"popup", "AXShowMenu"},     {"showmenu", "AXShowMenu"},    {"show menu", "AXShowMenu"},
    {"context menu", "AXShowMenu"}, {"select", "AXPick"},       {"pick", "AXPick"},
};

}  // namespace

std::string_view axRole(std::uint32_t role, bool multiLine) {
  if (isTextRole(role) && multiLine) return "AXTextArea";
  return lookupRole(role);
}

bool isWindowRole(std::uint32_t role) { return lookupRole(role) == "AXWindow"; }

bool isCheckableRole(std::uint32_t role) {
  switch (static_cast<AtspiRole>(role)) {
    case AtspiRole::CheckBox:
    case AtspiRole::ToggleButton:
    case AtspiRole::RadioButton:
    case AtspiRole::CheckMenuItem:
    case AtspiRole::RadioMenuItem:
      return true;
    default:
      // AT-SPI 2.46 has no switch role: toolkits publish switches as check boxes or
      // toggle buttons, which are above.
      return false;
  }
}

bool isIndicatorRole(std::uint32_t role) {
  return role == static_cast<std::uint32_t>(AtspiRole::ProgressBar) ||
         role == static_cast<std::uint32_t>(AtspiRole::LevelBar);
}

namespace {

std::string lowered(std::string_view text) {
  std::string name(text);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

}  // namespace

bool mappedActionName(std::string_view atspiName) {
  const std::string name = lowered(atspiName);
  if (name == "activate" || name == "cancel" || name == "close") return true;
  for (const auto& entry : kActions)
    if (entry.atspiName == name) return true;
  return false;
}

std::optional<std::string_view> axAction(std::string_view atspiName, std::uint32_t role) {
  const std::string name = lowered(atspiName);
  if (name == "activate") {
    bool confirms = isTextRole(role) || role == static_cast<std::uint32_t>(AtspiRole::SpinButton);
    return confirms ? "AXConfirm" : "AXPress";
  }
  if (name == "cancel" || name == "close") {
    if (isDialogRole(role)) return "AXCancel";
    return std::nullopt;
  }
  for (const auto& entry : kActions) {
    if (entry.atspiName == name) return entry.axAction;
  }
  return std::nullopt;
}

}  // namespace velmaris::platform::linux_desktop
