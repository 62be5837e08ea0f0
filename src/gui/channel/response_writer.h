// Everything the helper puts on standard output passes through here: which request ids
// are echoed, the success and error envelopes, the line size limit and the fixed
// fallbacks. Used only from the request thread, one response at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "gui/failure.h"
#include "gui/limits.h"

namespace velmaris::gui {

using Json = nlohmann::json;

// Receives the bytes of the output, one call per write.
using OutputSink = std::function<void(std::string_view bytes)>;

// The line written when a response cannot be serialised at all.
inline constexpr std::string_view internalErrorLine = "{\"error\":{\"code\":\"internal_error\"},\"id\":null}\n";

inline constexpr std::size_t maxResponseIDBytes = 1024;

// The id a response echoes, or nothing when `raw` (the request's "id" member, null
// pointer when missing) is not an accepted id.
std::optional<Json> validResponseID(const Json* raw);

class ResponseWriter {
 public:
  explicit ResponseWriter(OutputSink sink) : sink_(std::move(sink)) {}

  // Writes `object` as one line: the serialised object and the line feed as two writes.
  // A line longer than `maxBytes` (line feed included) is replaced by "response_too_large"
  // with the object's id.
  void emit(const Json& object, std::size_t maxBytes = maxResponseBytes);

  // The error envelope for `code`, with the diagnostic fields of `failure` when given.
  // captureDiagnostic never reaches an error line.
  void emitError(const std::optional<Json>& id, const std::string& code,
                 const HelperFailure* failure = nullptr);

 private:
  // Writes the line and answers true, or answers false (writing nothing) when it is
  // longer than `maxBytes`. An object that cannot be serialised yields the fixed line.
  bool write(const Json& object, std::size_t maxBytes);

  OutputSink sink_;
};

// The error object of an error envelope, members as the client sees them.
Json errorObject(const std::string& code, const HelperFailure* failure);

// Unbuffered write(2) to standard output: each response leaves the process as it is
// written. Short writes are resumed; write errors are ignored (nobody is left to tell).
OutputSink standardOutputSink();

// What that sink does with each piece, through `write` (write(2) in shape): a short write
// goes on where it stopped, EINTR is retried, any other error or a call that takes
// nothing drops the rest.
void writeFully(std::string_view bytes,
                const std::function<long(const char* data, std::size_t size)>& write);

}  // namespace velmaris::gui
