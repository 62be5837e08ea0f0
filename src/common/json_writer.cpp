// Serialisation in the protocol's fixed form. The keys come out sorted because the object
// type is a std::map<std::string, ...>, whose comparison is unsigned byte order.
#include "common/json_writer.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "common/text.h"

namespace velmaris {
namespace {

constexpr char hexDigits[] = "0123456789abcdef";

void appendString(std::string& out, const std::string& raw) {
  // Strings normally arrive valid; only repair when they do not, to keep the common
  // path free of a copy.
  std::string repaired;
  const std::string* text = &raw;
  if (!isValidUTF8(raw)) {
    repaired = sanitizedUTF8(raw);
    text = &repaired;
  }
  out.push_back('"');
  // Runs of characters that need no escape go out in one append.
  const char* run = text->data();
  const char* const end = run + text->size();
  for (const char* at = run; at != end; ++at) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte >= 0x20 && byte != '"' && byte != '\\' && byte != '/') continue;
    out.append(run, at);
    run = at + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out.push_back(hexDigits[byte >> 4]);
        out.push_back(hexDigits[byte & 0xF]);
    }
  }
  out.append(run, end);
  out.push_back('"');
}

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  char buffer[24];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 24 bytes hold every 64-bit integer
  out.append(buffer, end);
}

bool append(std::string& out, const nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::null: out += "null"; return true;
    case Type::boolean: out += value.get<bool>() ? "true" : "false"; return true;
    case Type::number_integer: appendInteger(out, value.get<std::int64_t>()); return true;
    case Type::number_unsigned: appendInteger(out, value.get<std::uint64_t>()); return true;
    case Type::number_float: {
      const auto text = formatJSONDouble(value.get<double>());
      if (!text) return false;
      out += *text;
      return true;
    }
    case Type::string: appendString(out, value.get_ref<const std::string&>()); return true;
    case Type::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : value) {
        if (!first) out.push_back(',');
        first = false;
        if (!append(out, element)) return false;
      }
      out.push_back(']');
      return true;
    }
    case Type::object: {
      out.push_back('{');
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out.push_back(',');
        first = false;
        appendString(out, it.key());
        out.push_back(':');
        if (!append(out, it.value())) return false;
      }
      out.push_back('}');
      return true;
    }
    case Type::binary:
    case Type::discarded:
      return false;
  }
  return false;
}

}  // namespace

std::optional<std::string> formatJSONDouble(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  // Shortest text that reads back as the same double; an integral value has no fraction.
  char buffer[32];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec != std::errc()) return std::nullopt;
  return std::string(buffer, end);
}

std::optional<std::string> writeJSON(const nlohmann::json& value) {
  std::string out;
  if (!append(out, value)) return std::nullopt;
  return out;
}

}  // namespace velmaris
