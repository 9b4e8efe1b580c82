// Filter matching, one table per rule. Number comparisons are checked against Python's decimal
// and math.nextafter, case-insensitive string rules against str.casefold().
#include "AppMeasurement/features/APMFilterMatching.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <sstream>

#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMEventAggregates.h"
#include "tests/AppMeasurement/features/FilterBuilders.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"

namespace {

using filters::eventFilter;
using filters::filter;
using filters::number;
using filters::propertyFilter;
using filters::string;
using testsupport::D;
using testsupport::I;
using testsupport::S;

std::string show(std::optional<bool> outcome) { return !outcome ? "N" : (*outcome ? "T" : "F"); }

class FilterMatching : public testsupport::ParameterTest {};

// Integers and decimal texts compare exactly as decimals; doubles through the equal band of two
// next-after steps. Python computes every expectation.
TEST_F(FilterMatching, NumberComparisonsAgreeWithPythonDecimalAndNextafter) {
  struct Case {
    int type;
    std::string comparison, min, max;
    char kind;  // 'i' int64, 't' decimal text, 'd' double stepped from `value`
    std::string value;
    int steps;  // next-after steps from the value (doubles only)
  };
  const std::vector<Case> cases = {
      {1, "10", "", "", 'i', "9", 0},
      {1, "10", "", "", 'i', "10", 0},
      {2, "2", "", "", 'i', "3", 0},
      {3, "9007199254740992", "", "", 'i', "9007199254740993", 0},
      {3, "9007199254740993", "", "", 'i', "9007199254740993", 0},
      {3, "-9223372036854775808", "", "", 'i', "-9223372036854775808", 0},
      {2, "9223372036854775806.5", "", "", 'i', "9223372036854775807", 0},
      {4, "", "5", "10", 'i', "5", 0},
      {4, "", "5", "10", 'i', "10", 0},
      {4, "", "5", "10", 'i', "11", 0},
      {4, "", "-.5", "+.5", 'i', "0", 0},
      {3, "1.10", "", "", 't', "1.1", 0},
      {3, "0.1", "", "", 't', ".1", 0},
      {1, "0.30000000000000000000000000000000000001", "", "", 't', "0.3", 0},
      {2, "12345678901234567890.123456789", "", "", 't', "12345678901234567890.123456788", 0},
      {4, "", "1.", "2", 't', "-1.", 0},
      {3, "0.1", "", "", 'd', "0.1", 1},
      {3, "0.1", "", "", 'd', "0.1", -1},
      {3, "0.1", "", "", 'd', "0.1", 2},
      {3, "0.1", "", "", 'd', "0.1", -2},
      {3, "0.1", "", "", 'd', "0.1", 3},
      {3, "+1", "", "", 'd', "1", 0},
      {3, "9007199254740993", "", "", 'd', "9007199254740992", 0},
      {1, "0.3", "", "", 'd', "0.1", 0},
      {2, "-0", "", "", 'd', "0", 1},
      {4, "", "0.1", "0.2", 'd', "0.2", 0},
      {4, "", "0.1", "0.2", 'd', "0.2", 1},
  };
  std::ostringstream program;
  program << "import decimal, math\nD = decimal.Decimal\n"
             "def step(x, n):\n"
             "    for _ in range(abs(n)): x = math.nextafter(x, math.inf if n > 0 else -math.inf)\n"
             "    return x\n"
             "def cmp(t, v, c, lo, hi, band):\n"
             "    if t == 1: return v < c\n"
             "    if t == 2: return v > c\n"
             "    if t == 3: return step(c, -2) < v < step(c, 2) if band else v == c\n"
             "    return lo <= v <= hi\n"
             "cases = [\n";
  for (const Case& c : cases) {
    program << "(" << c.type << ",'" << c.comparison << "','" << c.min << "','" << c.max << "','"
            << c.kind << "','" << c.value << "'," << c.steps << "),\n";
  }
  program << "]\n"
             "for t, c, lo, hi, kind, v, n in cases:\n"
             "    if kind == 'd':\n"
             "        f = lambda s: float(s) if s else 0.0\n"
             "        r = cmp(t, step(float(v), n), f(c), f(lo), f(hi), True)\n"
             "    else:\n"
             "        g = lambda s: D(s) if s else D(0)\n"
             "        r = cmp(t, D(v), g(c), g(lo), g(hi), False)\n"
             "    print('T' if r else 'F')\n";
  std::istringstream expected(testsupport::runPython(program.str()));
  for (const Case& c : cases) {
    std::string line;
    ASSERT_TRUE(std::getline(expected, line)) << "python3 did not answer";
    auto f = number(c.type, c.comparison.empty() ? std::nullopt : std::optional(c.comparison),
                    c.min.empty() ? std::nullopt : std::optional(c.min),
                    c.max.empty() ? std::nullopt : std::optional(c.max));
    std::optional<bool> outcome;
    if (c.kind == 'i') {
      int64_t value = 0;
      std::from_chars(c.value.data(), c.value.data() + c.value.size(), value);
      outcome = APMEvaluateFilter(filter(std::nullopt, f), APMValue(value));
    } else if (c.kind == 't') {
      outcome = APMEvaluateFilter(filter(std::nullopt, f), APMValue(c.value));
    } else {
      double value = std::stod(c.value);
      for (int i = 0; i < std::abs(c.steps); ++i) {
        value = std::nextafter(value, c.steps > 0 ? INFINITY : -INFINITY);
      }
      outcome = APMEvaluateFilter(filter(std::nullopt, f), APMValue(value));
    }
    EXPECT_EQ(show(outcome), line) << c.type << " " << c.comparison << c.min << ".." << c.max
                                   << " vs " << c.kind << c.value << "+" << c.steps;
  }
}

// Begins-with, ends-with, contains, exact and in-list, case-insensitive by default, positions
// in UTF-16 units. Python re-derives each answer with str.casefold().
TEST_F(FilterMatching, StringRulesAgreeWithPythonCasefold) {
  struct Case {
    int type;
    std::string expression;
    bool sensitive;
    std::string value;
  };
  const std::vector<Case> cases = {
      {2, "abc", false, "ABCdef"},
      {2, "abc", true, "ABCdef"},
      {2, "abc", true, "abcdef"},
      {2, "straße", false, "STRASSE und"},
      {3, "DEF", false, "abcdef"},
      {3, "def", true, "abcDEF"},
      {3, "abcdefg", false, "cdefg"},
      {3, "STRASSE", false, "xstraße"},
      {3, "😀b", false, "a😀B"},
      {3, "ss", false, "aß"},
      {4, "CD", false, "abcdef"},
      {4, "CD", true, "abcdef"},
      {4, "ǅ", false, "xǆy"},
      {5, "straße", false, "STRASSE"},
      {5, "STRASSE", false, "strasse"},
      {5, "Σ", false, "ς"},
      {5, "abc", true, "abc"},
      {5, "abc", true, "Abc"},
      {5, "ﬁ", false, "FI"},
      {5, "İ", false, "i̇"},
      {6, "", false, "Beta"},
      {6, "", true, "Beta"},
  };
  const std::vector<std::string> list = {"alpha", "BETA", "gamma"};
  auto hex = [](const std::string& s) {
    return "bytes.fromhex('" + testsupport::hexOf(s) + "').decode()";
  };
  std::ostringstream program;
  program << "L = lambda s: len(s.encode('utf-16-le')) // 2\n"
             "def cut16(s, start):\n"
             "    b = s.encode('utf-16-le')[2 * start:]\n"
             "    return b.decode('utf-16-le', 'ignore')\n"
             "def exact(v, e, cs):\n"
             "    return v == e if cs else L(v) == L(e) and v.casefold().startswith(e.casefold())\n"
             "lst = ['alpha', 'BETA', 'gamma']\n"
             "cases = [\n";
  for (const Case& c : cases) {
    program << "(" << c.type << "," << hex(c.expression) << "," << (c.sensitive ? "True" : "False")
            << "," << hex(c.value) << "),\n";
  }
  program << "]\n"
             "for t, e, cs, v in cases:\n"
             "    f = (lambda s: s) if cs else (lambda s: s.casefold())\n"
             "    if t == 2: r = f(v).startswith(f(e))\n"
             "    elif t == 3: r = v.endswith(e) if cs else L(e) <= L(v) and L(cut16(v, L(v) - "
             "L(e))) == L(e) and f(cut16(v, L(v) - L(e))) == f(e)\n"
             "    elif t == 4: r = f(e) in f(v)\n"
             "    elif t == 5: r = exact(v, e, cs)\n"
             "    else: r = any(exact(v, x, cs) for x in lst)\n"
             "    print('T' if r else 'F')\n";
  std::istringstream expected(testsupport::runPython(program.str()));
  for (const Case& c : cases) {
    std::string line;
    ASSERT_TRUE(std::getline(expected, line)) << "python3 did not answer";
    auto f = c.type == 6 ? string(6, std::nullopt, c.sensitive, list)
                         : string(c.type, c.expression, c.sensitive);
    EXPECT_EQ(show(APMEvaluateStringFilter(f, &c.value)), line)
        << c.type << " '" << c.expression << "' " << c.sensitive << " '" << c.value << "'";
  }
}

// Validity of number and string filters: table order, codes, what is handed back.
TEST_F(FilterMatching, ValidityRulesLogTheirCodes) {
  struct Case {
    std::string label;
    std::function<bool()> check;
    bool valid;
    std::vector<int64_t> codes;
  };
  const std::vector<Case> cases = {
      {"no comparison type", [] { return APMIsValidNumberFilter(number(-1, "1")); }, false, {8006}},
      {"less than without value",
       [] { return APMIsValidNumberFilter(number(1, std::nullopt)); },
       false,
       {8008}},
      {"equal with exponent",
       [] { return APMIsValidNumberFilter(number(3, "1e3")); },
       false,
       {8008}},
      {"greater than NaN", [] { return APMIsValidNumberFilter(number(2, "NaN")); }, false, {8008}},
      {"between, both bad",
       [] { return APMIsValidNumberFilter(number(4, "1", "x", "")); },
       false,
       {8009, 8010}},
      {"between ok",
       [] { return APMIsValidNumberFilter(number(4, std::nullopt, "1", "2")); },
       true,
       {}},
      {"type 0", [] { return APMIsValidNumberFilter(number(0, "1")); }, false, {8007}},
      {"type 7", [] { return APMIsValidNumberFilter(number(7, "1")); }, false, {8011}},
      {"no match type", [] { return APMIsValidStringFilter(string(-1, "a")); }, false, {9000}},
      {"in list empty", [] { return APMIsValidStringFilter(string(6, "a")); }, false, {9003}},
      {"type 0", [] { return APMIsValidStringFilter(string(0, "a")); }, false, {9001}},
      {"no expression",
       [] { return APMIsValidStringFilter(string(2, std::nullopt)); },
       false,
       {9002}},
      {"empty expression", [] { return APMIsValidStringFilter(string(3, "")); }, false, {9002}},
      {"bad regex", [] { return APMIsValidStringFilter(string(1, "a(")); }, false, {9004}},
      {"type 9 with expression", [] { return APMIsValidStringFilter(string(9, "a")); }, true, {}},
      {"type 9 without expression",
       [] { return APMIsValidStringFilter(string(9, std::nullopt)); },
       false,
       {9002}},
  };
  for (const Case& c : cases) {
    clearLog();
    EXPECT_EQ(c.check(), c.valid) << c.label;
    for (int64_t code : c.codes) EXPECT_TRUE(logged(code)) << c.label << " " << code;
  }
}

// A refused filter definition is shown in the line: number and string filters have no
// description of their own, so the line names the filter's class and address.
TEST_F(FilterMatching, RefusalLinesShowTheFilter) {
  struct Case {
    int64_t code;
    std::function<void()> run;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {8006, [] { APMIsValidNumberFilter(number(-1, "1")); }, "<APMPBNumberFilter 0x"},
      {8007, [] { APMIsValidNumberFilter(number(0, "1")); }, "<APMPBNumberFilter 0x"},
      {8008, [] { APMIsValidNumberFilter(number(1, "x")); }, "<APMPBNumberFilter 0x"},
      {8011, [] { APMIsValidNumberFilter(number(7, "1")); }, "<APMPBNumberFilter 0x"},
      {8015,
       [] { APMEvaluateNumberFilterWithDecimal(number(1, "1"), platform::Decimal::notANumber()); },
       "<APMPBNumberFilter 0x"},
      {9004, [] { APMIsValidStringFilter(string(1, "a(")); }, "<APMPBStringFilter 0x"},
  };
  for (const Case& c : cases) {
    clearLog();
    c.run();
    settle();
    char code[16];
    std::snprintf(code, sizeof code, "I-ACS%06lld", static_cast<long long>(c.code));
    std::string line;
    for (const std::string& l : capture.lines()) {
      if (l.find(code) != std::string::npos) line = l;
    }
    EXPECT_NE(line.find(c.shown), std::string::npos) << c.code << ": " << line;
  }
}

// The outcome rules of events, properties and single filters, with their refusal codes.
TEST_F(FilterMatching, OutcomeRulesAndRefusals) {
  auto aggregates = APMEventAggregates::create("buy", /*lifetime=*/5, 0, /*session=*/1, 0);
  ASSERT_TRUE(aggregates);
  auto otherAggregates = APMEventAggregates::create("other", 5, 0, 1, 0);
  const APMValueMap params = {
      {"value", S("12.5")}, {"n", I(3)}, {"name", S("Gold")}, {"d", D(NAN)}};
  auto gt2 = number(2, "2");
  auto attribute = [](std::string name, APMValue value) {
    return APMUserAttribute::create("app", std::move(name), std::move(value), 1);
  };
  struct Case {
    std::string label;
    std::function<std::optional<bool>()> run;
    std::optional<bool> outcome;
    int64_t code;  // 0: none checked
  };
  const std::vector<Case> cases = {
      {"no filter", [&] { return APMEvaluateEventFilter(nullptr, "buy", params, &*aggregates); },
       std::nullopt, 7004},
      {"empty event name",
       [&] {
         auto f = eventFilter(1, "buy", {});
         return APMEvaluateEventFilter(&f, "", params, &*aggregates);
       },
       std::nullopt, 7005},
      {"other name",
       [&] {
         auto f = eventFilter(1, "sell", {});
         return APMEvaluateEventFilter(&f, "buy", params, &*aggregates);
       },
       std::nullopt, 7006},
      {"name only matches every event",
       [&] {
         auto f = eventFilter(1, "buy", {});
         return APMEvaluateEventFilter(&f, "buy", params, nullptr);
       },
       true, 0},
      {"count > 2, lifetime 5",
       [&] {
         auto f = eventFilter(1, "buy", {}, gt2);
         return APMEvaluateEventFilter(&f, "buy", params, &*aggregates);
       },
       true, 0},
      {"count > 2, session 1",
       [&] {
         auto f = eventFilter(1, "buy", {}, gt2, true);
         return APMEvaluateEventFilter(&f, "buy", params, &*aggregates);
       },
       false, 0},
      {"aggregates of another name",
       [&] {
         auto f = eventFilter(1, "buy", {}, gt2);
         return APMEvaluateEventFilter(&f, "buy", params, &*otherAggregates);
       },
       std::nullopt, 7007},
      {"parameter filter without name",
       [&] {
         auto f = eventFilter(1, "buy", {filter(std::nullopt, gt2)});
         return APMEvaluateEventFilter(&f, "buy", params, nullptr);
       },
       std::nullopt, 7008},
      {"missing parameter stays nil even negated",
       [&] {
         auto f = eventFilter(1, "buy", {filter(std::nullopt, gt2, true, "absent")});
         return APMEvaluateEventFilter(&f, "buy", params, nullptr);
       },
       std::nullopt, 7009},
      {"decimal text parameter against a number filter",
       [&] {
         auto f = eventFilter(1, "buy", {filter(std::nullopt, gt2, false, "value")});
         return APMEvaluateEventFilter(&f, "buy", params, nullptr);
       },
       std::nullopt, 7010},
      {"parameters in order, first non-true answers",
       [&] {
         auto f = eventFilter(1, "buy",
                              {filter(std::nullopt, gt2, false, "n"),
                               filter(string(5, "gold"), std::nullopt, true, "name")});
         return APMEvaluateEventFilter(&f, "buy", params, nullptr);
       },
       false, 0},
      {"NaN double parameter",
       [&] {
         auto f = eventFilter(1, "buy", {filter(std::nullopt, gt2, false, "d")});
         return APMEvaluateEventFilter(&f, "buy", params, nullptr);
       },
       std::nullopt, 7002},
      {"decimal text property matched numerically",
       [&] {
         auto f = propertyFilter(1, "tier", filter(std::nullopt, gt2));
         auto a = attribute("tier", S("12.5"));
         return APMEvaluatePropertyFilter(&f, a ? &*a : nullptr);
       },
       true, 0},
      {"property name differs",
       [&] {
         auto f = propertyFilter(1, "tier", filter(std::nullopt, gt2));
         auto a = attribute("rank", I(3));
         return APMEvaluatePropertyFilter(&f, a ? &*a : nullptr);
       },
       std::nullopt, 7013},
      {"property filter without filter",
       [&] {
         auto f = propertyFilter(1, "tier", std::nullopt);
         auto a = attribute("tier", I(3));
         return APMEvaluatePropertyFilter(&f, a ? &*a : nullptr);
       },
       std::nullopt, 7014},
      {"no attribute",
       [&] {
         auto f = propertyFilter(1, "tier", filter(std::nullopt, gt2));
         return APMEvaluatePropertyFilter(&f, nullptr);
       },
       std::nullopt, 7012},
      {"neither filter",
       [&] { return APMEvaluateFilter(filter(std::nullopt, std::nullopt), I(1)); }, std::nullopt,
       7000},
      {"text not numeric", [&] { return APMEvaluateFilter(filter(std::nullopt, gt2), S("3x")); },
       std::nullopt, 7001},
      {"400-digit text",
       [&] { return APMEvaluateFilter(filter(std::nullopt, gt2), S(std::string(400, '9'))); },
       std::nullopt, 0},
      {"number as string filter",
       [&] { return APMEvaluateFilter(filter(string(4, "1"), std::nullopt), I(1)); }, std::nullopt,
       7003},
      {"array value",
       [&] { return APMEvaluateFilter(filter(std::nullopt, gt2), APMValue(APMValue::Array{})); },
       std::nullopt, 0},
      {"negation flips", [&] { return APMEvaluateFilter(filter(std::nullopt, gt2, true), I(3)); },
       false, 0},
      {"one-letter regex searches",
       [&] { return APMEvaluateFilter(filter(string(1, "o"), std::nullopt), S("Gold")); }, true, 0},
      {"regex case sensitive",
       [&] { return APMEvaluateFilter(filter(string(1, "G", true), std::nullopt), S("gold")); },
       false, 0},
      {"type 9 never matches",
       [&] { return APMEvaluateFilter(filter(string(9, "a"), std::nullopt), S("a")); }, false, 0},
      {"invalid string filter",
       [&] { return APMEvaluateFilter(filter(string(2, ""), std::nullopt), S("a")); }, std::nullopt,
       9006},
      {"catastrophic regex times out",
       [&] {
         return APMEvaluateFilter(filter(string(1, "(a+)+$"), std::nullopt),
                                  S(std::string(64, 'a') + "!"));
       },
       std::nullopt, 9007},
      {"invalid UTF-8 value",
       [&] {
         return APMEvaluateFilter(filter(string(4, "b"), std::nullopt), S("a\xff"
                                                                          "b"));
       },
       true, 0},
      {"double comparison text not a number",
       [&] { return APMEvaluateNumberFilterWithDouble(number(3, "1.5"), 1.5); }, true, 0},
  };
  for (const Case& c : cases) {
    clearLog();
    EXPECT_EQ(show(c.run()), show(c.outcome)) << c.label;
    if (c.code) {
      EXPECT_TRUE(logged(c.code)) << c.label << " " << c.code;
    }
  }
}

}  // namespace
