// The window server of an X11 desktop: hidden, active and on-screen windows of a process
// read through EWMH from the window manager, and reveal requests sent to it.
#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/window_server.h"

namespace velmaris::platform {

// Opens its own connection to $DISPLAY on first use (and again after it broke); every wait
// for the server ends by the request's time. Without a display, or when it does not answer
// in time, nothing is hidden, active or on screen, and requests do nothing.
std::unique_ptr<WindowServer> makeLinuxWindowServer(std::shared_ptr<const RequestTime> requestTime);

}  // namespace velmaris::platform
