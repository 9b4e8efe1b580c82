#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "platform/foundation/Decimal.h"

// Whether the text matches "^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$".
bool APMIsDecimalNumberString(std::string_view text);

// An exact decimal number of the text, or nothing: the text must match the pattern above
// (26001), parse as a decimal number (26002), and lose no digit to the 38 digits of
// platform::Decimal (26003: the number's canonical text, of its absolute value, must occur in
// the text, where "." reads "0." when the text begins with ".", "+." or "-.").
std::optional<platform::Decimal> APMDecimalNumberFromString(std::string_view text);

class APMNumericUtil {
 public:
  // Fills the buffer with secure random bytes; false on failure.
  using RandomSource = std::function<bool(void* buffer, size_t length)>;

  // A random signed 64-bit integer from one draw of the secure random source. When the draw
  // fails, 26004 is logged (a silent warning) and the answer is nothing: an unfilled buffer is
  // never handed out as if it were random.
  static std::optional<int64_t> randomInt64();

  // For tests: replaces the random source (null restores getrandom).
  static void setRandomSourceForTesting(RandomSource source);
};
