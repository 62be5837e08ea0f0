// The one JSON text form the helper writes: compact, keys in byte order at every depth,
// every "/" escaped, UTF-8 strings, numbers in their shortest exact form. Pure functions;
// safe from any thread.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace velmaris {

// The serialised text, or nothing when `value` holds something JSON cannot carry
// (a NaN or infinite number, binary data, a discarded value). Invalid UTF-8 inside a
// string is written as U+FFFD so the line stays valid JSON.
std::optional<std::string> writeJSON(const nlohmann::json& value);

// The text of one floating number as writeJSON writes it, or nothing when not finite.
std::optional<std::string> formatJSONDouble(double value);

}  // namespace velmaris
