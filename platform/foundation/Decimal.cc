#include "platform/foundation/Decimal.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace platform {

using U128 = unsigned __int128;

// Arithmetic works on exact decimal digit strings ('0'-'9', most significant first),
// then rounds once to 38 digits, so that every result is the correctly rounded one.
struct DecimalInternals {
  static std::string digitsOf(U128 v) {
    if (v == 0) return "0";
    std::string out;
    while (v != 0) {
      out += static_cast<char>('0' + static_cast<int>(v % 10));
      v /= 10;
    }
    std::reverse(out.begin(), out.end());
    return out;
  }

  static std::string stripLeadingZeros(std::string digits) {
    size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    return digits.substr(first);
  }

  // Builds a decimal from an exact digit string and exponent: rounds half-even to 38
  // digits (with `sticky` telling that nonzero digits below these were already dropped),
  // drops trailing zeros and fits the exponent range.
  static Decimal make(bool negative, std::string digits, int64_t exponent, bool sticky,
                      bool* exact) {
    digits = stripLeadingZeros(std::move(digits));
    bool lost = sticky;
    auto roundTo = [&](size_t keep) {
      // Keeps the first `keep` digits (keep may be 0), rounding half-even.
      size_t drop = digits.size() - keep;
      char roundDigit = digits[keep];
      bool below = digits.find_first_not_of('0', keep + 1) != std::string::npos || sticky;
      bool anyDropped = roundDigit != '0' || below;
      std::string kept = digits.substr(0, keep);
      bool lastOdd = !kept.empty() && ((kept.back() - '0') % 2 == 1);
      bool up = roundDigit > '5' || (roundDigit == '5' && (below || lastOdd));
      if (up) {
        int i = static_cast<int>(kept.size()) - 1;
        while (i >= 0 && kept[static_cast<size_t>(i)] == '9') kept[static_cast<size_t>(i--)] = '0';
        if (i >= 0) {
          ++kept[static_cast<size_t>(i)];
        } else {
          kept.insert(kept.begin(), '1');
        }
      }
      lost = lost || anyDropped;
      sticky = false;
      digits = kept.empty() ? "0" : kept;
      exponent += static_cast<int64_t>(drop);
    };
    if (digits.size() > static_cast<size_t>(Decimal::kMaxDigits)) {
      roundTo(static_cast<size_t>(Decimal::kMaxDigits));
      // Rounding 999...9 up gives 39 digits, the last of them zero.
      if (digits.size() > static_cast<size_t>(Decimal::kMaxDigits)) {
        digits.pop_back();
        ++exponent;
      }
    } else if (sticky) {
      lost = true;  // dropped digits lay below the last one kept; they were below half
    }
    // Too small for the exponent range: drop digits until it fits.
    if (exponent < Decimal::kMinExponent && digits != "0") {
      int64_t drop = Decimal::kMinExponent - exponent;
      if (drop > static_cast<int64_t>(digits.size())) {
        // Everything lies below half of the smallest unit.
        digits.assign(1, '0');
        lost = true;
        exponent = Decimal::kMinExponent;
      } else {
        roundTo(digits.size() - static_cast<size_t>(drop));
      }
    }
    Decimal out;
    if (exact != nullptr) *exact = !lost;
    digits = stripLeadingZeros(std::move(digits));
    if (digits == "0") return out;  // zero, sign dropped
    size_t trailing = digits.size() - 1 - digits.find_last_not_of('0');
    digits.resize(digits.size() - trailing);
    exponent += static_cast<int64_t>(trailing);
    // Too large: move zeros into the coefficient while it has room, else overflow.
    while (exponent > Decimal::kMaxExponent &&
           digits.size() < static_cast<size_t>(Decimal::kMaxDigits)) {
      digits += '0';
      --exponent;
    }
    if (exponent > Decimal::kMaxExponent) return Decimal::notANumber();
    U128 c = 0;
    for (char d : digits) c = c * 10 + static_cast<unsigned>(d - '0');
    out.negative_ = negative;
    out.coefficient_ = c;
    out.exponent_ = static_cast<int>(exponent);
    return out;
  }

  static int compareDigitStrings(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }

  static std::string addDigits(const std::string& a, const std::string& b) {
    std::string out;
    int carry = 0;
    for (size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
      int sum = carry;
      if (i < a.size()) sum += a[a.size() - 1 - i] - '0';
      if (i < b.size()) sum += b[b.size() - 1 - i] - '0';
      out += static_cast<char>('0' + sum % 10);
      carry = sum / 10;
    }
    std::reverse(out.begin(), out.end());
    return out;
  }

  // a - b for a >= b.
  static std::string subtractDigits(const std::string& a, const std::string& b) {
    std::string out;
    int borrow = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      int d = (a[a.size() - 1 - i] - '0') - borrow;
      if (i < b.size()) d -= b[b.size() - 1 - i] - '0';
      borrow = d < 0 ? 1 : 0;
      out += static_cast<char>('0' + d + 10 * borrow);
    }
    std::reverse(out.begin(), out.end());
    return stripLeadingZeros(out);
  }

  static std::string multiplyDigits(const std::string& a, const std::string& b) {
    std::vector<int> product(a.size() + b.size(), 0);
    for (size_t i = a.size(); i-- > 0;) {
      for (size_t j = b.size(); j-- > 0;) {
        product[i + j + 1] += (a[i] - '0') * (b[j] - '0');
      }
    }
    for (size_t k = product.size(); k-- > 1;) {
      product[k - 1] += product[k] / 10;
      product[k] %= 10;
    }
    std::string out;
    for (int d : product) out += static_cast<char>('0' + d);
    return stripLeadingZeros(out);
  }

  static Decimal addSigned(const Decimal& a, bool bNegative, const Decimal& b) {
    if (a.nan_ || b.nan_) return Decimal::notANumber();
    if (b.coefficient_ == 0) return a;
    if (a.coefficient_ == 0) {
      Decimal out = b;
      out.negative_ = bNegative;
      return out;
    }
    // Align to the smaller exponent. When the exponents lie far apart the smaller
    // operand only decides the rounding: it is replaced by a single unit far below the
    // larger operand's last digit (keeping its sign), which rounds the same way.
    const Decimal* hi = &a;
    const Decimal* lo = &b;
    bool hiNegative = a.negative_;
    bool loNegative = bNegative;
    if (a.exponent_ < b.exponent_) {
      std::swap(hi, lo);
      std::swap(hiNegative, loNegative);
    }
    constexpr int64_t kFar = 2 * Decimal::kMaxDigits + 4;
    int64_t shift = static_cast<int64_t>(hi->exponent_) - lo->exponent_;
    std::string loDigits = digitsOf(lo->coefficient_);
    int64_t exponent = lo->exponent_;
    if (shift > kFar) {
      loDigits.assign(1, '1');
      shift = kFar;
      exponent = static_cast<int64_t>(hi->exponent_) - kFar;
    }
    std::string hiDigits =
        digitsOf(hi->coefficient_) + std::string(static_cast<size_t>(shift), '0');
    if (hiNegative == loNegative) {
      return make(hiNegative, addDigits(hiDigits, loDigits), exponent, false, nullptr);
    }
    int order = compareDigitStrings(hiDigits, loDigits);
    if (order == 0) return Decimal();
    if (order > 0)
      return make(hiNegative, subtractDigits(hiDigits, loDigits), exponent, false, nullptr);
    return make(loNegative, subtractDigits(loDigits, hiDigits), exponent, false, nullptr);
  }
};

Decimal Decimal::notANumber() {
  Decimal d;
  d.nan_ = true;
  return d;
}

Decimal Decimal::fromInt64(int64_t value) {
  bool negative = value < 0;
  // The magnitude of INT64_MIN does not fit in int64; compute it unsigned.
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  return DecimalInternals::make(negative, DecimalInternals::digitsOf(magnitude), 0, false, nullptr);
}

Decimal Decimal::fromString(std::string_view text, bool* exact) {
  if (exact != nullptr) *exact = false;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string digits;
  int64_t exponent = 0;
  bool sawDigit = false;
  bool sawPoint = false;
  bool sticky = false;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      sawDigit = true;
      if (digits.empty() && c == '0') {
        if (sawPoint) --exponent;  // leading zeros after the point only scale
        continue;
      }
      // Keep a few digits beyond 38 for rounding; the rest only count as nonzero or not.
      if (digits.size() < static_cast<size_t>(kMaxDigits) + 2) {
        digits += c;
        if (sawPoint) --exponent;
      } else {
        if (c != '0') sticky = true;
        if (!sawPoint) ++exponent;
      }
    } else if (c == '.' && !sawPoint) {
      sawPoint = true;
    } else {
      break;
    }
  }
  if (!sawDigit) return notANumber();
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') return notANumber();
    ++i;
    bool exponentNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exponentNegative = text[i++] == '-';
    if (i == text.size()) return notANumber();
    int64_t written = 0;
    for (; i < text.size(); ++i) {
      if (text[i] < '0' || text[i] > '9') return notANumber();
      // Far beyond any representable exponent the exact size no longer matters.
      if (written < 1000000000) written = written * 10 + (text[i] - '0');
    }
    exponent += exponentNegative ? -written : written;
  }
  if (digits.empty()) {
    if (exact != nullptr) *exact = true;
    return Decimal();
  }
  return DecimalInternals::make(negative, digits, exponent, sticky, exact);
}

std::string Decimal::toString() const {
  if (nan_) return "NaN";
  if (coefficient_ == 0) return "0";
  std::string digits = DecimalInternals::digitsOf(coefficient_);
  std::string out = negative_ ? "-" : "";
  if (exponent_ >= 0) {
    out += digits;
    out.append(static_cast<size_t>(exponent_), '0');
    return out;
  }
  size_t fraction = static_cast<size_t>(-exponent_);
  if (digits.size() > fraction) {
    out += digits.substr(0, digits.size() - fraction);
    out += '.';
    out += digits.substr(digits.size() - fraction);
  } else {
    out += "0.";
    out.append(fraction - digits.size(), '0');
    out += digits;
  }
  return out;
}

int64_t Decimal::toInt64() const {
  if (nan_ || coefficient_ == 0) return 0;
  U128 magnitude = coefficient_;
  bool saturated = false;
  if (exponent_ < 0) {
    for (int i = 0; i < -exponent_ && magnitude != 0; ++i) magnitude /= 10;
  } else {
    for (int i = 0; i < exponent_ && !saturated; ++i) {
      if (magnitude > (static_cast<U128>(1) << 64)) saturated = true;
      magnitude *= 10;
    }
  }
  constexpr U128 kMaxPositive = static_cast<U128>(std::numeric_limits<int64_t>::max());
  if (negative_) {
    if (saturated || magnitude > kMaxPositive + 1) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(0 - static_cast<uint64_t>(magnitude));
  }
  if (saturated || magnitude > kMaxPositive) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(magnitude);
}

double Decimal::toDouble() const {
  if (nan_) return std::numeric_limits<double>::quiet_NaN();
  std::string text = negative_ ? "-" : "";
  text += DecimalInternals::digitsOf(coefficient_);
  text += 'e';
  text += std::to_string(exponent_);
  // strtod rounds decimal text correctly; the text never depends on the locale.
  return std::strtod(text.c_str(), nullptr);
}

Decimal Decimal::operator-() const {
  Decimal out = *this;
  if (!nan_ && coefficient_ != 0) out.negative_ = !negative_;
  return out;
}

Decimal Decimal::operator+(const Decimal& other) const {
  return DecimalInternals::addSigned(*this, other.negative_, other);
}

Decimal Decimal::operator-(const Decimal& other) const {
  return DecimalInternals::addSigned(*this, !other.negative_, other);
}

Decimal Decimal::operator*(const Decimal& other) const {
  if (nan_ || other.nan_) return notANumber();
  if (coefficient_ == 0 || other.coefficient_ == 0) return Decimal();
  return DecimalInternals::make(
      negative_ != other.negative_,
      DecimalInternals::multiplyDigits(DecimalInternals::digitsOf(coefficient_),
                                       DecimalInternals::digitsOf(other.coefficient_)),
      static_cast<int64_t>(exponent_) + other.exponent_, false, nullptr);
}

std::partial_ordering Decimal::operator<=>(const Decimal& other) const {
  if (nan_ || other.nan_) return std::partial_ordering::unordered;
  bool aNegative = isNegative();
  bool bNegative = other.isNegative();
  bool aZero = coefficient_ == 0;
  bool bZero = other.coefficient_ == 0;
  if (aZero && bZero) return std::partial_ordering::equivalent;
  if (aNegative != bNegative || aZero || bZero) {
    auto sign = [](bool zero, bool negative) { return zero ? 0 : (negative ? -1 : 1); };
    return sign(aZero, aNegative) <=> sign(bZero, bNegative);
  }
  // Same sign, both nonzero: compare magnitudes by their leading digit's position, then
  // digit by digit.
  std::string a = DecimalInternals::digitsOf(coefficient_);
  std::string b = DecimalInternals::digitsOf(other.coefficient_);
  int64_t aTop = static_cast<int64_t>(a.size()) + exponent_;
  int64_t bTop = static_cast<int64_t>(b.size()) + other.exponent_;
  int magnitude = 0;
  if (aTop != bTop) {
    magnitude = aTop < bTop ? -1 : 1;
  } else {
    size_t length = std::max(a.size(), b.size());
    a.resize(length, '0');
    b.resize(length, '0');
    int c = a.compare(b);
    magnitude = c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (aNegative) magnitude = -magnitude;
  return magnitude <=> 0;
}

}  // namespace platform
