// Screen capture on the X display: the capturable windows are the top-level X windows, and a
// stream over one of them reads the window's own pixels through Composite, scaled to the size
// asked for, and hands the frame over from a worker thread. Completions come from worker
// threads too, never from the caller's.
#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/screen_capture.h"

namespace velmaris::platform {

// Connects to $DISPLAY at once and redirects its windows offscreen for as long as the backend
// lives (the earlier, the sooner every window has repainted into its own pixmap). Every wait
// for the server ends by the request's time. Without a display, preflight answers false and
// there are no screens.
std::unique_ptr<ScreenCapture> makeX11ScreenCapture(std::shared_ptr<const RequestTime> requestTime);

}  // namespace velmaris::platform
