// The number formatting of script values against ICU's number formatter configured as the
// platform's is (en_US, rounding half-up, at most 17 significant digits, decimal style for
// 1e-6 <= |x| < 1e21 and scientific style otherwise, "E-" as "e-", "E" as "e+", no ",").

#include <gtest/gtest.h>
#include <unicode/numberformatter.h>

#include <cmath>
#include <cstring>
#include <random>

#include "AppMeasurement/script/APMPText.h"

namespace {

std::string IcuFormat(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "Infinity" : "-Infinity";
  if (x == 0) return "0";
  using namespace icu::number;
  UErrorCode status = U_ZERO_ERROR;
  double magnitude = std::fabs(x);
  LocalizedNumberFormatter formatter =
      NumberFormatter::withLocale(icu::Locale("en_US"))
          .roundingMode(UNUM_ROUND_HALFUP)
          .precision(Precision::maxSignificantDigits(17))
          .grouping(UNUM_GROUPING_OFF)
          .notation(magnitude >= 1e-6 && magnitude < 1e21 ? Notation::simple()
                                                          : Notation::scientific());
  icu::UnicodeString text = formatter.formatDouble(x, status).toString(status);
  EXPECT_TRUE(U_SUCCESS(status));
  std::string out;
  text.toUTF8String(out);
  std::string replaced;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == ',') continue;
    if (out[i] == 'E') {
      if (i + 1 < out.size() && out[i + 1] == '-') {
        replaced += "e-";
        ++i;
      } else {
        replaced += "e+";
      }
      continue;
    }
    replaced += out[i];
  }
  return replaced;
}

TEST(NumberFormat, AgreesWithIcuFormatter) {
  std::mt19937_64 random(20261206);
  std::vector<double> values = {1,
                                -1,
                                0.5,
                                1e-6,
                                9.99e-7,
                                1e21,
                                9.99e20,
                                123456789012345680000.0,
                                0.1,
                                1.0 / 3,
                                2e-300,
                                1.7976931348623157e308,
                                5e-324,
                                42,
                                -1e-7,
                                1e100,
                                4294967295.0,
                                9007199254740993.0};
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = random();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) values.push_back(d);
    // Also plain decimal magnitudes, where most script numbers live.
    values.push_back(
        std::ldexp(static_cast<double>(random() % 1000000), static_cast<int>(random() % 80) - 40));
  }
  for (double x : values) EXPECT_EQ(APMPUTF8FromUTF16(APMPNumberToString(x)), IcuFormat(x)) << x;
}

}  // namespace
