// The JSON-lines loop: reads standard input in fixed chunks, cuts it into lines at line
// feeds, turns each line into a request and writes exactly one response per line, in
// order. Runs on the one request thread; the answer to a line is completely written
// before the next line is looked at.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "gui/channel/response_writer.h"

namespace velmaris::gui {

class AXHelper;

inline constexpr std::size_t readChunkBytes = 4096;

// Reads like read(2): the number of bytes read, 0 at end of input, or -1 with errno set.
using InputSource = std::function<ssize_t(char* buffer, std::size_t size)>;

// Serves one parsed request: returns its result object or throws (HelperFailure for a
// refusal, anything else for an internal error).
using RequestHandler = std::function<Json(const Json& request)>;

// Answers one line (its bytes without the line feed). Never throws.
void processLine(std::string_view line, const RequestHandler& handler, ResponseWriter& writer);

class JSONLinesLoop {
 public:
  JSONLinesLoop(InputSource input, RequestHandler handler, ResponseWriter& writer);

  // Serves lines until end of input or a read error.
  void run();

  // Storage held for the current line; never more than maxInputBytes.
  std::size_t lineBufferCapacity() const { return line_.capacity(); }

 private:
  void consume(const char* bytes, std::size_t count);
  void appendToLine(const char* bytes, std::size_t count);
  void releaseLine();

  InputSource input_;
  RequestHandler handler_;
  ResponseWriter& writer_;
  // A vector rather than a string: its reserve() allocates exactly what is asked, which
  // keeps the bound exact.
  std::vector<char> line_;
  bool discarding_ = false;
  std::array<char, readChunkBytes> chunk_{};
};

// The loop on descriptor `fd`, serving `helper`, writing through `sink`.
void runJSONLines(int fd, AXHelper& helper, OutputSink sink);

// The helper's whole life after start-up: standard input to standard output. Returns the
// exit status, always 0.
int runHelper(AXHelper& helper);

}  // namespace velmaris::gui
