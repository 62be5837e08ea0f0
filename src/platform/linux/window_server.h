// The window server of an X11 desktop: hidden, active and on-screen windows of a process
// read through EWMH from the window manager, and reveal requests sent to it.
#pragma once

#include <memory>

#include "platform/window_server.h"

namespace velmaris::platform {

// Opens its own connection to $DISPLAY on first use (and again after it broke); without a
// display nothing is hidden, active or on screen, and requests do nothing.
std::unique_ptr<WindowServer> makeLinuxWindowServer();

}  // namespace velmaris::platform
