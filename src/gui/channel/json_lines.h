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

// Answers one parsed request object whose id the loop has accepted: the handler's result,
// or its refusal, as one response with `id`. Never throws.
void answerRequest(const Json& request, const Json& id, const RequestHandler& handler,
                   ResponseWriter& writer);

// Cuts a byte stream into lines at line feeds. A line never holds more than maxInputBytes
// of storage: a longer one is dropped as it arrives and reported once its line feed, or the
// end of input, comes.
class LineFramer {
 public:
  using LineHandler = std::function<void(std::string_view line)>;  // without its line feed
  using TooLargeHandler = std::function<void()>;

  LineFramer(LineHandler line, TooLargeHandler tooLarge)
      : line_(std::move(line)), tooLarge_(std::move(tooLarge)) {}

  void consume(const char* bytes, std::size_t count);
  // End of input: a last line without its line feed still counts.
  void finish();
  // Drops whatever the current line holds, and its storage.
  void release();
  std::size_t capacity() const { return buffer_.capacity(); }

 private:
  void append(const char* bytes, std::size_t count);

  LineHandler line_;
  TooLargeHandler tooLarge_;
  // A vector rather than a string: its reserve() allocates exactly what is asked, which
  // keeps the bound exact.
  std::vector<char> buffer_;
  bool discarding_ = false;
};

class JSONLinesLoop {
 public:
  JSONLinesLoop(InputSource input, RequestHandler handler, ResponseWriter& writer);

  // Serves lines until end of input or a read error.
  void run();

  // Storage held for the current line; never more than maxInputBytes.
  std::size_t lineBufferCapacity() const { return framer_.capacity(); }

 private:
  InputSource input_;
  RequestHandler handler_;
  ResponseWriter& writer_;
  LineFramer framer_;
  std::array<char, readChunkBytes> chunk_{};
};

// The loop on descriptor `fd`, serving `helper`, writing through `sink`.
void runJSONLines(int fd, AXHelper& helper, OutputSink sink);

// The helper's whole life after start-up: standard input to standard output. Returns the
// exit status, always 0.
int runHelper(AXHelper& helper);

}  // namespace velmaris::gui
