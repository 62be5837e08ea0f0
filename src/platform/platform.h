// The backends one program runs on, handed to the core when it is built. The product builds
// them with makeLinuxPlatform(); tests build the simulated desktop themselves.
#pragma once

#include <memory>

#include "platform/accessibility.h"
#include "platform/clock.h"
#include "platform/screen_capture.h"
#include "platform/window_server.h"
#include "platform/workspace.h"

namespace velmaris::platform {

struct Platform {
  std::unique_ptr<Accessibility> accessibility;
  std::unique_ptr<Workspace> workspace;
  std::unique_ptr<Clock> clock;
  std::unique_ptr<WindowServer> windowServer;
  std::unique_ptr<ScreenCapture> screenCapture;
  // Shared with the backends that bound their waits by the request's time.
  std::shared_ptr<RequestTime> requestTime = std::make_shared<RequestTime>();
};

}  // namespace velmaris::platform
