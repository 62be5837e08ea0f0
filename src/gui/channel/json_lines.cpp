// Line framing, request parsing and the one catching point of every failure. The loop
// knows bytes, lines, ids and the writer; which methods exist is the dispatcher's affair.
#include "gui/channel/json_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <unistd.h>

#include "gui/ax_helper.h"

namespace velmaris::gui {

void processLine(std::string_view line, const RequestHandler& handler, ResponseWriter& writer) {
  if (line.size() > static_cast<std::size_t>(maxInputBytes)) {
    writer.emitError(std::nullopt, "input_too_large");
    return;
  }
  // The reader takes a NUL byte for the end of its input and would serve the line's head;
  // JSON has no place for a raw NUL, so such a line is no JSON text at all.
  const bool hasNul = line.find('\0') != std::string_view::npos;
  Json request = hasNul ? Json(Json::value_t::discarded)
                        : Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  // The top level must be a container: a bare scalar is not a JSON text we accept.
  if (request.is_discarded() || !(request.is_object() || request.is_array())) {
    writer.emitError(std::nullopt, "invalid_json");
    return;
  }
  if (!request.is_object()) {
    writer.emitError(std::nullopt, "invalid_input");
    return;
  }
  const auto idMember = request.find("id");
  const std::optional<Json> id =
      validResponseID(idMember == request.end() ? nullptr : &*idMember);
  if (!id) {
    writer.emitError(std::nullopt, "invalid_input");
    return;
  }
  answerRequest(request, *id, handler, writer);
}

void answerRequest(const Json& request, const Json& id, const RequestHandler& handler,
                   ResponseWriter& writer) {
  std::optional<Json> result;
  std::optional<HelperFailure> failure;
  try {
    result = handler(request);
  } catch (const HelperFailure& f) {
    failure = f;
  } catch (...) {
    failure = helperError("internal_error");
  }
  if (failure) {
    writer.emitError(id, failure->code, &*failure);
    return;
  }
  const auto includeImage = request.find("include_image");
  const bool imageRequested =
      includeImage != request.end() && includeImage->is_boolean() && includeImage->get<bool>();
  writer.emit(Json{{"id", id}, {"result", std::move(*result)}},
              imageRequested ? maxImageResponseBytes : maxResponseBytes);
}

void LineFramer::consume(const char* bytes, std::size_t count) {
  const char* const end = bytes + count;
  const char* cursor = bytes;
  while (cursor < end) {
    const auto* feed = static_cast<const char*>(std::memchr(cursor, '\n', end - cursor));
    const char* runEnd = feed != nullptr ? feed : end;
    const auto runLength = static_cast<std::size_t>(runEnd - cursor);
    // Bytes up to the next line feed, taken as a run. Appending them one by one would
    // give the same result: the byte that finds the buffer full starts the discard, and
    // whatever the buffer held by then is released with it.
    if (!discarding_ && runLength > 0) {
      const auto room = static_cast<std::size_t>(maxInputBytes) - buffer_.size();
      if (runLength > room) {
        discarding_ = true;
        release();
      } else {
        append(cursor, runLength);
      }
    }
    if (feed == nullptr) return;
    if (discarding_) {
      discarding_ = false;
      release();
      tooLarge_();
    } else {
      line_(std::string_view(buffer_.data(), buffer_.size()));
      buffer_.clear();  // keeps the storage for the next line
    }
    cursor = feed + 1;
  }
}

void LineFramer::finish() {
  if (discarding_) {
    discarding_ = false;
    tooLarge_();
  } else if (!buffer_.empty()) {
    line_(std::string_view(buffer_.data(), buffer_.size()));
  }
  release();
}

void LineFramer::append(const char* bytes, std::size_t count) {
  const std::size_t needed = buffer_.size() + count;
  if (needed > buffer_.capacity()) {
    // Grow by doubling as usual, but never past the longest line that can be accepted.
    const std::size_t grown = std::max(needed, std::max<std::size_t>(buffer_.capacity() * 2, 256));
    buffer_.reserve(std::min(grown, static_cast<std::size_t>(maxInputBytes)));
  }
  buffer_.insert(buffer_.end(), bytes, bytes + count);
}

void LineFramer::release() { std::vector<char>().swap(buffer_); }

JSONLinesLoop::JSONLinesLoop(InputSource input, RequestHandler handler, ResponseWriter& writer)
    : input_(std::move(input)),
      handler_(std::move(handler)),
      writer_(writer),
      framer_([this](std::string_view line) { processLine(line, handler_, writer_); },
              [this] { writer_.emitError(std::nullopt, "input_too_large"); }) {}

void JSONLinesLoop::run() {
  for (;;) {
    const ssize_t got = input_(chunk_.data(), chunk_.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      // Whatever was buffered is dropped: the line it belonged to never ended.
      writer_.emitError(std::nullopt, "stdin_error");
      framer_.release();
      return;
    }
    if (got == 0) {
      framer_.finish();
      return;
    }
    framer_.consume(chunk_.data(), static_cast<std::size_t>(got));
  }
}

void runJSONLines(int fd, AXHelper& helper, OutputSink sink) {
  ResponseWriter writer(std::move(sink));
  JSONLinesLoop loop([fd](char* buffer, std::size_t size) { return ::read(fd, buffer, size); },
                     [&helper](const Json& request) { return helper.handle(request); }, writer);
  loop.run();
}

int runHelper(AXHelper& helper) {
  // The program ignores SIGPIPE before this, so a reader that has gone away only makes
  // the writes fail; the loop still ends, with status 0, when its input ends.
  runJSONLines(STDIN_FILENO, helper, standardOutputSink());
  return 0;
}

}  // namespace velmaris::gui
