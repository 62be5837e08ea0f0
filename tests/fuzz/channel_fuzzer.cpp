// A libFuzzer target over the whole request path on the simulated desktop: bytes are cut
// into lines by the loop, dispatched to every method, and each response is checked to be
// one line of valid JSON, within its size limit, answering its own line (its fixed text form
// is the writer's, proven by its unit tests).
//
// The first input byte picks how the bytes arrive: one line per read with "$O" and "$E<d>"
// replaced by the last observation id and its d-th element ref (so mutations reach live
// elements), or raw reads of 4096, 1 or 13 bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "gui/ax_helper.h"
#include "gui/channel/json_lines.h"
#include "platform/sim/sim_desktop.h"

namespace {

using namespace velmaris;
using platform::AttributeValue;
using platform::Element;
using Ordered = nlohmann::ordered_json;  // keeps the keys in the order they were written

[[noreturn]] void fail(const char* what, std::string_view line, std::string_view response) {
  std::fprintf(stderr, "%s\nline: %.300s\nresponse: %.300s\n", what,
               std::string(line).c_str(), std::string(response).c_str());
  std::abort();
}

// A window with buttons (two alike), a text field, a slider, a nested group and an image
// to capture; a browser beside it.
struct Desktop {
  platform::sim::SimDesktop desktop;
  platform::sim::TestClock clock;
  platform::Platform platform = desktop.platform(clock);
  gui::AXHelper helper{platform};

  Element add(const Element& parent, const std::string& role, std::optional<std::string> title) {
    Element e = desktop.addElement(10, role, std::move(title));
    desktop.addChild(parent, e);
    desktop.attribute(e, "AXEnabled").value = AttributeValue::ofBoolean(true);
    return e;
  }

  Desktop() {
    desktop.addProcess(10, "org.example.App");
    desktop.addProcess(20, "com.google.Chrome").startSeconds = 1700000000;  // started 1700000000.25
    desktop.windowServer.windows = {{10, 0}, {20, 0}};
    desktop.windowServer.hidden = {20};
    Element window = desktop.addWindow(10, "Main");
    desktop.attribute(window, "AXPosition").value = AttributeValue::ofPoint({10, 20});
    desktop.attribute(window, "AXSize").value = AttributeValue::ofSize({64, 48});
    desktop.attribute(window, "AXMinimized").value = AttributeValue::ofBoolean(false);
    desktop.screenCapture.addWindow(77, 10, {10, 20, 64, 48}, "Main");

    for (const char* title : {"Save", "Open"}) desktop.element(add(window, "AXButton", title)).actions = {"AXPress"};
    Element group = add(window, "AXGroup", std::nullopt);
    desktop.element(add(group, "AXButton", "Save")).actions = {"AXPress"};
    Element field = add(group, "AXTextField", std::nullopt);
    desktop.setString(field, "AXValue", "text");
    desktop.setString(field, "AXIdentifier", "field");
    desktop.attribute(field, "AXValue").settable = true;
    Element slider = add(window, "AXSlider", "Level");
    desktop.attribute(slider, "AXValue").value = AttributeValue::ofReal(0.5);
    desktop.attribute(slider, "AXValue").settable = true;
    desktop.element(slider).actions = {"AXIncrement", "AXDecrement"};
  }
};

// The element refs and the observation id of the last successful observation.
struct Latest {
  std::string observation = "none";
  std::vector<std::string> refs;

  // Takes the refs under `node` in the order of a walk that takes a node before its children.
  void collect(const Ordered& node) {
    if (node.is_object() && node.contains("element_ref") && node["element_ref"].is_string())
      refs.push_back(node["element_ref"]);
    if (node.is_structured())
      for (const Ordered& member : node) collect(member);
  }
  std::string substitute(std::string_view line) const {
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '$' && i + 1 < line.size() && line[i + 1] == 'O') {
        out += observation;
        ++i;
      } else if (line[i] == '$' && i + 2 < line.size() && line[i + 1] == 'E') {
        const auto n = static_cast<unsigned char>(line[i + 2]) - '0';
        out += refs.empty() ? std::string("none") : refs[n % refs.size()];
        i += 2;
      } else {
        out += line[i];
      }
    }
    return out;
  }
};

// The response to `line` is well formed and answers it; returns it parsed.
Ordered check(std::string_view line, std::string_view response) {
  const Ordered read = Ordered::parse(response.begin(), response.end(), nullptr, false);
  if (!read.is_object()) fail("response is not a JSON object", line, response);
  if (read.size() != 2 || !read.contains("id") || read["id"].is_structured() ||
      read.contains("result") == read.contains("error"))
    fail("not an envelope", line, response);
  const Ordered request = line.find('\0') == std::string_view::npos && line.size() <= 65536
                              ? Ordered::parse(line.begin(), line.end(), nullptr, false)
                              : Ordered();
  const Ordered* asked = request.is_object() && request.contains("id") ? &request["id"] : nullptr;
  const bool image = request.is_object() && request.contains("include_image") &&
                     request["include_image"] == true;
  if (response.size() + 1 > (image ? 4194304u : 65536u)) fail("response too long", line, response);
  if (read["id"].is_null()) {
    static const std::set<std::string> lineCodes = {"invalid_json", "invalid_input",
                                                    "input_too_large", "internal_error"};
    if (!read.contains("error") || !lineCodes.contains(read["error"].value("code", "")))
      fail("a served request answered with id null", line, response);
    // An id of a plain kind is always echoed.
    const auto* text = asked ? asked->get_ptr<const std::string*>() : nullptr;
    if ((asked && asked->is_number_integer()) || (text && !text->empty() && text->size() <= 64))
      fail("an accepted id was not echoed", line, response);
    return read;
  }
  if (!asked || asked->is_structured() || read["id"] != *asked)
    fail("the id is not the request's", line, response);
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] % 4;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  Desktop d;
  Latest latest;
  std::string fed;  // the bytes the loop was given, after substitution
  std::size_t answered = 0;  // where in `fed` the next line to answer starts
  std::string response;  // the response being written, up to its line feed
  std::size_t offset = 0;
  std::string pending;  // input taken from `input` but not yet handed out
  int images = 0;

  // Each response is checked as it is written, against the line it answers: the lines are
  // answered in order, and a line is whole in `fed` (or is its last, unterminated rest)
  // by the time its answer comes.
  gui::ResponseWriter writer([&](std::string_view bytes) {
    response += bytes;
    if (response.empty() || response.back() != '\n') return;
    if (answered >= fed.size()) fail("more responses than lines", "", response);
    const auto end = fed.find('\n', answered);
    const auto stop = end == std::string::npos ? fed.size() : end;
    const std::string_view line = std::string_view(fed).substr(answered, stop - answered);
    response.pop_back();
    if (response.find('\n') != std::string::npos) fail("a response of several lines", line, response);
    const Ordered read = check(line, response);
    if (mode == 0 && read.contains("result") && read["result"].contains("observation_id")) {
      latest.observation = read["result"]["observation_id"];
      latest.refs.clear();
      latest.collect(read["result"]);
    }
    answered = end == std::string::npos ? fed.size() : end + 1;
    response.clear();
  });
  gui::JSONLinesLoop loop(
      [&](char* buffer, std::size_t capacity) -> ssize_t {
        // Mode 0 hands out one substituted line at a time, the others all the rest as it is.
        if (pending.empty() && offset < input.size()) {
          const auto end = mode == 0 ? input.find('\n', offset) : std::string_view::npos;
          const auto stop = end == std::string_view::npos ? input.size() : end + 1;
          const std::string_view next = input.substr(offset, stop - offset);
          pending = mode == 0 ? latest.substitute(next) : std::string(next);
          offset = stop;
        }
        const std::size_t chunk = mode == 2 ? 1 : mode == 3 ? 13 : capacity;
        const std::size_t n = std::min({capacity, chunk, pending.size()});
        std::memcpy(buffer, pending.data(), n);
        fed.append(pending, 0, n);
        pending.erase(0, n);
        return static_cast<ssize_t>(n);
      },
      [&](const gui::Json& request) {
        // One captured image per input: a capture runs several threads, and a second one
        // reaches nothing the first did not. Later images meet a refused capture instead.
        if (request.is_object() && request.value("include_image", gui::Json()) == true &&
            images++ > 0)
          d.desktop.screenCaptureAllowed = false;
        return d.helper.handle(request);
      },
      writer);
  loop.run();

  if (!response.empty()) fail("a response without its line feed", "", response);
  if (answered != fed.size()) fail("a line went unanswered", std::string_view(fed).substr(answered), "");
  return 0;
}
