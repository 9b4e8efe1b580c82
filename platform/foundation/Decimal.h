#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The phone's decimal number type: up to 38 significant decimal digits and a decimal
// exponent from -128 to 127, or NaN ("not a number"). Money and the number filters
// compute in it so that decimal text is never rounded through binary floating point.
//
// Values are exact when they fit; results of arithmetic are rounded half-even to 38
// digits (as Python's decimal module with a 38-digit context). A result too large for the
// exponent range is NaN; one too small becomes 0. NaN propagates through arithmetic and
// compares unordered (not equal to anything, itself included).
//
// A value type, immutable; safe to copy between threads.
class Decimal {
 public:
  static constexpr int kMaxDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  Decimal() = default;  // zero
  static Decimal notANumber();
  static Decimal fromInt64(int64_t value);

  // Parses decimal text: an optional sign, digits with an optional "." (at least one
  // digit in all), and an optional exponent ("e" or "E", optional sign, digits). No
  // spaces, no grouping. Anything else is NaN. More than 38 significant digits are
  // rounded half-even; `exact`, when given, tells whether no digit was lost.
  static Decimal fromString(std::string_view text, bool* exact = nullptr);

  bool isNaN() const { return nan_; }
  bool isZero() const { return !nan_ && coefficient_ == 0; }
  bool isNegative() const { return !nan_ && negative_ && coefficient_ != 0; }

  // Plain decimal text without exponent and without trailing zeros after the point:
  // "1.5", "-0.001", "1200", "0"; "NaN" for NaN.
  std::string toString() const;

  // Truncates toward zero, saturating at the int64 limits; NaN gives 0.
  int64_t toInt64() const;
  // The nearest double (correctly rounded); NaN gives a quiet NaN.
  double toDouble() const;

  Decimal operator-() const;
  Decimal operator+(const Decimal& other) const;
  Decimal operator-(const Decimal& other) const;
  Decimal operator*(const Decimal& other) const;

  // Ordering by value: 1.50 == 1.5, -0 == 0; anything with NaN is unordered.
  std::partial_ordering operator<=>(const Decimal& other) const;
  bool operator==(const Decimal& other) const {
    return (*this <=> other) == std::partial_ordering::equivalent;
  }

 private:
  friend struct DecimalInternals;

  bool nan_ = false;
  bool negative_ = false;
  unsigned __int128 coefficient_ = 0;  // below 10^38, without trailing zeros
  int exponent_ = 0;
};

}  // namespace platform
