// User-perceived characters and canonical equivalence: the counting that label and value
// limits depend on, including text that is not valid UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "common/text.h"

namespace velmaris {
namespace {

TEST(Text, CharactersAreGraphemeClusters) {
  EXPECT_EQ(characterCount(""), 0);
  EXPECT_EQ(characterCount("abc"), 3);
  EXPECT_EQ(characterCount("e\xcc\x81"), 1);                     // e + combining acute
  EXPECT_EQ(characterCount("\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7"), 1);  // ZWJ family
  // Four flags in a row pair up two by two.
  EXPECT_EQ(characterCount("\xf0\x9f\x87\xab\xf0\x9f\x87\xb7\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa"), 2);
}

TEST(Text, BoundedNeverSplitsACharacter) {
  EXPECT_EQ(bounded("abc", 3).text, "abc");
  EXPECT_FALSE(bounded("abc", 3).truncated);
  const BoundedText cut = bounded("abcd", 3);
  EXPECT_EQ(cut.text, "abc");
  EXPECT_TRUE(cut.truncated);

  const std::string accented = "e\xcc\x81" "e\xcc\x81" "e\xcc\x81";
  EXPECT_FALSE(bounded(accented, 3).truncated);
  EXPECT_EQ(bounded(accented, 2).text, "e\xcc\x81" "e\xcc\x81");
  EXPECT_EQ(bounded("x", 0).text, "");
  EXPECT_TRUE(bounded("x", 0).truncated);
  EXPECT_FALSE(bounded("", 0).truncated);
}

TEST(Text, InvalidBytesAreCharactersOfTheirOwn) {
  EXPECT_EQ(characterCount("a\xff\xfe" "b"), 4);
  EXPECT_EQ(characterCount("\xc3"), 1);            // truncated sequence
  EXPECT_EQ(characterCount("\xed\xa0\x80"), 3);     // an encoded surrogate is three bad bytes
  EXPECT_EQ(characterCount("\xff\xcc\x81"), 2);     // a mark does not join an invalid byte
  EXPECT_EQ(bounded("\xff\xfe", 1).text, "\xff");
  EXPECT_FALSE(isValidUTF8("\xc0\xaf"));  // overlong "/"
  EXPECT_TRUE(isValidUTF8("\xf4\x8f\xbf\xbf"));
  EXPECT_EQ(sanitizedUTF8("a\xc0\xaf"), "a\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(Text, CanonicalEquivalence) {
  EXPECT_EQ(nfc("e\xcc\x81"), "\xc3\xa9");
  EXPECT_EQ(nfc(std::string("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(nfc("\xff" "e\xcc\x81"), "\xef\xbf\xbd\xc3\xa9");
  EXPECT_EQ(nfc("\xef\xac\x81"), "\xef\xac\x81");  // the "fi" ligature is no canonical "fi"
  EXPECT_EQ(nfc(""), "");
}

}  // namespace
}  // namespace velmaris
