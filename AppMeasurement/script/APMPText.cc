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
  // Names and most values are ASCII: one code unit per byte.
  if (std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; }))
    return std::u16string(text.begin(), text.end());
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
  if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; }))
    return std::string(text.begin(), text.end());
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

namespace {

std::u16string_view TrimmedView(std::u16string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && APMPIsWhitespaceOrNewline(text[begin])) ++begin;
  while (end > begin && APMPIsWhitespaceOrNewline(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::u16string APMPTrim(std::u16string_view text) { return std::u16string(TrimmedView(text)); }

namespace {

// The "C" locale, so that the decimal point is always "." whatever the process locale is.
locale_t CLocale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

double APMPStringToNumber(std::u16string_view input) {
  std::u16string_view text = TrimmedView(input);
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
  // The text is ASCII now: digits, signs, a point and an exponent mark.
  char buffer[64];
  std::string large;
  char* ascii = buffer;
  if (n >= sizeof(buffer)) {
    large.resize(n);
    ascii = large.data();
  }
  std::transform(text.begin(), text.end(), ascii, [](char16_t c) { return static_cast<char>(c); });
  ascii[n] = '\0';
  return strtod_l(ascii, nullptr, CLocale());
}

int APMPCompareText(std::u16string_view a, std::u16string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

size_t APMPCommonPrefixLength(std::u16string_view a, std::u16string_view b) {
  size_t n = std::min(a.size(), b.size());
  return static_cast<size_t>(
      std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin()).first -
      a.begin());
}

int APMPCompareTextCounting(std::u16string_view a, std::u16string_view b, size_t& compared) {
  compared = APMPCommonPrefixLength(a, b);
  if (compared < a.size() && compared < b.size()) return a[compared] < b[compared] ? -1 : 1;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}
