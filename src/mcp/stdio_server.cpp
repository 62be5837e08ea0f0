// The read-ahead queue and its cancellations. Messages are parsed as they are read, so a
// cancellation can reach a request still waiting in the queue, or the one being served,
// before its answer leaves; every other message, and every framing or parse error, keeps
// its place in the order of the lines.
#include "mcp/stdio_server.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "common/json_writer.h"
#include "gui/limits.h"

namespace velmaris::mcp {

StdioServer::StdioServer(gui::InputSource input, InputReady ready, ToolCaller callTool,
                         gui::OutputSink sink)
    : input_(std::move(input)),
      ready_(std::move(ready)),
      sink_(std::move(sink)),
      session_(std::move(callTool)),
      framer_([this](std::string_view line) { take(line); },
              [this] {
                pending_.push_back(
                    {errorResponse(std::nullopt, kInvalidRequest,
                                   "Invalid Request: message longer than 65536 bytes",
                                   Json{{"max_bytes", gui::maxInputBytes}}),
                     true});
              }) {}

void StdioServer::run() {
  for (;;) {
    if (pending_.empty()) {
      if (ended_) return;
      readChunk();
      continue;
    }
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    if (next.answered) {
      write(next.message);
      continue;
    }
    serving_ = requestID(next.message);
    servingCancelled_ = false;
    const std::optional<Json> answer = session_.handle(next.message);
    readAvailable();  // a cancellation may have come while it ran
    if (answer && !servingCancelled_) write(*answer);
    serving_.reset();
  }
}

bool StdioServer::readChunk() {
  std::array<char, gui::readChunkBytes> chunk;
  for (;;) {
    const ssize_t got = input_(chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got > 0) {
      framer_.consume(chunk.data(), static_cast<std::size_t>(got));
      return true;
    }
    // A last line without its line feed counts at the end of input, not after an error.
    if (got == 0) {
      framer_.finish();
    } else {
      framer_.release();
    }
    ended_ = true;
    return false;
  }
}

void StdioServer::readAvailable() {
  while (!ended_ && pending_.size() < maxPendingMessages && ready_()) readChunk();
}

void StdioServer::take(std::string_view line) {
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return;
  Json message = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  // The reader stops at a NUL byte, which JSON has no place for: no JSON text at all.
  if (message.is_discarded() || line.find('\0') != std::string_view::npos) {
    pending_.push_back({errorResponse(std::nullopt, kParseError, "Parse error"), true});
    return;
  }
  if (const auto cancelled = cancelledRequest(message)) {
    if (serving_ == cancelled) servingCancelled_ = true;
    std::erase_if(pending_, [&cancelled](const Pending& p) {
      return !p.answered && requestID(p.message) == cancelled;
    });
    return;
  }
  pending_.push_back({std::move(message), false});
}

void StdioServer::write(const Json& message) {
  std::optional<std::string> text = writeJSON(message);
  if (!text) {
    text = writeJSON(errorResponse(requestID(message), -32603, "Internal error"));
    if (!text) return;
  }
  text->push_back('\n');
  sink_(*text);
}

void runStdioServer(ToolCaller callTool) {
  StdioServer server(
      [](char* buffer, std::size_t size) { return ::read(STDIN_FILENO, buffer, size); },
      [] {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        return ::poll(&input, 1, 0) > 0;
      },
      std::move(callTool), gui::standardOutputSink());
  server.run();
}

}  // namespace velmaris::mcp
