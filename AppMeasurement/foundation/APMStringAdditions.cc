#include "AppMeasurement/foundation/APMStringAdditions.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <array>
#include <cctype>
#include <cstdio>

#include "AppMeasurement/foundation/APMDataAdditions.h"

namespace {

constexpr UChar32 kReplacementCharacter = 0xFFFD;

// Calls visit(codePoint) for every code point of the text, ill-formed bytes giving U+FFFD.
// visit returns false to stop.
template <typename Visitor>
void forEachCodePoint(std::string_view text, Visitor visit) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int64_t length = static_cast<int64_t>(text.size());
  int64_t offset = 0;
  while (offset < length) {
    UChar32 c;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) c = kReplacementCharacter;
    if (!visit(c)) return;
  }
}

bool isValidUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int64_t length = static_cast<int64_t>(text.size());
  int64_t offset = 0;
  while (offset < length) {
    UChar32 c;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) return false;
  }
  return true;
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> apm_MD5String(std::string_view text) {
  if (!isValidUTF8(text)) return std::nullopt;
  std::array<uint8_t, 16> digest = apm_MD5Data(text);
  std::string hex;
  hex.reserve(32);
  static constexpr char kDigits[] = "0123456789abcdef";
  for (uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int high = hexDigitValue(text[i + 1]);
      int low = hexDigitValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      decoded += static_cast<char>((high << 4) | low);
      i += 2;
    } else {
      decoded += c;
    }
  }
  if (!isValidUTF8(decoded)) return std::nullopt;
  return decoded;
}

bool isBitEnabledAtIndex(std::string_view text, int64_t index) {
  if (index < 0) return false;
  int64_t unit = 0;
  bool enabled = false;
  forEachCodePoint(text, [&](UChar32 c) {
    if (unit == index) {
      enabled = c == '1';
      return false;
    }
    unit += U16_LENGTH(c);
    // The index fell on the second half of a surrogate pair: not "1".
    return unit <= index;
  });
  return enabled;
}

size_t apm_UTF32Length(std::string_view text) {
  size_t count = 0;
  forEachCodePoint(text, [&](UChar32) {
    ++count;
    return true;
  });
  return count;
}

bool apm_getUTF32Bytes(std::string_view text, void* buffer, size_t maxBytes, size_t* usedLength) {
  size_t used = 0;
  if (buffer) {
    auto* out = static_cast<uint8_t*>(buffer);
    forEachCodePoint(text, [&](UChar32 c) {
      if (maxBytes - used < 4) return false;
      auto value = static_cast<uint32_t>(c);
      for (int shift = 0; shift < 32; shift += 8)
        out[used++] = static_cast<uint8_t>(value >> shift);
      return true;
    });
  }
  if (usedLength) *usedLength = used;
  return used > 0;
}

bool apm_boolValue(std::string_view text) {
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}
