// The sound server behind the audio probe, reached through the PulseAudio client API (which
// PipeWire serves as well): one connection on a threaded main loop, the list of sources,
// the default sink's monitor, and record streams for the probe's capture. Public calls are
// made from one thread (the probe's main thread); callbacks run on the main loop's thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_capture.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace velmaris::platform {

struct PulseSource {
  std::string name;
  std::string description;
  bool monitor = false;  // the monitor of a sink, i.e. what the sink plays
};

class PulseConnection {
 public:
  PulseConnection();
  ~PulseConnection();

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  // Connects (never starting a server) unless connected already; true when the server
  // answers.
  bool connect();
  // Every source in the server's order; empty when the server cannot be reached.
  std::vector<PulseSource> sources();
  // The name of the default sink's monitor source.
  std::optional<std::string> defaultSinkMonitor();
  // A stream that records "system" from the default sink's monitor and "microphone" from the
  // configured source, as float32 interleaved at the configured rate and channel count. The
  // connection must outlive it.
  std::unique_ptr<CaptureStream> makeStream(const StreamConfiguration& configuration,
                                            StreamDelegate& delegate);

  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }

 private:
  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
};

}  // namespace velmaris::platform
