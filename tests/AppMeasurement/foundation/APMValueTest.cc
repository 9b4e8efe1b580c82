// Typed values, user attributes, raw event data, decimal parsing and random integers.
#include "AppMeasurement/foundation/APMValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMNumericUtil.h"
#include "AppMeasurement/foundation/APMRawEventData.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"

namespace {

using testsupport::D;
using testsupport::I;
using testsupport::S;

class Values : public testsupport::ParameterTest {};

TEST_F(Values, ConversionFromLooseObjects) {
  struct Case {
    std::string label;
    APMObject object;
    bool allowArray;
    std::optional<int64_t> type;
    int64_t logCode;  // 0: none
  };
  const std::vector<Case> cases = {
      {"boolean YES is integer 1", APMObject(true), false, APMValue::kTypeInt64, 0},
      {"integer", APMObject(int64_t{5}), false, APMValue::kTypeInt64, 0},
      {"double", APMObject(5.0), false, APMValue::kTypeDouble, 0},
      {"string", APMObject("s"), false, APMValue::kTypeString, 0},
      {"array allowed", APMObject(platform::Value::Array{1}), true, APMValue::kTypeArray, 0},
      {"array not allowed", APMObject(platform::Value::Array{1}), false, std::nullopt, 35001},
      {"dictionary", APMObject(platform::Value::Dictionary{}), true, std::nullopt, 35001},
      {"invalid UTF-8 is not a string", APMObject(std::string("\xFF")), false, std::nullopt, 35001},
      {"nil", APMObject(), false, std::nullopt, 35000},
  };
  for (const Case& c : cases) {
    clearLog();
    auto value = APMValue::valueFromObject(c.object, c.allowArray);
    EXPECT_EQ(value ? std::optional(value->valueType()) : std::nullopt, c.type) << c.label;
    if (c.logCode) {
      EXPECT_TRUE(logged(c.logCode)) << c.label;
    }
  }
  EXPECT_EQ(APMValue::valueFromObject(APMObject(true))->int64Value(), 1);
  EXPECT_EQ(APMValue::valueFromObject(APMObject(false))->int64Value(), 0);

  struct Failure {
    std::string label;
    bool string;
    APMObject object;
    int64_t code;
  };
  const std::vector<Failure> failures = {
      {"string of nil", true, APMObject(), 35002},
      {"string of number", true, APMObject(1), 35003},
      {"string of bad UTF-8", true, APMObject(std::string("a\xC3")), 35003},
      {"array of nil", false, APMObject(), 35004},
      {"array of string", false, APMObject("x"), 35005},
  };
  for (const Failure& f : failures) {
    clearLog();
    auto value =
        f.string ? APMValue::createWithString(f.object) : APMValue::createWithArray(f.object);
    EXPECT_FALSE(value) << f.label;
    EXPECT_TRUE(logged(f.code)) << f.label;
  }
}

TEST_F(Values, EqualityIsByExactTypeAndValue) {
  struct Case {
    std::string label;
    APMValue a, b;
    bool equal;
  };
  const double nan = std::nan("");
  const std::vector<Case> cases = {
      {"integer 5 vs double 5.0", I(5), D(5.0), false},
      {"strings a", S("a"), S("a"), true},
      {"NaN equals its copy", D(nan), D(nan), true},
      {"infinities", D(HUGE_VAL), D(HUGE_VAL), true},
      {"0.0 and -0.0", D(0.0), D(-0.0), true},
      {"arrays", APMValue(APMValue::Array{APMObject(1)}), APMValue(APMValue::Array{APMObject(1)}),
       true},
      {"array element kinds", APMValue(APMValue::Array{APMObject(1)}),
       APMValue(APMValue::Array{APMObject(1.0)}), false},
      {"designated pair, type differs", APMValue(APMValue::kTypeString, int64_t{1}), I(1), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.label;
    if (c.equal) {
      EXPECT_EQ(c.a.hash(), c.b.hash()) << c.label;
    }
  }
  EXPECT_NE(I(5).hash(), D(5.0).hash());
  // Typed reads never convert.
  EXPECT_EQ(I(7).doubleValue(), 0.0);
  EXPECT_EQ(D(7.5).int64Value(), 0);
  EXPECT_EQ(I(7).stringValue(), nullptr);
  // A pair stored without checks reads as neither kind.
  APMValue odd(APMValue::kTypeDouble, std::make_shared<const std::string>("x"));
  EXPECT_EQ(odd.doubleValue(), 0.0);
  EXPECT_EQ(odd.stringValue(), nullptr);
}

TEST_F(Values, UserAttributes) {
  struct Case {
    std::string label;
    std::string name;
    APMValue value;
    bool created;
  };
  const std::vector<Case> cases = {
      {"plain", "level", S("gold"), true},
      {"36 characters", "level", S(std::string(36, 'x')), true},
      {"37 characters", "level", S(std::string(37, 'x')), false},
      {"_id up to 256", "_id", S(std::string(256, 'x')), true},
      {"_id 257", "_id", S(std::string(257, 'x')), false},
      {"_psmvalue up to 512", "_psmvalue", S(std::string(512, 'x')), true},
      {"empty value", "level", S(""), false},
      {"name 24", std::string(24, 'n'), I(1), true},
      {"name 25", std::string(25, 'n'), I(1), false},
      {"name with a hyphen", "a-b", I(1), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMUserAttribute::create("app", c.name, c.value, 1).has_value(), c.created)
        << c.label;
  }
  struct PublicCase {
    std::string name;
    bool isPublic;
  };
  for (const PublicCase& c : std::vector<PublicCase>{{"level", true}, {"_fot", false}}) {
    EXPECT_EQ(APMUserAttribute::create("app", c.name, I(1), 0)->isPublic(), c.isPublic) << c.name;
  }

  auto attribute = APMUserAttribute::create("app", "level", D(2.5), 1.9999);
  APMPBUserAttribute message = attribute->protoUserAttribute();
  EXPECT_EQ(NANOGetInt64(message, APMPBUserAttribute::kSetTimestampMillis), 1999);
  EXPECT_EQ(NANOGetDouble(message, APMPBUserAttribute::kDoubleValue), 2.5);
  EXPECT_FALSE(NANOHasField(message, APMPBUserAttribute::kIntValue));
  // An array value sets no value field; a time out of range saturates.
  APMUserAttribute array =
      *APMUserAttribute::create("app", "list", APMValue(APMValue::Array{APMObject(1)}), 1e300);
  APMPBUserAttribute arrayMessage = array.protoUserAttribute();
  EXPECT_EQ(NANOGetString(arrayMessage, APMPBUserAttribute::kName), "list");
  EXPECT_EQ(NANOGetInt64(arrayMessage, APMPBUserAttribute::kSetTimestampMillis), INT64_MAX);
  for (uint32_t slot : {APMPBUserAttribute::kIntValue, APMPBUserAttribute::kDoubleValue,
                        APMPBUserAttribute::kStringValue}) {
    EXPECT_FALSE(NANOHasField(arrayMessage, slot));
  }
  auto nanAttribute = APMUserAttribute::create("app", "t", I(1), std::nan(""));
  EXPECT_EQ(
      NANOGetInt64(nanAttribute->protoUserAttribute(), APMPBUserAttribute::kSetTimestampMillis), 0);
}

TEST_F(Values, RawEventData) {
  auto event = std::make_shared<const APMPBEvent>();
  EXPECT_TRUE(APMRawEventData::create(event, 0, 5));
  EXPECT_FALSE(APMRawEventData::create(event, -1, 5));
  EXPECT_TRUE(logged(28001));
  EXPECT_FALSE(APMRawEventData::create(nullptr, 1, 5));
  EXPECT_TRUE(logged(28000));
}

TEST_F(Values, NameTables) {
  EXPECT_EQ(APMEventNameMap().size(), 32u);
  EXPECT_EQ(APMEventParameterNameMap().size(), 55u);
  EXPECT_EQ(APMErrorCodeNames().size(), 25u);
  EXPECT_EQ(APMUserPropertyPublicToInternalNames().size(), 10u);
  EXPECT_EQ(APMEcommerceEventNames().size(), 20u);
  EXPECT_EQ(APMEcommerceParameterNames().size(), 33u);
  // The inverse keeps every internal name once; "_cmp" has two public names.
  EXPECT_EQ(APMInternalEventNameMap().size(), 31u);
  for (const auto& [internal, publicName] : APMInternalEventNameMap()) {
    EXPECT_EQ(APMEventNameMap().at(publicName), internal);
  }
}

// Decimal parsing against Python's decimal module: the same pattern, a 38-digit context and
// the same canonical-text test, computed there with its own arithmetic.
TEST_F(Values, DecimalParsingAgreesWithPythonDecimal) {
  const std::vector<std::string> inputs = {
      "1.50",
      ".5",
      "-.5",
      "+.5",
      "0",
      "-0",
      "00012",
      "1.",
      "1200",
      "0.10",
      "123.456",
      "12345678901234567890123456789012345678",      // 38 digits
      "123456789012345678901234567890123456789",     // 39 digits
      "0.1000000000000000000000000000000000000001",  // 40 digits: substring passes
      "99999999999999999999999999999999999999.5",
      "1e5",
      "",
      "1,5",
      "+",
      ".",
      "-",
      "1.2.3",
      " 1",
      "0x10",
      "\xD9\xA1",  // Arabic-Indic digit one
  };
  std::ostringstream program;
  program << "import decimal, re\n"
             "ctx = decimal.Context(prec=38, rounding=decimal.ROUND_HALF_EVEN)\n"
             "pat = re.compile(r'^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$', re.ASCII)\n"
             "for h in [";
  for (const auto& input : inputs) program << "'" << testsupport::hexOf(input) << "',";
  program << "]:\n"
             "    s = bytes.fromhex(h).decode('utf-8')\n"
             "    if not pat.fullmatch(s):\n"
             "        print('no'); continue\n"
             "    n = ctx.plus(decimal.Decimal(s))\n"
             "    t = s.replace('.', '0.') if s.startswith(('.', '+.', '-.')) else s\n"
             "    c = '{:f}'.format(ctx.abs(n).normalize(ctx)) if n != 0 else '0'\n"
             "    print(c if c in t else 'no')\n";
  std::istringstream expected(testsupport::runPython(program.str()));
  for (const auto& input : inputs) {
    std::string line;
    ASSERT_TRUE(std::getline(expected, line)) << "python3 did not answer";
    auto ours = APMDecimalNumberFromString(input);
    std::string got = ours ? (ours->isNegative() ? -*ours : *ours).toString() : "no";
    EXPECT_EQ(got, line) << "input \"" << input << "\"";
    if (ours && input.starts_with("-") && !ours->isZero()) {
      EXPECT_TRUE(ours->isNegative());
    }
  }
}

TEST_F(Values, RandomIntegersNeverHandOutAnUnfilledBuffer) {
  auto a = APMNumericUtil::randomInt64();
  auto b = APMNumericUtil::randomInt64();
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);

  int calls = 0;
  APMNumericUtil::setRandomSourceForTesting([&](void* buffer, size_t length) {
    if (++calls == 1) return false;  // the first draw fails; a second would succeed
    std::memset(buffer, 0x11, length);
    return true;
  });
  // The failure is a silent warning: never printed, but it becomes the health sample.
  APMMonitor::monitor()->setSampleRandomForTesting([](uint32_t) { return 0u; });
  clearLog();
  // One draw: its failure is the answer, with no second try.
  EXPECT_EQ(APMNumericUtil::randomInt64(), std::nullopt);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(logged(26004));
  clock->advance(10);
  std::string health = APMMonitor::monitor()->monitoringDataForDispatch(1, 0).value_or("");
  EXPECT_TRUE(health.ends_with(":1W_111500:Unable to generate random integer:-")) << health;
  APMNumericUtil::setRandomSourceForTesting(nullptr);
}

}  // namespace
