#include "platform/foundation/Text.h"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/ucasemap.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <memory>

namespace platform {

namespace {

constexpr UChar32 kReplacement = 0xFFFD;

// Decodes the code point at `i` and moves past it. An ill-formed sequence reads as
// U+FFFD and consumes its maximal subpart (the longest prefix of a well-formed sequence,
// at least one byte), as Unicode recommends and ICU does.
UChar32 nextCodePoint(const uint8_t* p, size_t n, size_t& i) {
  uint8_t b = p[i++];
  if (b < 0x80) return b;
  size_t length = 0;
  UChar32 c = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
    c = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    c = b & 0x0F;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    c = b & 0x07;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }
  for (size_t k = 1; k < length; ++k) {
    if (i >= n || p[i] < low || p[i] > high) return kReplacement;
    c = (c << 6) | (p[i++] & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return c;
}

// Walks the text one code point at a time, ill-formed sequences reading as U+FFFD.
template <typename Visit>
void forEachCodePoint(std::string_view text, Visit visit) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    size_t begin = i;
    UChar32 c = nextCodePoint(bytes, text.size(), i);
    if (!visit(c, begin, i)) return;
  }
}

void appendCodePoint(std::string& out, UChar32 c) {
  char buffer[U8_MAX_LENGTH];
  int32_t n = 0;
  UBool error = false;
  U8_APPEND(reinterpret_cast<uint8_t*>(buffer), n, U8_MAX_LENGTH, c, error);
  if (!error) out.append(buffer, static_cast<size_t>(n));
}

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(
      text.data(), static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX))));
}

std::string toUTF8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

enum class CaseOperation { Upper, Lower, Fold };

std::string mapCase(std::string_view text, CaseOperation operation) {
  icu::UnicodeString u = toUnicode(text);
  switch (operation) {
    case CaseOperation::Upper:
      u.toUpper(icu::Locale::getRoot());
      break;
    case CaseOperation::Lower:
      u.toLower(icu::Locale::getRoot());
      break;
    case CaseOperation::Fold:
      u.foldCase(U_FOLD_CASE_DEFAULT);
      break;
  }
  return toUTF8(u);
}

}  // namespace

bool Text::isValidUTF8(std::string_view text) {
  // Well-formed UTF-8 as Unicode defines it (Table 3-7): no overlong forms, no
  // surrogates, nothing above U+10FFFF.
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  size_t n = text.size();
  size_t i = 0;
  auto trail = [&](size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
  while (i < n) {
    uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
    } else if (b >= 0xC2 && b <= 0xDF) {
      if (!trail(1)) return false;
      i += 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      if (!trail(1) || !trail(2)) return false;
      uint8_t b1 = p[i + 1];
      if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F)) return false;
      i += 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      if (!trail(1) || !trail(2) || !trail(3)) return false;
      uint8_t b1 = p[i + 1];
      if ((b == 0xF0 && b1 < 0x90) || (b == 0xF4 && b1 > 0x8F)) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string Text::sanitizedUTF8(std::string_view text) {
  if (isValidUTF8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  forEachCodePoint(text, [&](UChar32 c, size_t, size_t) {
    appendCodePoint(out, c);
    return true;
  });
  return out;
}

size_t Text::utf16Length(std::string_view text) {
  size_t n = 0;
  forEachCodePoint(text, [&](UChar32 c, size_t, size_t) {
    n += U16_LENGTH(c);
    return true;
  });
  return n;
}

size_t Text::utf32Length(std::string_view text) {
  size_t n = 0;
  forEachCodePoint(text, [&](UChar32, size_t, size_t) {
    ++n;
    return true;
  });
  return n;
}

std::string Text::substringUTF16(std::string_view text, size_t start, size_t length) {
  size_t end = length > SIZE_MAX - start ? SIZE_MAX : start + length;
  std::string out;
  size_t unit = 0;
  forEachCodePoint(text, [&](UChar32 c, size_t, size_t) {
    size_t units = U16_LENGTH(c);
    if (unit >= end) return false;
    if (unit >= start && unit + units <= end) appendCodePoint(out, c);
    unit += units;
    return true;
  });
  return out;
}

std::string Text::substringCodePoints(std::string_view text, size_t start, size_t length) {
  size_t end = length > SIZE_MAX - start ? SIZE_MAX : start + length;
  std::string out;
  size_t index = 0;
  forEachCodePoint(text, [&](UChar32 c, size_t, size_t) {
    if (index >= end) return false;
    if (index >= start) appendCodePoint(out, c);
    ++index;
    return true;
  });
  return out;
}

std::string Text::prefixCodePoints(std::string_view text, size_t count) {
  return substringCodePoints(text, 0, count);
}

std::string Text::uppercase(std::string_view text) { return mapCase(text, CaseOperation::Upper); }

std::string Text::lowercase(std::string_view text) { return mapCase(text, CaseOperation::Lower); }

std::string Text::foldCase(std::string_view text) { return mapCase(text, CaseOperation::Fold); }

int Text::caseInsensitiveCompare(std::string_view a, std::string_view b) {
  // Folded UTF-8 compares bytewise in code-point order.
  int c = foldCase(a).compare(foldCase(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool Text::equalsIgnoringCase(std::string_view a, std::string_view b) {
  return caseInsensitiveCompare(a, b) == 0;
}

bool Text::hasPrefixIgnoringCase(std::string_view text, std::string_view prefix) {
  return foldCase(text).starts_with(foldCase(prefix));
}

bool Text::hasSuffixIgnoringCase(std::string_view text, std::string_view suffix) {
  return foldCase(text).ends_with(foldCase(suffix));
}

bool Text::containsIgnoringCase(std::string_view text, std::string_view part) {
  return foldCase(text).find(foldCase(part)) != std::string::npos;
}

std::string Text::normalizedNFC(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) return sanitizedUTF8(text);
  icu::UnicodeString normalized = nfc->normalize(toUnicode(text), status);
  if (U_FAILURE(status)) return sanitizedUTF8(text);
  return toUTF8(normalized);
}

}  // namespace platform
