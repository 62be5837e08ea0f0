// The stdio transport of velmaris-mcp: one JSON-RPC message per line in, one per line out.
// Lines are cut by the helper's own framer (the same 65536-byte limit), messages are
// served one at a time in their order, and a request the client cancels is dropped if it
// has not started, or left unanswered if it has. Single-threaded: input that arrives while
// a request runs is read before its answer is written.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>

#include "gui/channel/json_lines.h"
#include "mcp/protocol.h"

namespace velmaris::mcp {

// Messages read ahead of the one being served, at most: more stay in the pipe.
inline constexpr std::size_t maxPendingMessages = 64;

// Tells, without blocking, whether the input has bytes (or its end) to read.
using InputReady = std::function<bool()>;

class StdioServer {
 public:
  StdioServer(gui::InputSource input, InputReady ready, ToolCaller callTool,
              gui::OutputSink sink);

  // Serves messages until end of input (or a read error) and every message read before it.
  void run();

 private:
  struct Pending {
    Json message;   // the parsed message, or the finished answer
    bool answered;  // true when `message` is the answer (framing and parse errors)
  };

  // Reads one chunk, blocking; false when the input has ended.
  bool readChunk();
  // Reads what is there without waiting, while there is room for more messages.
  void readAvailable();
  void take(std::string_view line);
  void write(const Json& message);

  gui::InputSource input_;
  InputReady ready_;
  gui::OutputSink sink_;
  Session session_;
  gui::LineFramer framer_;
  std::deque<Pending> pending_;
  std::optional<Json> serving_;  // the id of the request being served
  bool servingCancelled_ = false;
  bool ended_ = false;
};

// The server on standard input and output, serving `callTool`.
void runStdioServer(ToolCaller callTool);

}  // namespace velmaris::mcp
