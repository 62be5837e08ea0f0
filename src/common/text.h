// Text as people see it: user-perceived characters (extended grapheme clusters), UTF-8
// validity, and canonical equivalence (NFC). Pure functions over UTF-8 bytes; any byte
// sequence is accepted, and an invalid byte counts as a character of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmaris {

struct BoundedText {
  std::string text;
  bool truncated = false;
};

// `text` unchanged when it has at most `limit` characters, else its first `limit`
// characters with truncated set. Never cuts inside a character.
BoundedText bounded(std::string_view text, std::int64_t limit);

// The number of user-perceived characters in `text`.
std::int64_t characterCount(std::string_view text);

bool isValidUTF8(std::string_view text);

// `text` with every byte that does not belong to a well-formed UTF-8 sequence replaced
// by U+FFFD.
std::string sanitizedUTF8(std::string_view text);

// The canonical composed form (NFC), so that precomposed and decomposed spellings of the
// same text compare equal. Invalid bytes are first replaced as in sanitizedUTF8.
std::string nfc(std::string_view text);

}  // namespace velmaris
