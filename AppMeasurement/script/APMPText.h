#pragma once

#include <string>
#include <string_view>

// Text helpers of the script runtime. Script strings are UTF-16 code units.

// UTF-8 <-> UTF-16. Ill-formed input (a lone surrogate, a bad byte) becomes U+FFFD.
std::u16string APMPUTF16FromUTF8(std::string_view text);
std::string APMPUTF8FromUTF16(std::u16string_view text);

// The number formatting of script values: "NaN", "Infinity", "-Infinity", "0" for both zeros;
// decimal notation for 1e-6 <= |x| < 1e21, scientific ("1e+21", "1.5e-7") otherwise; the
// shortest digits that read back as the same double (at most 17 significant), no grouping.
std::u16string APMPNumberToString(double value);

// The string parsing of script values (never fails): white space and line breaks trimmed;
// empty gives 0; "NaN", "Infinity", "-Infinity"; otherwise one decimal number (optional sign,
// digits with an optional fraction, optional exponent) that must span the whole text, else
// NaN. Out-of-range exponents give an infinity or zero.
double APMPStringToNumber(std::u16string_view text);

// White space and line breaks as the platform's character set counts them (Unicode Z*
// categories, U+0009 to U+000D, U+0085).
bool APMPIsWhitespaceOrNewline(char16_t unit);
std::u16string APMPTrim(std::u16string_view text);

// Ordering of two texts by code unit: -1, 0 or 1.
int APMPCompareText(std::u16string_view a, std::u16string_view b);
// How many leading code units the two texts share: the work of comparing them.
size_t APMPCommonPrefixLength(std::u16string_view a, std::u16string_view b);
// Ordering of two texts by code unit (-1, 0 or 1) that also tells the length of their common
// prefix, the work of the comparison, so that it can be charged.
int APMPCompareTextCounting(std::u16string_view a, std::u16string_view b, size_t& compared);

// The longest text the runtime builds (in code units); longer results fail with error 20.
inline constexpr size_t kAPMPMaximumStringLength = size_t{1} << 24;
