// Entry point of velmaris-audio-probe: builds the Linux audio backend and hands the
// command line to the run. Standard error is pointed at /dev/null first, so no library
// underneath (the sound server's client, the X client, the file writer) can write to it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/audio_capture_linux.h"
#include "probe/audio_probe.h"

namespace {

void silenceStandardError() {
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) {
    close(STDERR_FILENO);
    return;
  }
  dup2(null, STDERR_FILENO);
  if (null != STDERR_FILENO) close(null);
}

void writeStandardOutput(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

int main(int argc, char** argv) {
  silenceStandardError();
  // A reader that went away must not kill the run before it has closed its files.
  signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  int status = 1;
  {
    const auto platform = velmaris::platform::makeLinuxAudioCapture();
    status = velmaris::probe::AudioProbe::main(arguments, *platform, writeStandardOutput);
  }
  return status;
}
