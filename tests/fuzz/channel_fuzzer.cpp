// A libFuzzer target over the whole request path on the simulated desktop: bytes are cut
// into lines by the loop, dispatched to every method, and each response is checked to be
// one line of valid JSON with sorted keys, within its size limit, answering its own line.
//
// The first input byte picks how the bytes arrive: one line per read with "$O" and "$E<d>"
// replaced by the last observation id and its d-th element ref (so mutations reach live
// elements), or raw reads of 4096, 1 or 13 bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
using OrderedJson = nlohmann::ordered_json;

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

  void collect(const nlohmann::json& node) {
    if (node.is_object()) {
      if (auto ref = node.find("element_ref"); ref != node.end() && ref->is_string())
        refs.push_back(ref->get<std::string>());
      for (const auto& member : node) collect(member);
    } else if (node.is_array()) {
      for (const auto& item : node) collect(item);
    }
  }
  void see(const std::string& response) {
    if (response.find("\"observation_id\"") == std::string::npos) return;
    nlohmann::json parsed = nlohmann::json::parse(response, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("result")) return;
    const auto& result = parsed["result"];
    if (!result.is_object() || !result.contains("observation_id")) return;
    observation = result["observation_id"].get<std::string>();
    refs.clear();
    collect(result);
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

bool keysSorted(const OrderedJson& value) {
  if (value.is_array()) {
    for (const auto& item : value)
      if (!keysSorted(item)) return false;
  }
  if (!value.is_object()) return true;
  const std::string* previous = nullptr;
  for (const auto& [key, member] : value.items()) {
    if (previous && !(*previous < key)) return false;
    if (!keysSorted(member)) return false;
    previous = &key;
  }
  return true;
}

// The response to `line` is well formed and answers it.
void check(std::string_view line, std::string_view response) {
  const OrderedJson parsed = OrderedJson::parse(response, nullptr, false);
  if (!parsed.is_object()) fail("response is not a JSON object", line, response);
  if (!keysSorted(parsed)) fail("keys out of order", line, response);
  if (parsed.size() != 2 || !parsed.contains("id") ||
      (parsed.contains("result") == parsed.contains("error")))
    fail("not an envelope", line, response);
  const bool nul = line.find('\0') != std::string_view::npos;
  const nlohmann::json request = nul || line.size() > 65536
                                     ? nlohmann::json(nlohmann::json::value_t::discarded)
                                     : nlohmann::json::parse(line, nullptr, false);
  const auto id = request.is_object() ? request.find("id") : request.end();
  const bool image = request.is_object() && request.value("include_image", nlohmann::json()) == true;
  if (response.size() + 1 > (image ? 4194304u : 65536u)) fail("response too long", line, response);
  if (parsed["id"].is_null()) {
    static const std::vector<std::string> lineCodes = {"invalid_json", "invalid_input",
                                                       "input_too_large", "internal_error"};
    const auto& error = parsed.value("error", OrderedJson::object());
    if (std::find(lineCodes.begin(), lineCodes.end(), error.value("code", "")) == lineCodes.end())
      fail("a served request answered with id null", line, response);
    // An id of a plain kind is always echoed.
    const auto* text = id != request.end() ? id->get_ptr<const std::string*>() : nullptr;
    if ((text && !text->empty() && text->size() <= 64) ||
        (id != request.end() && id->is_number_integer()))
      fail("an accepted id was not echoed", line, response);
    return;
  }
  if (id == request.end() || nlohmann::json(parsed["id"]) != *id)
    fail("the id is not the request's", line, response);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int mode = data[0] % 4;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

  Desktop d;
  Latest latest;
  std::string output;
  std::string fed;  // the bytes the loop was given, after substitution
  std::size_t offset = 0;
  std::string pending;  // a substituted line not yet handed out whole

  gui::ResponseWriter writer([&](std::string_view bytes) {
    output += bytes;
    if (mode == 0 && !output.empty() && output.back() == '\n') {
      const auto start = output.rfind('\n', output.size() - 2);
      latest.see(output.substr(start == std::string::npos ? 0 : start + 1));
    }
  });
  gui::JSONLinesLoop loop(
      [&](char* buffer, std::size_t capacity) -> ssize_t {
        if (mode == 0 && pending.empty() && offset < input.size()) {
          const auto end = input.find('\n', offset);
          const auto stop = end == std::string_view::npos ? input.size() : end + 1;
          pending = latest.substitute(input.substr(offset, stop - offset));
          offset = stop;
        }
        std::size_t n = 0;
        if (mode == 0) {
          n = std::min(capacity, pending.size());
          std::memcpy(buffer, pending.data(), n);
          fed.append(pending, 0, n);
          pending.erase(0, n);
        } else {
          const std::size_t chunk = mode == 1 ? capacity : mode == 2 ? 1 : 13;
          n = std::min({capacity, chunk, input.size() - offset});
          std::memcpy(buffer, input.data() + offset, n);
          fed.append(input.substr(offset, n));
          offset += n;
        }
        return static_cast<ssize_t>(n);
      },
      [&](const gui::Json& request) { return d.helper.handle(request); }, writer);
  loop.run();
  // For looking at what a seed reaches: VELMARIS_FUZZ_ECHO=1 velmaris-channel-fuzzer FILE
  if (std::getenv("VELMARIS_FUZZ_ECHO")) std::fwrite(output.data(), 1, output.size(), stderr);

  // One response per line, in order: every line-feed-terminated line and a non-empty rest.
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at < fed.size();) {
    const auto end = fed.find('\n', at);
    if (end == std::string::npos) {
      lines.push_back(std::string_view(fed).substr(at));
      break;
    }
    lines.push_back(std::string_view(fed).substr(at, end - at));
    at = end + 1;
  }
  std::size_t responseStart = 0;
  for (std::string_view line : lines) {
    const auto end = output.find('\n', responseStart);
    if (end == std::string::npos) fail("a line went unanswered", line, "");
    check(line, std::string_view(output).substr(responseStart, end - responseStart));
    responseStart = end + 1;
  }
  if (responseStart != output.size()) fail("more responses than lines", "", output);
  return 0;
}
