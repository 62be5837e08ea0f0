// velmaris-gui: builds the Linux backends, then serves JSON lines on stdin/stdout until
// end of input. Takes no arguments and reads no configuration.
#include <csignal>

#include "gui/ax_helper.h"
#include "gui/channel/json_lines.h"
#include "platform/linux/linux_platform.h"

int main() {
  // A client that goes away must end the helper through end of input, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  velmaris::platform::Platform platform = velmaris::platform::makeLinuxPlatform();
  velmaris::gui::AXHelper helper(platform);
  velmaris::gui::runHelper(helper);
  return 0;
}
