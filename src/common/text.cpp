// Grapheme clusters and normalisation through libutf8proc. utf8proc_iterate rejects
// overlong forms, surrogates and values above U+10FFFF, which is exactly UTF-8 validity.
#include "common/text.h"

#include <cstdlib>

#include <utf8proc.h>

namespace velmaris {
namespace {

constexpr utf8proc_int32_t replacementCharacter = 0xFFFD;

// Decodes the code point at `offset`; an invalid byte decodes as U+FFFD of length 1.
struct Decoded {
  utf8proc_int32_t codepoint;
  std::size_t length;
  bool valid;
};

Decoded decodeAt(std::string_view text, std::size_t offset) {
  utf8proc_int32_t codepoint = 0;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data()) + offset;
  const auto available = static_cast<utf8proc_ssize_t>(text.size() - offset);
  const auto consumed = utf8proc_iterate(bytes, available, &codepoint);
  if (consumed <= 0) return {replacementCharacter, 1, false};
  return {codepoint, static_cast<std::size_t>(consumed), true};
}

// Walks the characters of `text`, calling `onStart(offset)` at the first byte of each;
// stops early when onStart returns false.
template <typename OnStart>
void forEachCharacterStart(std::string_view text, OnStart onStart) {
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = 0;
  bool previousValid = false;  // false before the first character, too
  std::size_t offset = 0;
  while (offset < text.size()) {
    const Decoded d = decodeAt(text, offset);
    // An invalid byte stands alone: it neither joins nor is joined.
    const bool starts = !d.valid || !previousValid ||
                        utf8proc_grapheme_break_stateful(previous, d.codepoint, &state);
    if (!d.valid) state = 0;
    if (starts && !onStart(offset)) return;
    previous = d.codepoint;
    previousValid = d.valid;
    offset += d.length;
  }
}

}  // namespace

BoundedText bounded(std::string_view text, std::int64_t limit) {
  std::int64_t count = 0;
  std::size_t cut = text.size();
  forEachCharacterStart(text, [&](std::size_t offset) {
    if (count == limit || limit < 0) {
      cut = offset;
      return false;
    }
    ++count;
    return true;
  });
  if (cut == text.size()) return {std::string(text), false};
  return {std::string(text.substr(0, cut)), true};
}

std::int64_t characterCount(std::string_view text) {
  std::int64_t count = 0;
  forEachCharacterStart(text, [&](std::size_t) {
    ++count;
    return true;
  });
  return count;
}

bool isValidUTF8(std::string_view text) {
  std::size_t offset = 0;
  while (offset < text.size()) {
    const Decoded d = decodeAt(text, offset);
    if (!d.valid) return false;
    offset += d.length;
  }
  return true;
}

std::string sanitizedUTF8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t offset = 0;
  while (offset < text.size()) {
    const Decoded d = decodeAt(text, offset);
    if (d.valid) {
      out.append(text.substr(offset, d.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    offset += d.length;
  }
  return out;
}

std::string nfc(std::string_view text) {
  const std::string clean = isValidUTF8(text) ? std::string(text) : sanitizedUTF8(text);
  if (clean.empty()) return clean;
  utf8proc_uint8_t* mapped = nullptr;
  // The options of utf8proc_NFC, without NUL termination so embedded NULs survive.
  const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(clean.data()),
                                   static_cast<utf8proc_ssize_t>(clean.size()), &mapped,
                                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0 || mapped == nullptr) {
    std::free(mapped);
    return clean;  // only on allocation failure: the input is valid by now
  }
  std::string out(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
  std::free(mapped);
  return out;
}

}  // namespace velmaris
