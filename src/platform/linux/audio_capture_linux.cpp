// The probe's platform on Linux. Screen recording counts as allowed when the X display opens
// and allows window capture (compositeAllowsCapture, as for the helper); the displays are its RandR monitors, or
// its screens when RandR has none. The microphone counts as authorized when the sound server
// answers; microphones are its sources that are not monitors of a sink.
#include "platform/linux/audio_capture_linux.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <thread>

#include "platform/linux/pulse_audio.h"
#include "platform/linux/x11_connection.h"

namespace velmaris::platform {
namespace {

class XConnection {
 public:
  XConnection() : connection_(xcb_connect(nullptr, nullptr)) {}
  ~XConnection() { xcb_disconnect(connection_); }  // also frees a connection that failed
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;

  xcb_connection_t* get() const { return connection_; }
  int error() const { return xcb_connection_has_error(connection_); }

 private:
  xcb_connection_t* connection_;
};

bool hasExtension(xcb_connection_t* connection, xcb_extension_t* extension) {
  const auto* data = xcb_get_extension_data(connection, extension);
  return data != nullptr && data->present;
}

// The active monitors of one screen, or nothing when RandR cannot say.
std::vector<Display> monitorsOf(xcb_connection_t* connection, xcb_window_t root,
                                std::uint32_t& nextID) {
  std::vector<Display> displays;
  auto* reply = xcb_randr_get_monitors_reply(connection,
                                             xcb_randr_get_monitors(connection, root, 1), nullptr);
  if (reply == nullptr) return displays;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    displays.push_back(Display{nextID++, it.data->width, it.data->height});
  }
  std::free(reply);
  return displays;
}

class LinuxAudioCapture final : public AudioCapture {
 public:
  bool preflightScreenCaptureAccess() override {
    XConnection x;
    return x.error() == 0 && linux_desktop::compositeAllowsCapture(x.get());
  }

  std::int32_t microphoneAuthorizationStatus() override {
    return pulse_.connect() ? authorizationStatusAuthorized : authorizationStatusDenied;
  }

  std::vector<MicrophoneDevice> microphoneDevices() override {
    std::vector<MicrophoneDevice> devices;
    for (auto& source : pulse_.sources()) {
      if (!source.monitor)
        devices.push_back(MicrophoneDevice{std::move(source.name), std::move(source.description)});
    }
    return devices;
  }

  std::variant<ShareableContent, PlatformError> shareableContent(bool, bool) override {
    XConnection x;
    if (x.error() != 0) return PlatformError{"org.x.xcb", x.error()};
    const bool randr = hasExtension(x.get(), &xcb_randr_id);
    if (randr) {
      std::free(
          xcb_randr_query_version_reply(x.get(), xcb_randr_query_version(x.get(), 1, 5), nullptr));
    }
    ShareableContent content;
    std::uint32_t nextID = 1;
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(x.get())); it.rem > 0;
         xcb_screen_next(&it)) {
      auto monitors = randr ? monitorsOf(x.get(), it.data->root, nextID) : std::vector<Display>{};
      if (monitors.empty())
        monitors.push_back(Display{nextID++, it.data->width_in_pixels, it.data->height_in_pixels});
      content.displays.insert(content.displays.end(), monitors.begin(), monitors.end());
    }
    return content;
  }

  std::unique_ptr<CaptureStream> makeStream(const Display&,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    // Audio does not depend on which display is filmed; the display only has to exist.
    return pulse_.makeStream(configuration, delegate);
  }

  bool wait(std::chrono::nanoseconds duration) override {
    std::this_thread::sleep_for(duration);
    return true;
  }

 private:
  PulseConnection pulse_;
};

}  // namespace

std::unique_ptr<AudioCapture> makeLinuxAudioCapture() {
  return std::make_unique<LinuxAudioCapture>();
}

}  // namespace velmaris::platform
