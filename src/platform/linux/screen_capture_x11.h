// Screen capture on the X display: the capturable windows are the top-level X windows, and a
// stream over one of them reads the window's own pixels through Composite, scaled to the size
// asked for, and hands the frame over from a worker thread. Completions come from worker
// threads too, never from the caller's.
#pragma once

#include <memory>

#include "platform/screen_capture.h"

namespace velmaris::platform {

// Whether screen capture is allowed: the X display opens and offers Composite 0.2 or later.
// Opens a connection of its own for the question; never prompts. Any thread.
bool x11ScreenCaptureAllowed();

// Connects to $DISPLAY at once and redirects its windows offscreen for as long as the backend
// lives (the earlier, the sooner every window has repainted into its own pixmap). Without a
// display, preflight answers false and there are no screens.
std::unique_ptr<ScreenCapture> makeX11ScreenCapture();

}  // namespace velmaris::platform
