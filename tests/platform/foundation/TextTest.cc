#include "platform/foundation/Text.h"

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/foundation/FoundationTestSupport.h"

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

// Mapping, folding and normalisation themselves are compared with Python below; these are the
// case-blind comparisons built on them, and ill-formed input.
TEST(Text, ComparesIgnoringCase) {
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
  EXPECT_EQ(Text::normalizedNFC("a\xff"), "a" + kReplacement);
  EXPECT_EQ(Text::uppercase("a\xff"), "A" + kReplacement);
}

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Random byte strings, biased towards the bytes that make UTF-8 interesting, decoded
// here and by Python (which also replaces each maximal invalid subpart by one U+FFFD).
TEST(Text, DecodesIllFormedInputAsPythonDoes) {
  std::mt19937 random(7);
  const unsigned char interesting[] = {'a',  0x00, 0x7f, 0x80, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1, 0xc2,
                                       0xdf, 0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff, 0x90, 0x8f};
  std::vector<std::string> samples;
  std::string input;
  for (int i = 0; i < 2000; ++i) {
    std::string s;
    size_t length = random() % 8;
    for (size_t k = 0; k < length; ++k) {
      s += static_cast<char>(random() % 3 == 0 ? random() % 256
                                               : interesting[random() % sizeof interesting]);
    }
    samples.push_back(s);
    input += hex(s) + "\n";
  }
  foundationtest::TempDir dir;
  std::string out = foundationtest::runPython(dir, R"(
import sys
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode("utf-8", errors="replace")
    valid = True
    try:
        bytes.fromhex(line.strip()).decode("utf-8")
    except UnicodeDecodeError:
        valid = False
    print(s.encode("utf-8").hex() or "-", len(s.encode("utf-16-le")) // 2, len(s), int(valid))
)",
                                              input);
  std::istringstream lines(out);
  for (const auto& s : samples) {
    std::string sanitized;
    size_t utf16 = 0;
    size_t utf32 = 0;
    int valid = 0;
    ASSERT_TRUE(lines >> sanitized >> utf16 >> utf32 >> valid);
    if (sanitized == "-") sanitized.clear();
    SCOPED_TRACE(hex(s));
    EXPECT_EQ(hex(Text::sanitizedUTF8(s)), sanitized);
    EXPECT_EQ(Text::utf16Length(s), utf16);
    EXPECT_EQ(Text::utf32Length(s), utf32);
    EXPECT_EQ(Text::isValidUTF8(s), valid == 1);
  }
}

TEST(Text, CaseMappingAndNormalisationAgreeWithPython) {
  const std::vector<std::string> samples = {"Hello World",
                                            "stra\xc3\x9f"
                                            "e",
                                            "\xc4\xb0stanbul",
                                            "\xce\xa3\xce\x99\xce\xa3",
                                            "\xef\xac\x81",
                                            "\xc7\x85",
                                            "e\xcc\x81 \xe1\xba\xbf",
                                            "A\xcc\x8a\xe2\x84\xab",
                                            "\xe1\xbe\x88",
                                            "\xd0\x81\xd0\xbb\xd0\xba\xd0\xb0"};
  std::string input;
  for (const auto& s : samples) input += hex(s) + "\n";
  foundationtest::TempDir dir;
  std::string out = foundationtest::runPython(dir, R"(
import sys, unicodedata
for line in sys.stdin:
    s = bytes.fromhex(line.strip()).decode("utf-8")
    print(*(x.encode("utf-8").hex() for x in
            (s.upper(), s.lower(), s.casefold(), unicodedata.normalize("NFC", s))))
)",
                                              input);
  std::istringstream lines(out);
  for (const auto& s : samples) {
    std::string upper, lower, folded, nfc;
    ASSERT_TRUE(lines >> upper >> lower >> folded >> nfc);
    SCOPED_TRACE(s);
    EXPECT_EQ(hex(Text::uppercase(s)), upper);
    EXPECT_EQ(hex(Text::lowercase(s)), lower);
    EXPECT_EQ(hex(Text::foldCase(s)), folded);
    EXPECT_EQ(hex(Text::normalizedNFC(s)), nfc);
  }
}

}  // namespace
