#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Unicode helpers over UTF-8 text (what the phone's string type answers in UTF-16 units
// or code points), built on ICU.
//
// Input need not be valid UTF-8: every function treats each ill-formed sequence (each
// maximal invalid subpart) as one U+FFFD REPLACEMENT CHARACTER, so lengths count it once
// and results are always valid UTF-8. Case mapping, folding and normalisation are the
// locale-independent (root) ones. Stateless; every function may be called from any thread.
class Text {
 public:
  static bool isValidUTF8(std::string_view text);
  // The text with each ill-formed sequence replaced by U+FFFD.
  static std::string sanitizedUTF8(std::string_view text);

  // Number of UTF-16 code units (NSString's length).
  static size_t utf16Length(std::string_view text);
  // Number of code points (UTF-32 units).
  static size_t utf32Length(std::string_view text);

  // The characters whose UTF-16 units lie wholly within [start, start + length). A
  // character outside the basic plane that straddles either end is left out rather than
  // split. Out-of-range positions are clamped.
  static std::string substringUTF16(std::string_view text, size_t start, size_t length);
  // The code points [start, start + length), clamped to the text.
  static std::string substringCodePoints(std::string_view text, size_t start, size_t length);
  // The first `count` code points.
  static std::string prefixCodePoints(std::string_view text, size_t count);

  static std::string uppercase(std::string_view text);
  static std::string lowercase(std::string_view text);
  // Full Unicode case folding (for caseless matching).
  static std::string foldCase(std::string_view text);
  // Compares the case-folded texts by code point: negative, zero or positive.
  static int caseInsensitiveCompare(std::string_view a, std::string_view b);
  static bool equalsIgnoringCase(std::string_view a, std::string_view b);
  static bool hasPrefixIgnoringCase(std::string_view text, std::string_view prefix);
  static bool hasSuffixIgnoringCase(std::string_view text, std::string_view suffix);
  static bool containsIgnoringCase(std::string_view text, std::string_view part);

  // Canonical composition (NFC).
  static std::string normalizedNFC(std::string_view text);
};

}  // namespace platform
