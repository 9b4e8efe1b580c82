#include "platform/foundation/Decimal.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/foundation/FoundationTestSupport.h"

namespace {

using platform::Decimal;

const std::vector<std::string> kValues = {
    "0",
    "1",
    "-1",
    "1.5",
    "1.50",
    "-2.5",
    "0.1",
    "0.2",
    "0.3",
    ".5",
    "+.5",
    "-.25",
    "5.",
    "0.00012",
    "7e3",
    "1E-20",
    "1e30",
    "-7.25",
    "123456789012345678901234567890.12345678",
    "99999999999999999999999999999999999999",
    "-99999999999999999999999999999999999999",
    "0.99999999999999999999999999999999999999",
    "3.14159265358979323846264338327950288419716939937510",
    "12345678901234567890123456789012345678.5",
    "12345678901234567890123456789012345679.5",
    "-0.000000000000000000000000000000000000001",
    "5e-40",
    "18446744073709551616",
    "-9223372036854775808",
    "9223372036854775807.9",
    "0.000000000000000000001234567890123456789012345678901234567890",
};

TEST(Decimal, ParsesAndPrintsExactly) {
  struct Case {
    const char* text;
    const char* printed;
    bool exact;
  };
  const Case cases[] = {
      {"0", "0", true},
      {"-0", "0", true},
      {"000.000", "0", true},
      {"1.50", "1.5", true},
      {".5", "0.5", true},
      {"-.5", "-0.5", true},
      {"+.5", "0.5", true},
      {"5.", "5", true},
      {"1200", "1200", true},
      {"1.2e3", "1200", true},
      {"1.2E-3", "0.0012", true},
      {"007.0100", "7.01", true},
      {"99999999999999999999999999999999999999", "99999999999999999999999999999999999999", true},
      // 39 digits: rounded half-even to 38.
      {"123456789012345678901234567890123456785", "123456789012345678901234567890123456780", false},
      {"123456789012345678901234567890123456795", "123456789012345678901234567890123456800", false},
      {"999999999999999999999999999999999999995", "1000000000000000000000000000000000000000",
       false},
      {"0.1234567890123456789012345678901234567850000000000001",
       "0.12345678901234567890123456789012345679", false},
      {"1e-300", "0", false},
  };
  for (const auto& c : cases) {
    bool exact = !c.exact;
    Decimal d = Decimal::fromString(c.text, &exact);
    EXPECT_FALSE(d.isNaN()) << c.text;
    EXPECT_EQ(d.toString(), c.printed) << c.text;
    EXPECT_EQ(exact, c.exact) << c.text;
  }
  EXPECT_EQ(Decimal::fromString("1e127").toString(), "1" + std::string(127, '0'));
  EXPECT_EQ(Decimal::fromString("1e-128").toString(), "0." + std::string(127, '0') + "1");
  // Below the exponent range digits are rounded away, half-even.
  EXPECT_EQ(Decimal::fromString("-1.26e-128").toString(), "-0." + std::string(127, '0') + "1");
  EXPECT_EQ(Decimal::fromString("5.5e-129").toString(), "0." + std::string(127, '0') + "1");
  EXPECT_TRUE(Decimal::fromString("5e-129").isZero());
  EXPECT_EQ(Decimal::fromString("1.25e-126").toString(), "0." + std::string(125, '0') + "125");
}

TEST(Decimal, UnparseableTextIsNaN) {
  for (const char* text : {"", "-", "+", ".", "-.", "1e", "1e+", "e5", "1.2.3", "abc", "1 ", " 1",
                           "0x10", "inf", "NaN", "1,000", "1e5.5", "--1", "\xff"}) {
    Decimal d = Decimal::fromString(text);
    EXPECT_TRUE(d.isNaN()) << text;
    EXPECT_EQ(d.toString(), "NaN");
  }
  // Too large for the exponent range.
  EXPECT_TRUE(Decimal::fromString("1e200").isNaN());
  EXPECT_TRUE(Decimal::fromString("1e9999999999999999999999").isNaN());
  EXPECT_TRUE(Decimal::fromString("1e-9999999999999999999999").isZero());
}

TEST(Decimal, NaNIsUnorderedAndPropagates) {
  Decimal nan = Decimal::notANumber();
  Decimal one = Decimal::fromInt64(1);
  EXPECT_FALSE(nan == nan);
  EXPECT_FALSE(nan < one);
  EXPECT_FALSE(nan > one);
  EXPECT_TRUE((nan + one).isNaN());
  EXPECT_TRUE((one * nan).isNaN());
  EXPECT_EQ(nan.toInt64(), 0);
  EXPECT_TRUE(std::isnan(nan.toDouble()));
}

TEST(Decimal, Int64ConversionsAreExactAndSaturate) {
  for (int64_t v : {int64_t{0}, int64_t{1}, int64_t{-1}, int64_t{1234567890123},
                    std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min()}) {
    Decimal d = Decimal::fromInt64(v);
    EXPECT_EQ(d.toInt64(), v);
    EXPECT_EQ(d.toString(), std::to_string(v));
  }
  EXPECT_EQ(Decimal::fromString("-7.9").toInt64(), -7);
  EXPECT_EQ(Decimal::fromString("7.9").toInt64(), 7);
  EXPECT_EQ(Decimal::fromString("1e30").toInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Decimal::fromString("-1e30").toInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Decimal::fromString("9223372036854775808").toInt64(),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Decimal::fromString("-9223372036854775809").toInt64(),
            std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Decimal::fromString("1e-100").toInt64(), 0);
}

TEST(Decimal, ExponentRangeEdges) {
  Decimal big = Decimal::fromString("99999999999999999999999999999999999999e127");
  EXPECT_FALSE(big.isNaN());
  EXPECT_TRUE((big + big).isNaN());
  EXPECT_TRUE((big * Decimal::fromInt64(10)).isNaN());
  Decimal tiny = Decimal::fromString("1e-128");
  EXPECT_TRUE((tiny * Decimal::fromString("0.1")).isZero());
  EXPECT_EQ((tiny * Decimal::fromString("0.6")).toString(), tiny.toString());
  EXPECT_TRUE(tiny > Decimal());
}

// Every operation on each pair, against Python's decimal module with a 38-digit
// half-even context.
void checkAgainstPython(const std::vector<std::pair<std::string, std::string>>& pairs) {
  foundationtest::TempDir dir;
  std::string input;
  for (const auto& [a, b] : pairs) input += a + " " + b + "\n";
  std::string out = foundationtest::runPython(dir, R"(
import sys
from decimal import Decimal, Context, ROUND_HALF_EVEN
ctx = Context(prec=38, rounding=ROUND_HALF_EVEN, Emax=999999, Emin=-999999)
def text(d):
    s = "{:f}".format(d.normalize(ctx))
    return "0" if s in ("0", "-0") else s
for line in sys.stdin:
    a_text, b_text = line.split()
    a = ctx.create_decimal(a_text)
    b = ctx.create_decimal(b_text)
    cmp = (a > b) - (a < b)
    i = int(a)
    i = max(min(i, 2**63 - 1), -2**63)
    print(text(a), text(ctx.add(a, b)), text(ctx.subtract(a, b)), text(ctx.multiply(a, b)),
          cmp, i, repr(float(a)))
)",
                                              input);
  std::istringstream lines(out);
  size_t checked = 0;
  for (const auto& [a, b] : pairs) {
    std::string parsed, sum, difference, product, order, integer, real;
    ASSERT_TRUE(lines >> parsed >> sum >> difference >> product >> order >> integer >> real);
    Decimal x = Decimal::fromString(a);
    Decimal y = Decimal::fromString(b);
    SCOPED_TRACE(a + " and " + b);
    EXPECT_EQ(x.toString(), parsed);
    EXPECT_EQ((x + y).toString(), sum);
    EXPECT_EQ((x - y).toString(), difference);
    EXPECT_EQ((x * y).toString(), product);
    int ours = x < y ? -1 : (x > y ? 1 : 0);
    EXPECT_EQ(std::to_string(ours), order);
    EXPECT_EQ(x == y, order == "0");
    EXPECT_EQ(std::to_string(x.toInt64()), integer);
    EXPECT_EQ(x.toDouble(), std::strtod(real.c_str(), nullptr));
    ++checked;
  }
  EXPECT_EQ(checked, pairs.size());
}

TEST(Decimal, AgreesWithPythonDecimalOnATable) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const auto& a : kValues) {
    for (const auto& b : kValues) pairs.emplace_back(a, b);
  }
  checkAgainstPython(pairs);
}

TEST(Decimal, AgreesWithPythonDecimalOnRandomValues) {
  std::mt19937 random(2024);
  auto value = [&] {
    std::string text = random() % 2 ? "-" : "";
    size_t digits = 1 + random() % 45;
    for (size_t i = 0; i < digits; ++i) {
      // Runs of nines and zeros make carries and ties likely.
      int kind = static_cast<int>(random() % 4);
      text += static_cast<char>(kind == 0 ? '9' : kind == 1 ? '0' : '0' + random() % 10);
    }
    if (random() % 2) text.insert(text.size() - random() % digits, ".");
    if (text.back() == '.' || text.front() == '.') text += "0";
    return text + "e" + std::to_string(static_cast<int>(random() % 61) - 30);
  };
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < 3000; ++i) pairs.emplace_back(value(), value());
  checkAgainstPython(pairs);
}

TEST(Decimal, FarApartOperandsRoundCorrectly) {
  // The small operand only decides the rounding of the last digit.
  Decimal one = Decimal::fromInt64(1);
  Decimal tiny = Decimal::fromString("1e-100");
  EXPECT_EQ((one - tiny).toString(), "1");
  EXPECT_EQ((one + tiny).toString(), "1");
  EXPECT_TRUE(one - tiny < one || (one - tiny) == one);
  Decimal half = Decimal::fromString("12345678901234567890123456789012345678");
  EXPECT_EQ((half + Decimal::fromString("0.5")).toString(),
            "12345678901234567890123456789012345678");
  EXPECT_EQ((half + Decimal::fromString("0.5" + std::string(36, '0') + "1")).toString(),
            "12345678901234567890123456789012345679");
  EXPECT_EQ((half - Decimal::fromString("1e-90")).toString(),
            "12345678901234567890123456789012345678");
  EXPECT_EQ((-half).toString(), "-12345678901234567890123456789012345678");
  EXPECT_TRUE((half - half).isZero());
}

}  // namespace
