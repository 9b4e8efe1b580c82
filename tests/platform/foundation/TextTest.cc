#include "platform/foundation/Text.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using platform::Text;

const std::string kEmoji = "\xf0\x9f\x98\x80";  // U+1F600, two UTF-16 units
const std::string kReplacement = "\xef\xbf\xbd";

TEST(Text, RecognisesWellFormedUTF8) {
  EXPECT_TRUE(Text::isValidUTF8(""));
  EXPECT_TRUE(Text::isValidUTF8("plain"));
  EXPECT_TRUE(Text::isValidUTF8("h\xc3\xa9" + kEmoji + "\xf4\x8f\xbf\xbf"));
  const std::string bad[] = {
      "\x80",              // lone continuation
      "\xc3",              // cut short
      "\xc0\xaf",          // overlong
      "\xe0\x80\xaf",      // overlong
      "\xed\xa0\x80",      // surrogate
      "\xf4\x90\x80\x80",  // above U+10FFFF
      "\xf5\x80\x80\x80",  // invalid lead
      "\xff",
      "ok\xe2\x82",  // cut at the end
  };
  for (const auto& text : bad) EXPECT_FALSE(Text::isValidUTF8(text)) << text;
  EXPECT_EQ(Text::sanitizedUTF8("a\xff"
                                "b"),
            "a" + kReplacement + "b");
}

TEST(Text, CountsUTF16UnitsAndCodePoints) {
  struct Case {
    std::string text;
    size_t utf16;
    size_t utf32;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"abc", 3, 3},
      {"h\xc3\xa9", 2, 2},
      {kEmoji + "a", 3, 2},  // one emoji and one letter: 2 code points
      {"\xe2\x82\xac", 1, 1},
      {"a\xff"
       "b",
       3, 3},              // the invalid byte counts as one replacement character
      {"\xe2\x82", 1, 1},  // a cut sequence is one replacement character
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Text::utf16Length(c.text), c.utf16) << c.text;
    EXPECT_EQ(Text::utf32Length(c.text), c.utf32) << c.text;
  }
}

TEST(Text, SlicesWithoutSplittingCharacters) {
  std::string text = "a" + kEmoji + "b\xc3\xa9";  // UTF-16: a, hi, lo, b, e-acute
  EXPECT_EQ(Text::substringUTF16(text, 0, 1), "a");
  EXPECT_EQ(Text::substringUTF16(text, 0, 3), "a" + kEmoji);
  // A range ending or starting inside the surrogate pair leaves the emoji out.
  EXPECT_EQ(Text::substringUTF16(text, 0, 2), "a");
  EXPECT_EQ(Text::substringUTF16(text, 2, 3), "b\xc3\xa9");
  EXPECT_EQ(Text::substringUTF16(text, 3, 100), "b\xc3\xa9");
  EXPECT_EQ(Text::substringUTF16(text, 100, 1), "");
  EXPECT_EQ(Text::substringUTF16(text, 1, SIZE_MAX), kEmoji + "b\xc3\xa9");

  EXPECT_EQ(Text::substringCodePoints(text, 1, 1), kEmoji);
  EXPECT_EQ(Text::substringCodePoints(text, 2, 5), "b\xc3\xa9");
  EXPECT_EQ(Text::prefixCodePoints(text, 2), "a" + kEmoji);
  EXPECT_EQ(Text::prefixCodePoints(text, 0), "");
  // Invalid input yields valid output.
  std::string broken = "ab\xf0\x9f";
  EXPECT_EQ(Text::prefixCodePoints(broken, 3), "ab" + kReplacement);
  EXPECT_TRUE(Text::isValidUTF8(Text::substringUTF16(broken, 0, 10)));
}

TEST(Text, MapsCaseFoldsAndNormalises) {
  EXPECT_EQ(Text::uppercase("stra\xc3\x9f"
                            "e"),
            "STRASSE");
  EXPECT_EQ(Text::lowercase("\xc3\x89T\xc3\x89"), "\xc3\xa9t\xc3\xa9");
  // Root locale: no Turkish dotless i.
  EXPECT_EQ(Text::uppercase("i"), "I");
  EXPECT_EQ(Text::foldCase("Stra\xc3\x9f"
                           "e"),
            "strasse");
  EXPECT_TRUE(Text::equalsIgnoringCase("STRASSE",
                                       "stra\xc3\x9f"
                                       "e"));
  EXPECT_FALSE(Text::equalsIgnoringCase("a", "b"));
  EXPECT_LT(Text::caseInsensitiveCompare("apple", "BANANA"), 0);
  EXPECT_GT(Text::caseInsensitiveCompare("Cherry", "banana"), 0);
  EXPECT_TRUE(Text::hasPrefixIgnoringCase("Purchase_Event", "PURCHASE"));
  EXPECT_TRUE(Text::hasSuffixIgnoringCase("Purchase_Event", "_event"));
  EXPECT_TRUE(Text::containsIgnoringCase("Purchase_Event", "SE_EV"));
  EXPECT_FALSE(Text::containsIgnoringCase("Purchase", "xyz"));
  // e + combining acute composes to the precomposed letter.
  EXPECT_EQ(Text::normalizedNFC("e\xcc\x81"), "\xc3\xa9");
  EXPECT_EQ(Text::normalizedNFC("\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(Text::normalizedNFC("a\xff"), "a" + kReplacement);
  EXPECT_EQ(Text::uppercase("a\xff"), "A" + kReplacement);
}

}  // namespace
