// The JSON-lines loop, bytes in and bytes out: framing, line limits, end of input, read
// errors and the one response per line, driven through a scripted input and a stub handler.
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <stdexcept>
#include <string>

#include "gui/channel/json_lines.h"

namespace velmaris::gui {
namespace {

// Serves requests by echoing their "method"; "fail" and "boom" throw.
Json stubHandler(const Json& request) {
  const auto method = request.value("method", std::string());
  if (method == "fail") {
    HelperFailure f = helperError("ax_error", "copy_attribute", "AXRole", -25204);
    throw f;
  }
  if (method == "boom") throw std::runtime_error("unexpected");
  if (method == "big") return Json{{"blob", std::string(100000, 'x')}};
  return Json{{"echo", method}};
}

// One step of scripted input: bytes to hand out, or a read failure with its errno.
struct Step {
  std::string bytes;
  int error = 0;
};

// Feeds `steps` (each read takes at most one step, split into chunk-sized pieces), then end
// of input; returns what was written.
std::string run(std::deque<Step> steps) {
  std::string out;
  ResponseWriter writer([&out](std::string_view bytes) { out += bytes; });
  JSONLinesLoop loop(
      [&steps](char* buffer, std::size_t size) -> ssize_t {
        if (steps.empty()) return 0;
        Step& step = steps.front();
        if (step.error != 0) {
          errno = step.error;
          steps.pop_front();
          return -1;
        }
        const std::size_t n = std::min(size, step.bytes.size());
        std::copy_n(step.bytes.data(), n, buffer);
        step.bytes.erase(0, n);
        if (step.bytes.empty()) steps.pop_front();
        return static_cast<ssize_t>(n);
      },
      stubHandler, writer);
  loop.run();
  return out;
}

std::string runText(const std::string& input) { return run({{input}}); }

const std::string tooLarge = "{\"error\":{\"code\":\"input_too_large\"},\"id\":null}\n";
const std::string invalidJSON = "{\"error\":{\"code\":\"invalid_json\"},\"id\":null}\n";
const std::string invalidInput = "{\"error\":{\"code\":\"invalid_input\"},\"id\":null}\n";

// A request line of exactly `bytes` bytes, line feed not counted.
std::string requestOfSize(std::size_t bytes, const std::string& method = "m") {
  const std::string head = "{\"id\":1,\"method\":\"" + method + "\",\"pad\":\"";
  return head + std::string(bytes - head.size() - 2, 'a') + "\"}";
}

TEST(JSONLinesLoop, LineLimitIsExactAndAnOverlongLineIsAnsweredOnceAtItsLineFeed) {
  EXPECT_EQ(runText(requestOfSize(65536) + "\n"), "{\"id\":1,\"result\":{\"echo\":\"m\"}}\n");

  EXPECT_EQ(runText(requestOfSize(65537) + "\n" + "{\"id\":2,\"method\":\"next\"}\n"),
            tooLarge + "{\"id\":2,\"result\":{\"echo\":\"next\"}}\n");

  // At end of input the over-long line is still answered, once.
  EXPECT_EQ(runText(std::string(70000, 'x')), tooLarge);
  // A line that is only over the limit by its carriage return is over the limit.
  EXPECT_EQ(runText(requestOfSize(65536) + "\r\n"), tooLarge);
}

TEST(JSONLinesLoop, FramingAndEndOfInput) {
  // Two requests in one chunk, in order; CRLF is trailing white space to the parser.
  EXPECT_EQ(runText("{\"id\":1,\"method\":\"a\"}\n{\"id\":2,\"method\":\"b\"}\r\n"),
            "{\"id\":1,\"result\":{\"echo\":\"a\"}}\n{\"id\":2,\"result\":{\"echo\":\"b\"}}\n");
  // A request split across reads, and a last one without a line feed.
  EXPECT_EQ(run({{"{\"id\":1,\"met"}, {"hod\":\"a\"}\n{\"id\":3}"}}),
            "{\"id\":1,\"result\":{\"echo\":\"a\"}}\n{\"id\":3,\"result\":{\"echo\":\"\"}}\n");
  // Nothing after the last line feed: no response.
  EXPECT_EQ(runText(""), "");
}

TEST(JSONLinesLoop, LinesThatAreNotRequests) {
  EXPECT_EQ(runText(" \t\r\n"), invalidJSON);
  EXPECT_EQ(runText("3\n"), invalidJSON);  // a bare scalar is not accepted
  // A raw NUL anywhere, even after a complete request or inside a string.
  EXPECT_EQ(runText(std::string("{\"id\":1}\0{\n", 11)), invalidJSON);
  EXPECT_EQ(runText(std::string("{\"id\":\"a\0\"}\n", 12)), invalidJSON);
  EXPECT_EQ(runText("[1,2]\n"), invalidInput);
  EXPECT_EQ(runText("{}\n"), invalidInput);  // the ids refused are the writer's
  // Deep nesting within the limit neither crashes the parser nor the release of it.
  EXPECT_EQ(runText(std::string(30000, '[') + std::string(30000, ']') + "\n"), invalidInput);
}

TEST(JSONLinesLoop, HandlerOutcomes) {
  EXPECT_EQ(runText("{\"id\":\"r1\",\"method\":\"fail\"}\n"),
            "{\"error\":{\"attribute\":\"AXRole\",\"ax_status\":-25204,\"code\":\"ax_error\","
            "\"stage\":\"copy_attribute\"},\"id\":\"r1\"}\n");
  EXPECT_EQ(runText("{\"id\":4,\"method\":\"boom\"}\n"),
            "{\"error\":{\"code\":\"internal_error\"},\"id\":4}\n");
  // The larger limit belongs to requests that ask for an image with a boolean true.
  EXPECT_EQ(runText("{\"id\":5,\"method\":\"big\"}\n"),
            "{\"error\":{\"code\":\"response_too_large\"},\"id\":5}\n");
  EXPECT_EQ(runText("{\"id\":5,\"method\":\"big\",\"include_image\":1}\n"),
            "{\"error\":{\"code\":\"response_too_large\"},\"id\":5}\n");
  EXPECT_EQ(runText("{\"id\":5,\"method\":\"big\",\"include_image\":true}\n").size(),
            std::string("{\"id\":5,\"result\":{\"blob\":\"\"}}\n").size() + 100000);
}

TEST(JSONLinesLoop, ReadErrors) {
  // EINTR is retried and changes nothing.
  EXPECT_EQ(run({{"{\"id\":1,"}, {"", EINTR}, {"\"method\":\"a\"}\n"}}),
            "{\"id\":1,\"result\":{\"echo\":\"a\"}}\n");

  // Any other error ends the loop with one response; the unfinished line is dropped and
  // nothing after the error is read.
  EXPECT_EQ(run({{"{\"id\":1}\n{\"id\":2}"}, {"", EIO}, {"{\"id\":3}\n"}}),
            "{\"id\":1,\"result\":{\"echo\":\"\"}}\n"
            "{\"error\":{\"code\":\"stdin_error\"},\"id\":null}\n");
}

TEST(JSONLinesLoop, OverlongLineKeepsMemoryBounded) {
  std::string out;
  ResponseWriter writer([&](std::string_view bytes) { out += bytes; });
  constexpr std::size_t total = 100u << 20;
  std::size_t served = 0;
  std::size_t largest = 0;
  JSONLinesLoop* loop = nullptr;
  JSONLinesLoop running(
      [&](char* buffer, std::size_t size) -> ssize_t {
        largest = std::max(largest, loop->lineBufferCapacity());
        if (served > total) return 0;
        EXPECT_EQ(size, readChunkBytes);
        std::fill_n(buffer, size, 'a');
        served += size;
        if (served > total) buffer[size - 1] = '\n';
        return static_cast<ssize_t>(size);
      },
      stubHandler, writer);
  loop = &running;
  running.run();
  EXPECT_LE(largest, static_cast<std::size_t>(maxInputBytes));
  EXPECT_GT(largest, 60000u);  // the buffer did fill before the discard began
  EXPECT_EQ(running.lineBufferCapacity(), 0u);
  EXPECT_EQ(out, tooLarge);
}

}  // namespace
}  // namespace velmaris::gui
