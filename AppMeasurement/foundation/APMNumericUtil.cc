#include "AppMeasurement/foundation/APMNumericUtil.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/RegularExpression.h"

namespace {

constexpr std::string_view kDecimalPattern = R"(^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$)";

// Compiled on first success; a failed compile is retried at the next call.
std::shared_ptr<const platform::RegularExpression> decimalExpression() {
  static std::mutex& mutex = *new std::mutex();
  static std::shared_ptr<const platform::RegularExpression>& expression =
      *new std::shared_ptr<const platform::RegularExpression>();
  std::lock_guard<std::mutex> lock(mutex);
  if (!expression) {
    auto compiled = platform::RegularExpression::create(
        kDecimalPattern, platform::RegularExpressionOptions{.caseInsensitive = true});
    if (!compiled.ok()) {
      APMMonitor::monitor()->logWithLevel(
          2, 26000, "Unable to initialize decimal number regexp. Regex, error",
          APMLogContext(std::string(kDecimalPattern)),
          APMLogContext(std::string(compiled.status().message())));
      return nullptr;
    }
    expression = *compiled;
  }
  return expression;
}

bool systemRandom(void* buffer, size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t filled = 0;
  while (filled < length) {
    ssize_t n = ::getrandom(bytes + filled, length - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<size_t>(n);
  }
  return true;
}

std::mutex& randomMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

// Guarded by randomMutex().
APMNumericUtil::RandomSource& randomSource() {
  static APMNumericUtil::RandomSource& source = *new APMNumericUtil::RandomSource();
  return source;
}

}  // namespace

bool APMIsDecimalNumberString(std::string_view text) {
  auto expression = decimalExpression();
  if (!expression) return false;
  auto matched = expression->matchesEntireText(text);
  return matched.ok() && *matched;
}

std::optional<platform::Decimal> APMDecimalNumberFromString(std::string_view text) {
  if (!APMIsDecimalNumberString(text)) {
    APMMonitor::monitor()->logWithLevel(2, 26001,
                                        "String value does not represent a numeric value. Value",
                                        APMLogContext(std::string(text)));
    return std::nullopt;
  }
  platform::Decimal number = platform::Decimal::fromString(text);
  if (number.isNaN()) {
    APMMonitor::monitor()->logWithLevel(
        2, 26002, "Unable to create a NSDecimalNumber from string value. Value",
        APMLogContext(std::string(text)));
    return std::nullopt;
  }
  // The copy only feeds the precision check below; the number was parsed from the text.
  std::string compared(text);
  if (compared.starts_with("+.") || compared.starts_with("-.") || compared.starts_with(".")) {
    std::string replaced;
    for (char c : compared) replaced += c == '.' ? std::string("0.") : std::string(1, c);
    compared = std::move(replaced);
  }
  std::string canonical = (number.isNegative() ? -number : number).toString();
  if (compared.find(canonical) == std::string::npos) {
    APMMonitor::monitor()->logWithLevel(
        2, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
        APMLogContext(std::string(text)));
    return std::nullopt;
  }
  return number;
}

std::optional<int64_t> APMNumericUtil::randomInt64() {
  RandomSource source;
  {
    std::lock_guard<std::mutex> lock(randomMutex());
    source = randomSource();
  }
  if (!source) source = systemRandom;
  int64_t value = 0;
  if (source(&value, sizeof value)) return value;
  APMMonitor::monitor()->logWithLevel(5, 26004, "Unable to generate random integer",
                                      APMLogContext(std::string(std::strerror(errno))));
  return std::nullopt;
}

void APMNumericUtil::setRandomSourceForTesting(RandomSource source) {
  std::lock_guard<std::mutex> lock(randomMutex());
  randomSource() = std::move(source);
}
