// velmaris-mcp: the helper's methods as Model Context Protocol tools over stdio. Builds the
// Linux backends and one helper, as velmaris-gui does, then serves protocol messages on
// standard input and output until end of input. Takes no arguments, reads no configuration.
#include <csignal>

#include "gui/ax_helper.h"
#include "mcp/stdio_server.h"
#include "mcp/tool_call.h"
#include "platform/linux/linux_platform.h"

int main() {
  // A client that goes away must end the server through end of input, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  velmaris::platform::Platform platform = velmaris::platform::makeLinuxPlatform();
  velmaris::gui::AXHelper helper(platform);
  velmaris::mcp::runStdioServer(
      [&helper](const std::string& name, const velmaris::mcp::Json& arguments) {
        return velmaris::mcp::callTool(helper, name, arguments);
      });
  return 0;
}
