// Window images on the simulated desktop: matching the accessibility window to exactly one
// capturable window, the requested size, JPEG encoding within its limit, the result's
// members, and the attachment into observations.
#include "common/base64.h"
#include "gui/capture/screenshot.h"
#include "gui/capture/window_matching.h"
#include "readback.h"
#include "tree_helper.h"

namespace velmaris::testing {
namespace {

using namespace velmaris::gui;
using platform::AttributeValue;
using platform::sim::SimAnswer;
using namespace std::chrono_literals;

struct ScreenshotTest : TreeTest {
  platform::sim::SimScreenCapture& sc = s.desktop.screenCapture;
  const Rect frame{100, 80, 602, 525};

  void SetUp() override {
    TreeTest::SetUp();
    place(window, frame);
    s.desktop.attribute(window, "AXMinimized").value = AttributeValue::ofBoolean(false);
    sc.addWindow(77, 10, {frame.x, frame.y, frame.width, frame.height}, "Main");
  }
  void place(const platform::Element& w, const Rect& r) {
    s.desktop.attribute(w, "AXPosition").value = AttributeValue::ofPoint({r.x, r.y});
    s.desktop.attribute(w, "AXSize").value = AttributeValue::ofSize({r.width, r.height});
  }
  Json screenshot() { return s.ax().screenshotResult(app, windowID(), "obs-1", s.deadline()); }
  std::string failure() { return failureOf([&] { screenshot(); }).code; }
};

TEST(Base64Test, StandardAlphabetPaddedWithoutLineBreaks) {
  for (const auto& [plain, text] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"}})
    EXPECT_EQ(base64Encode(plain), text);
}

TEST(CaptureMatchTest, FramesPidsAndTitlesMustAgreeExactly) {
  const Rect f{10, 20, 300, 200};
  EXPECT_TRUE(captureMatches(4, f, "T", 4, f, "T"));
  EXPECT_FALSE(captureMatches(5, f, "T", 4, f, "T"));
  EXPECT_FALSE(captureMatches(4, {10.25, 20, 300, 200}, "T", 4, f, "T"));
  EXPECT_FALSE(captureMatches(4, f, "T ", 4, f, "T"));
  // An absent title is no empty one.
  EXPECT_FALSE(captureMatches(4, f, "", 4, f, std::nullopt));
  // Equal but empty frames are no capturable frames.
  EXPECT_FALSE(captureMatches(4, {10, 20, 0, 200}, "T", 4, {10, 20, 0, 200}, "T"));
  // The same rectangle spelt with negative extents is the same rectangle.
  EXPECT_TRUE(captureMatches(4, {310, 220, -300, -200}, "T", 4, f, "T"));
}

TEST(CaptureSizeTest, OnePixelPerPointWithTheLongerSideAtMost1600) {
  auto size = [](double w, double h) {
    ImageSize s = requestedImageSize({0, 0, w, h});
    return std::make_pair(s.width, s.height);
  };
  EXPECT_EQ(size(1000.4, 300.5), std::make_pair(1000, 301));
  EXPECT_EQ(size(3200, 1000), std::make_pair(1600, 500));
  EXPECT_EQ(size(1000, 3200), std::make_pair(500, 1600));
  EXPECT_EQ(size(1600, 1600), std::make_pair(1600, 1600));
  EXPECT_EQ(size(0.4, 0.4), std::make_pair(1, 1));
}

TEST(JpegTest, FallsBackToLowerQualityWithinTheExactLimit) {
  platform::WindowImage image;
  std::vector<double> asked;
  auto sized = [&](std::size_t at75, std::size_t at50) {
    return [&asked, at75, at50](const platform::WindowImage&, double q) -> std::optional<std::string> {
      asked.push_back(q);
      return std::string(q == 0.75 ? at75 : at50, 'j');
    };
  };
  EXPECT_EQ(encodedCapture(image, sized(2097152, 1)).size(), 2097152u);
  EXPECT_EQ(encodedCapture(image, sized(2097153, 2097152)).size(), 2097152u);
  EXPECT_EQ(asked, (std::vector<double>{0.75, 0.75, 0.5}));
  EXPECT_EQ(failureOf([&] { encodedCapture(image, sized(2097153, 2097153)); }).code,
            "image_too_large");
  // An encoder that produces nothing at one step moves on to the next.
  auto failingFirst = [](const platform::WindowImage&, double q) -> std::optional<std::string> {
    if (q == 0.75) return std::nullopt;
    return std::string(10, 'j');
  };
  EXPECT_EQ(encodedCapture(image, failingFirst).size(), 10u);

  // The real encoder (a real image decodes back in the tests below): an empty image cannot
  // be encoded.
  EXPECT_EQ(failureOf([&] { encodedCapture(image); }).code, "image_too_large");
  // The smallest image, one pixel, is encoded; rows or pixels short of its size are not.
  platform::WindowImage pixel;
  pixel.width = pixel.height = 1;
  pixel.bytesPerRow = 4;
  pixel.pixels.assign(4, 0);
  EXPECT_TRUE(jpegData(pixel, 0.75));
  pixel.bytesPerRow = 3;
  EXPECT_FALSE(jpegData(pixel, 0.75));
  pixel.bytesPerRow = 4;
  pixel.pixels.resize(3);
  EXPECT_FALSE(jpegData(pixel, 0.75));
}

TEST_F(ScreenshotTest, PicturesTheMatchedWindowWithItsGeometry) {
  sc.frames[0].fill = 0x00c81e3c;  // red 200, green 30, blue 60
  Json r = screenshot();
  ASSERT_EQ(r.size(), 2u);
  ASSERT_EQ(r["content"].size(), 1u);
  EXPECT_EQ(r["content"][0]["type"], "image");
  EXPECT_EQ(r["content"][0]["mimeType"], "image/jpeg");
  const std::string jpeg = fromBase64(r["content"][0]["data"]);
  Picture d = decodeJPEG(jpeg);
  EXPECT_EQ(std::make_pair(d.width, d.height), std::make_pair(602, 525));
  EXPECT_TRUE(near(d.at(0, 0), {200, 30, 60}, 6));

  Json v = r["visual"];
  EXPECT_EQ(v, (Json{{"kind", "native_window"}, {"capture_mode", "sequential"},
                     {"capture_source", "single_window_stream"}, {"capture_id", v["capture_id"]},
                     {"observation_id", "obs-1"}, {"window_id", 1}, {"capture_window_id", 77},
                     {"process_id", 10}, {"bounds", boundsJSON(frame)}, {"width", 602},
                     {"height", 525}, {"image_origin", "window_top_left"},
                     {"coordinate_unit", "pixel"}, {"mime_type", "image/jpeg"},
                     {"bytes", jpeg.size()}, {"scale_x", 1.0}, {"scale_y", 1.0}}));

  // The stream asked for the window alone, at one pixel per point; two enumerations.
  EXPECT_EQ(sc.lastFilter->window.windowID, 77u);
  EXPECT_EQ(sc.calls["getShareableContent"], 2);
}

TEST_F(ScreenshotTest, LargeWindowsAreScaledDown) {
  place(window, {0, 0, 3200, 2});
  sc.windows[0].frame = {0, 0, 3200, 2};
  Json v = screenshot()["visual"];
  EXPECT_EQ(Json({v["width"], v["height"], v["scale_x"], v["scale_y"]}), Json({1600, 1, 0.5, 0.5}));
  place(window, {0, 0, 2, 3200});  // and one pixel wide
  sc.windows[0].frame = {0, 0, 2, 3200};
  v = screenshot()["visual"];
  EXPECT_EQ(Json({v["width"], v["height"]}), Json({1, 1600}));
}

TEST_F(ScreenshotTest, PermissionAndScreensComeFirst) {
  s.desktop.screenCaptureAllowed = false;
  windowID();
  s.desktop.calls.clear();
  EXPECT_EQ(failure(), "screen_recording_required");
  EXPECT_TRUE(s.desktop.calls.empty());  // not one accessibility call
  s.desktop.screenCaptureAllowed = true;
  sc.screens.clear();
  EXPECT_EQ(failure(), "screen_capture_unavailable");
  EXPECT_TRUE(s.desktop.calls.empty());
  EXPECT_EQ(sc.calls["getShareableContent"], 0);
  s.platform.screenCapture.reset();
  EXPECT_EQ(failure(), "screen_capture_unavailable");
}

TEST_F(ScreenshotTest, MinimizedOrUnknownStateIsRefused) {
  s.desktop.attribute(window, "AXMinimized").value = AttributeValue::ofBoolean(true);
  EXPECT_EQ(failure(), "capture_window_minimized");
  s.desktop.setStatus(window, "AXMinimized", platform::kAXErrorNoValue);
  EXPECT_EQ(failure(), "capture_window_state_unavailable");
  EXPECT_EQ(sc.calls["getShareableContent"], 0);
  s.desktop.setStatus(window, "AXSize", platform::kAXErrorAttributeUnsupported);
  EXPECT_EQ(failure(), "capture_window_unavailable");
}

TEST_F(ScreenshotTest, LookAlikeWindowsAreAmbiguous) {
  // Another window of the same process with the same frame and title.
  platform::Element twin = s.desktop.addWindow(10, "Main");
  place(twin, frame);
  s.desktop.attribute(twin, "AXMinimized").value = AttributeValue::ofBoolean(false);
  EXPECT_EQ(failure(), "capture_window_ambiguous");
  s.desktop.setString(twin, "AXTitle", "Other");
  EXPECT_NO_THROW(screenshot());

  // Two capturable windows that both match.
  sc.addWindow(78, 10, {frame.x, frame.y, frame.width, frame.height}, "Main");
  EXPECT_EQ(failure(), "capture_window_ambiguous");
  sc.windows.pop_back();

  // One without an owner matches nothing (the rest of the rule is proven on its own above).
  sc.windows[0].owningApplicationPID.reset();
  EXPECT_EQ(failure(), "capture_window_unavailable");
}

TEST_F(ScreenshotTest, ToolkitsDescribingTheContentMatchThroughIt) {
  // The window manager's frame is larger; the accessibility frame is the client's area.
  sc.windows[0].frame = {frame.x - 1, frame.y - 24, frame.width + 2, frame.height + 25};
  EXPECT_EQ(failure(), "capture_window_unavailable");
  sc.windows[0].contentFrame = platform::ScreenRect{frame.x, frame.y, frame.width, frame.height};
  EXPECT_EQ(screenshot()["visual"]["capture_window_id"], 77);
  EXPECT_TRUE(sc.lastFilter->contentOnly);
  // Exact as ever, and one window counts once: another one's content still makes two.
  sc.windows[0].contentFrame->width += 0.5;
  EXPECT_EQ(failure(), "capture_window_unavailable");
  sc.windows[0].contentFrame->width -= 0.5;
  const auto content = sc.windows[0].contentFrame;  // addWindow may move the vector
  sc.addWindow(78, 10, {0, 0, 10, 10}, "Main").contentFrame = content;
  EXPECT_EQ(failure(), "capture_window_ambiguous");
  // A frame that matches is pictured whole.
  sc.windows.pop_back();
  sc.windows[0].frame = *sc.windows[0].contentFrame;
  EXPECT_NO_THROW(screenshot());
  EXPECT_FALSE(sc.lastFilter->contentOnly);
}

TEST_F(ScreenshotTest, AWindowMovedDuringTheCaptureIsNotAGoodCapture) {
  // Moved while the stream runs: the after-capture enumeration differs.
  int enumerations = 0;
  sc.beforeCall = [&](const std::string& call) {
    if (call == "getShareableContent" && ++enumerations == 2) sc.windows[0].frame.x = 100.5;
  };
  EXPECT_EQ(failure(), "capture_target_changed");

  // Replaced by another capturable window in the same place.
  sc.windows[0].frame.x = 100;
  enumerations = 0;
  sc.beforeCall = [&](const std::string& call) {
    if (call == "getShareableContent" && ++enumerations == 2) sc.windows[0].windowID = 99;
  };
  EXPECT_EQ(failure(), "capture_target_changed");

  // Retitled on the accessibility side during the capture.
  sc.windows[0].windowID = 77;
  sc.beforeCall = [&](const std::string& call) {
    if (call == "startCapture") s.desktop.setString(window, "AXTitle", "Renamed");
  };
  EXPECT_EQ(failure(), "capture_target_changed");

  // Time running out at the last read of the checks after the capture: no picture.
  s.desktop.setString(window, "AXTitle", "Main");
  sc.beforeCall = nullptr;
  windowID();
  s.desktop.calls.clear();
  screenshot();
  int reads = 0;
  s.desktop.beforeCall = [&, last = s.desktop.calls["copyAttributeValue"]](const std::string& call) {
    if (call == "copyAttributeValue" && ++reads == last) s.clock.advance(3.0);
  };
  EXPECT_EQ(failure(), "deadline_exceeded");
}

TEST_F(ScreenshotTest, ObservationsCarryTheImageOrTheReason) {
  windowID();
  auto request = [&](const char* method, bool image) {
    Json r = {{"id", 1}, {"method", method}, {"app", app}, {"window_id", 1}};
    if (image) r["include_image"] = true;
    return s.ax().handle(r);
  };
  Json r = request("observe", true);
  ASSERT_TRUE(r.contains("tree"));
  EXPECT_EQ(r["visual"]["observation_id"], r["observation_id"]);
  EXPECT_EQ(r["content"][0]["mimeType"], "image/jpeg");

  r = request("observe_targets", true);
  EXPECT_EQ(r["visual"]["observation_id"], r["observation_id"]);

  // No image asked for: no capture at all.
  const int before = sc.calls["getShareableContent"];
  r = request("observe", false);
  EXPECT_FALSE(r.contains("visual"));
  EXPECT_EQ(sc.calls["getShareableContent"], before);

  // A failed capture leaves a successful observation with the reason and how far it got.
  sc.content = SimAnswer::failing("NSCocoaErrorDomain", 4);
  r = request("observe", true);
  EXPECT_TRUE(r.contains("tree"));
  EXPECT_FALSE(r.contains("visual"));
  EXPECT_EQ(r["visual_unavailable"], "capture_failed");
  EXPECT_EQ(r["visual_diagnostics"].dump(),
            R"({"callback_value_present":false,"error_code":4,)"
            R"("error_domain":"NSCocoaErrorDomain","stage":"shareable_content_before"})");
}

}  // namespace
}  // namespace velmaris::testing
