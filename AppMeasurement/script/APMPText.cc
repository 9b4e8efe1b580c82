#include "AppMeasurement/script/APMPText.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <locale.h>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

std::u16string APMPUTF16FromUTF8(std::string_view text) {
  std::u16string out;
  if (text.empty()) return out;
  out.resize(text.size());
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return u"";
  out.resize(static_cast<size_t>(length));
  return out;
}

std::string APMPUTF8FromUTF16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (U_IS_SURROGATE(c)) c = 0xFFFD;
    char buffer[4];
    int32_t n = 0;
    UBool isError = false;
    U8_APPEND(reinterpret_cast<uint8_t*>(buffer), n, 4, c, isError);
    if (isError) continue;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

std::u16string APMPNumberToString(double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
  if (value == 0) return u"0";
  // The shortest round-trip digits in scientific form "d.ddde±x"; they never exceed the
  // formatter's 17 significant digits, so no further rounding is needed.
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
  bool negative = text.front() == '-';
  if (negative) text.remove_prefix(1);
  size_t ePos = text.find('e');
  std::string mantissa(text.substr(0, ePos));
  int exponent = std::atoi(std::string(text.substr(ePos + 1)).c_str());
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits.push_back(c);
  std::string out = negative ? "-" : "";
  double magnitude = std::fabs(value);
  if (magnitude >= 1e-6 && magnitude < 1e21) {
    int pointAt = exponent + 1;  // digits before the decimal point
    int count = static_cast<int>(digits.size());
    if (pointAt <= 0) {
      out += "0.";
      out.append(static_cast<size_t>(-pointAt), '0');
      out += digits;
    } else if (pointAt >= count) {
      out += digits;
      out.append(static_cast<size_t>(pointAt - count), '0');
    } else {
      out += digits.substr(0, static_cast<size_t>(pointAt));
      out += '.';
      out += digits.substr(static_cast<size_t>(pointAt));
    }
  } else {
    out += digits.substr(0, 1);
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    out += std::to_string(std::abs(exponent));
  }
  return std::u16string(out.begin(), out.end());
}

bool APMPIsWhitespaceOrNewline(char16_t unit) {
  if (unit >= 0x09 && unit <= 0x0D) return true;
  if (unit == 0x20 || unit == 0x85 || unit == 0xA0) return true;
  if (unit < 0x80) return false;
  int8_t type = u_charType(unit);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::u16string APMPTrim(std::u16string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && APMPIsWhitespaceOrNewline(text[begin])) ++begin;
  while (end > begin && APMPIsWhitespaceOrNewline(text[end - 1])) --end;
  return std::u16string(text.substr(begin, end - begin));
}

namespace {

// The "C" locale, so that the decimal point is always "." whatever the process locale is.
locale_t CLocale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

double APMPStringToNumber(std::u16string_view input) {
  std::u16string text = APMPTrim(input);
  if (text.empty()) return 0;
  if (text == u"NaN") return std::nan("");
  if (text == u"Infinity") return INFINITY;
  if (text == u"-Infinity") return -INFINITY;
  // Validate the whole text against the decimal grammar, then let strtod read it.
  size_t i = 0, n = text.size();
  if (text[i] == u'+' || text[i] == u'-') ++i;
  size_t intDigits = 0, fracDigits = 0;
  while (i < n && IsDigit(text[i])) ++i, ++intDigits;
  if (i < n && text[i] == u'.') {
    ++i;
    while (i < n && IsDigit(text[i])) ++i, ++fracDigits;
  }
  if (intDigits + fracDigits == 0) return std::nan("");
  if (i < n && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) ++i;
    size_t expDigits = 0;
    while (i < n && IsDigit(text[i])) ++i, ++expDigits;
    if (expDigits == 0) return std::nan("");
  }
  if (i != n) return std::nan("");
  std::string ascii(text.begin(), text.end());
  return strtod_l(ascii.c_str(), nullptr, CLocale());
}

int APMPCompareText(std::u16string_view a, std::u16string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

namespace {

bool AllASCII(std::u16string_view text) {
  for (char16_t c : text)
    if (c >= 0x80) return false;
  return true;
}

// Positions where a match may start or end: not inside a surrogate pair and not before a
// combining mark.
bool IsBoundary(std::u16string_view text, size_t k) {
  if (k == 0 || k >= text.size()) return true;
  if (U16_IS_TRAIL(text[k]) && U16_IS_LEAD(text[k - 1])) return false;
  UChar32 c;
  size_t i = k;
  U16_NEXT(text.data(), i, text.size(), c);
  return u_getCombiningClass(c) == 0;
}

std::u16string Decomposed(std::u16string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return std::u16string(text);
  icu::UnicodeString source(false, text.data(), static_cast<int32_t>(text.size()));
  icu::UnicodeString out = nfd->normalize(source, status);
  if (U_FAILURE(status)) return std::u16string(text);
  return std::u16string(out.getBuffer(), static_cast<size_t>(out.length()));
}

// The text in canonical decomposition, one segment (a starter and its combining marks) at a
// time, with the start of every segment in both texts.
struct Segmented {
  std::u16string decomposed;
  std::vector<size_t> sourceStart;      // ascending, ends with text.size()
  std::vector<size_t> decomposedStart;  // ascending, ends with decomposed.size()
};

Segmented Segment(std::u16string_view text) {
  Segmented out;
  out.decomposed.reserve(text.size());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start + 1;
    while (end < text.size() && !IsBoundary(text, end)) ++end;
    out.sourceStart.push_back(start);
    out.decomposedStart.push_back(out.decomposed.size());
    std::u16string_view piece = text.substr(start, end - start);
    if (piece.size() == 1 && piece[0] < 0xC0)
      out.decomposed += piece;  // nothing below U+00C0 decomposes
    else
      out.decomposed += Decomposed(piece);
    start = end;
  }
  out.sourceStart.push_back(text.size());
  out.decomposedStart.push_back(out.decomposed.size());
  return out;
}

// The segment that starts at decomposed index d, or npos.
size_t SegmentAt(const Segmented& s, size_t d) {
  auto it = std::lower_bound(s.decomposedStart.begin(), s.decomposedStart.end(), d);
  if (it == s.decomposedStart.end() || *it != d) return std::u16string::npos;
  return static_cast<size_t>(it - s.decomposedStart.begin());
}

}  // namespace

APMPTextMatch APMPFindText(std::u16string_view text, std::u16string_view search, size_t from,
                           bool backward) {
  APMPTextMatch match;
  if (search.empty()) return match;
  if (AllASCII(text) || AllASCII(search)) {
    // With an ASCII side, canonical equivalence only adds the boundary rule (an ASCII
    // character may be followed by a combining mark in the text).
    size_t found = backward ? text.rfind(search, from) : text.find(search, from);
    while (found != std::u16string_view::npos) {
      if (AllASCII(text) || (IsBoundary(text, found) && IsBoundary(text, found + search.size()))) {
        match.position = found;
        match.length = search.size();
        return match;
      }
      if (backward) {
        if (found == 0) break;
        found = text.rfind(search, found - 1);
      } else {
        found = text.find(search, found + 1);
      }
    }
    return match;
  }
  std::u16string target = Decomposed(search);
  Segmented segments = Segment(text);
  // The decomposed index of the first segment at or after `from` (or, backward, of the last
  // one at or before it).
  auto fromSegment = std::lower_bound(segments.sourceStart.begin(), segments.sourceStart.end(),
                                      std::min(from, text.size()));
  size_t index = static_cast<size_t>(fromSegment - segments.sourceStart.begin());
  if (backward && (fromSegment == segments.sourceStart.end() || *fromSegment > from) && index > 0)
    --index;
  size_t d = segments.decomposedStart[std::min(index, segments.decomposedStart.size() - 1)];
  size_t found =
      backward ? segments.decomposed.rfind(target, d) : segments.decomposed.find(target, d);
  while (found != std::u16string::npos) {
    size_t first = SegmentAt(segments, found);
    size_t last = SegmentAt(segments, found + target.size());
    if (first != std::u16string::npos && last != std::u16string::npos) {
      match.position = segments.sourceStart[first];
      match.length = segments.sourceStart[last] - match.position;
      return match;
    }
    if (backward) {
      if (found == 0) break;
      found = segments.decomposed.rfind(target, found - 1);
    } else {
      found = segments.decomposed.find(target, found + 1);
    }
  }
  return match;
}
