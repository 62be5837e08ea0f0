// Window images through the real helper on a real desktop: the GTK fixture paints four
// quadrants of known colours, and the JPEG attached to "observe" must show them at their
// places, whatever covers the window; wide windows come back scaled, minimized windows come
// back refused inside a successful observation, and a window moving under the capture is
// never reported as a good picture.
#include <array>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "readback.h"

namespace velmaris {
namespace {

using nlohmann::json;
using testing::Fixture;
using testing::Helper;
using testing::Colour;
using testing::Picture;
using testing::fromBase64;
using namespace std::chrono_literals;

// The fixture's quadrants: top left, top right, bottom left, bottom right.
constexpr std::array<Colour, 4> kQuadrants = {{{219, 20, 20}, {20, 178, 20}, {20, 20, 219}, {229, 204, 20}}};

class CaptureTest : public ::testing::Test {
 protected:
  std::optional<Helper> helper;
  testing::XDesktop x;

  Helper& gui() {
    if (!helper) helper.emplace();
    return *helper;
  }
  json observeImage(const std::string& app, std::int64_t window) {
    json r = gui().request({{"id", 2}, {"method", "observe"}, {"app", app}, {"window_id", window},
                            {"include_image", true}});
    EXPECT_TRUE(r.contains("result")) << r.dump();
    return r.value("result", json::object());
  }
  // Asks again while the accessibility side catches up with the window manager.
  json observeUntil(const std::string& app, std::int64_t window,
                    const std::function<bool(const json&)>& done) {
    json r;
    testing::eventually([&] { return done(r = observeImage(app, window)); }, 10000ms, 100ms);
    return r;
  }

  // The quadrant centres of the window's client area, in image pixels, show their colours.
  void expectQuadrants(const json& result) {
    ASSERT_TRUE(result.contains("visual")) << result.value("visual_unavailable", json()).dump()
                                           << result.value("visual_diagnostics", json()).dump();
    const json& v = result["visual"];
    const Picture p = testing::decodeJPEG(fromBase64(result["content"][0]["data"].get<std::string>()));
    ASSERT_EQ(p.width, v["width"].get<int>());
    ASSERT_EQ(p.height, v["height"].get<int>());
    const double sx = v["scale_x"], sy = v["scale_y"];
    const auto client = x.box(xcb_window_t(v["capture_window_id"].get<std::uint32_t>()));
    const double ox = client.x - v["bounds"]["x"].get<double>();
    const double oy = client.y - v["bounds"]["y"].get<double>();
    for (int q = 0; q < 4; ++q) {
      const int px = int((ox + client.width * (q % 2 == 0 ? 0.25 : 0.75)) * sx);
      const int py = int((oy + client.height * (q < 2 ? 0.25 : 0.75)) * sy);
      ASSERT_TRUE(px >= 0 && py >= 0 && px < p.width && py < p.height);
      EXPECT_TRUE(testing::near(p.at(px, py), kQuadrants[std::size_t(q)], 40))
          << "quadrant " << q << " at " << px << "," << py << " is " << p.at(px, py).r << "," << p.at(px, py).g << "," << p.at(px, py).b;
    }
  }
};

// One window through its life: where it stands, moving under the capture, made wider than
// an image may be, and minimized.
TEST_F(CaptureTest, OneWindowShownMovingScaledAndMinimized) {
  const std::string app = "org.velmaris.CaptureA";
  Fixture fixture({"--app-id=" + app, "--title=Colours", "--widgets=colours", "--size=400x300"});
  const std::int64_t id = gui().onlyWindow(app);
  const json first = observeImage(app, id);
  expectQuadrants(first);
  // The frame is the window manager's, decorations included, where X has it.
  const auto client = xcb_window_t(first["visual"]["capture_window_id"].get<std::uint32_t>());
  const auto frame = x.box(x.frameOf(client));
  EXPECT_EQ(first["visual"]["bounds"], (json{{"x", frame.x}, {"y", frame.y}, {"width", frame.width},
                                             {"height", frame.height}, {"coordinate_unit", "point"},
                                             {"origin", "global_top_left"}}));

  // A window moving during the request is never a good capture of a place it did not hold.
  ASSERT_EQ(fixture.ask("move-window Colours 10 100"), "ok");
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(fixture.ask("wander-window Colours"), "ok");  // one point right every 4 ms
  int refused = 0;
  for (int i = 0; i < 8; ++i) {
    const int before = x.box(x.frameOf(client)).x;
    json r = observeImage(app, id);
    const int after = x.box(x.frameOf(client)).x;
    ASSERT_TRUE(r.contains("observation_id"));
    if (r.contains("visual_unavailable")) {
      // The frame changed between two looks (before, during or after the capture), or the
      // window's moving frame matched none, or several, of its application's capturable windows.
      const std::string code = r["visual_unavailable"];
      EXPECT_TRUE(code == "capture_target_changed" || code == "capture_window_unavailable" ||
                  code == "capture_window_ambiguous")
          << code;
      ++refused;
    } else {
      EXPECT_GE(r["visual"]["bounds"]["x"].get<int>(), before);
      EXPECT_LE(r["visual"]["bounds"]["x"].get<int>(), after);
    }
  }
  // The window moves every few milliseconds and a capture takes longer: a capture that
  // claims success while it moved would show up here as fewer refusals.
  EXPECT_GE(refused, 7);
  ASSERT_EQ(fixture.ask("wander-stop"), "ok");

  // Make the frame, decorations included, exactly 3200 points wide: the picture comes scaled
  // (its size and scale are the unit tests'), its quadrants where the scale puts them.
  const int decorations = frame.width - x.box(client).width;
  ASSERT_EQ(fixture.ask("resize-window Colours " + std::to_string(3200 - decorations) + " 600"), "ok");
  json r = observeUntil(app, id, [](const json& r) {
    return r.contains("visual") && r["visual"]["bounds"]["width"] == 3200;
  });
  expectQuadrants(r);

  // The window manager animates the window away (its frame moves: not a good capture either)
  // and then unmaps it in its place; from then on it is refused as minimized.
  ASSERT_EQ(fixture.ask("iconify-window Colours"), "ok");
  ASSERT_TRUE(testing::eventually([&] { return !x.viewable(x.frameOf(client)); }, 2000ms));
  r = observeUntil(app, id, [](const json& r) {
    return r.value("visual_unavailable", "") == "capture_window_minimized";
  });
  EXPECT_EQ(r["visual_unavailable"], "capture_window_minimized");
}

TEST_F(CaptureTest, ACoveredWindowStillShowsItsOwnPixels) {
  Fixture below({"--app-id=org.velmaris.CaptureB", "--title=Below", "--widgets=colours", "--size=400x300"});
  Fixture above({"--app-id=org.velmaris.CaptureC", "--title=Above", "--size=700x500"});
  ASSERT_EQ(below.ask("move-window Below 100 100"), "ok");
  ASSERT_EQ(above.ask("move-window Above 50 50"), "ok");
  ASSERT_EQ(above.ask("present-window Above"), "ok");
  ASSERT_TRUE(testing::eventually([&] { return x.active(above.pid()); }));
  std::this_thread::sleep_for(300ms);
  // The helper starts only now: the first capture meets windows just redirected offscreen.
  const std::int64_t id = gui().onlyWindow("org.velmaris.CaptureB");
  const json first = observeImage("org.velmaris.CaptureB", id);
  ASSERT_NO_FATAL_FAILURE(expectQuadrants(first));

  // The other window, active and so on top, does cover all of its frame (which the bounds
  // are, as the test above proves).
  const auto cover = x.box(x.frameOf(x.windowsOf(above.pid()).at(0)));
  EXPECT_TRUE(testing::inside(first["visual"]["bounds"], cover));

  std::this_thread::sleep_for(1200ms);
  expectQuadrants(observeImage("org.velmaris.CaptureB", id));
}

}  // namespace
}  // namespace velmaris
