// Response envelopes and the size rule. Serialisation is common/json_writer's; this file
// decides what is written and falls back when the object cannot be written as it is.
#include "gui/channel/response_writer.h"

#include <cerrno>
#include <cmath>

#include <unistd.h>

#include "common/json_writer.h"

namespace velmaris::gui {

std::optional<Json> validResponseID(const Json* raw) {
  if (raw == nullptr) return std::nullopt;
  if (raw->is_string()) {
    const auto& text = raw->get_ref<const std::string&>();
    if (text.empty() || text.size() > maxResponseIDBytes) return std::nullopt;
    return *raw;
  }
  if (raw->is_boolean()) return *raw;
  if (raw->is_number()) {
    if (!std::isfinite(raw->get<double>())) return std::nullopt;
    return *raw;
  }
  return std::nullopt;
}

void ResponseWriter::emit(const Json& object, std::size_t maxBytes) {
  if (write(object, maxBytes)) return;
  Json id = nullptr;
  if (object.is_object()) {
    const auto found = object.find("id");
    if (found != object.end()) id = *found;
  }
  // An accepted id is small, so the replacement fits; an id that is not (only possible
  // for objects the loop did not build) ends in the fixed line instead of a second try.
  if (!write(Json{{"error", Json{{"code", "response_too_large"}}}, {"id", std::move(id)}},
             maxResponseBytes))
    sink_(internalErrorLine);
}

bool ResponseWriter::write(const Json& object, std::size_t maxBytes) {
  const auto text = writeJSON(object);
  if (!text) {
    sink_(internalErrorLine);
    return true;
  }
  if (text->size() + 1 > maxBytes) return false;
  sink_(*text);
  sink_("\n");
  return true;
}

Json errorObject(const std::string& code, const HelperFailure* failure) {
  Json error = Json::object();
  error["code"] = code;
  if (failure != nullptr) {
    if (failure->stage) error["stage"] = *failure->stage;
    if (failure->attribute) error["attribute"] = *failure->attribute;
    if (failure->axStatus) error["ax_status"] = *failure->axStatus;
    if (failure->inputAttempted) error["input_attempted"] = *failure->inputAttempted;
  }
  return error;
}

void ResponseWriter::emitError(const std::optional<Json>& id, const std::string& code,
                               const HelperFailure* failure) {
  emit(Json{{"error", errorObject(code, failure)}, {"id", id ? *id : Json(nullptr)}});
}

void writeFully(std::string_view bytes,
                const std::function<long(const char* data, std::size_t size)>& write) {
  while (!bytes.empty()) {
    const long written = write(bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    // An error, or a call that took nothing and would be asked again forever.
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

OutputSink standardOutputSink() {
  return [](std::string_view bytes) {
    writeFully(bytes, [](const char* data, std::size_t size) -> long {
      return ::write(STDOUT_FILENO, data, size);
    });
  };
}

}  // namespace velmaris::gui
