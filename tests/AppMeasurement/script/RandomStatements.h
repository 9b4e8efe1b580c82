#pragma once

// Random statement trees of every command code with random literal arguments, for the
// random-program test and the script fuzzer. Choices come from `next`, a source of random
// numbers (a seeded generator, or the fuzzer's input).

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppMeasurement/script/APMPRuntimeValue.h"
#include "AppMeasurement/script/APMPText.h"

namespace script_test {

class RandomStatements {
 public:
  // `hostileLiterals` adds literals that reach the runtime's costly paths: long-text builders,
  // method names, catastrophic patterns, sizes at the bounds.
  RandomStatements(std::function<uint32_t()> next, bool hostileLiterals)
      : next_(std::move(next)), hostile_(hostileLiterals) {}

  APMPValuePtr make(int depth) {
    int pick = static_cast<int>(next_() % 10);
    if (depth <= 0 || pick < 4) return literal();
    APMPValueList arguments;
    int count = static_cast<int>(next_() % 5);
    for (int i = 0; i < count; ++i) arguments.push_back(make(depth - 1));
    std::u16string name = APMPNumberToString(static_cast<double>(next_() % 68));
    if (next_() % 10 == 0) name = hostile_ ? pickText() : u"x";
    return std::make_shared<APMPStatementValue>(name, std::move(arguments));
  }

 private:
  APMPValuePtr literal() {
    switch (next_() % (hostile_ ? 8 : 6)) {
      case 0:
        return APMPNumberValue::make(static_cast<double>(static_cast<int>(next_() % 7) - 2));
      case 1:
        return APMPStringValue::make(next_() % 2 ? u"x" : u"length");
      case 2:
        return APMPBooleanValue::booleanValueWithBool(next_() % 2);
      case 3:
        return APMPNumberValue::make(next_() % 2 ? NAN : 1e10);
      case 4:
        return APMPStringValue::make(u"0");
      case 5:
        return APMPStringValue::make(u"");
      case 6: {
        static const double numbers[] = {22, 40, 1 << 18, 1 << 20, 1 << 22, 4294967295.0, -1, 0.5};
        return APMPNumberValue::make(numbers[next_() % 8]);
      }
      default:
        return APMPStringValue::make(pickText());
    }
  }

  std::u16string pickText() {
    static const char16_t* texts[] = {u"s",
                                      u"a",
                                      u"x",
                                      u"y",
                                      u",",
                                      u"\u00E9",
                                      u"e\u0301",
                                      u"aaaaaaaaaaaaaaaaaaa!",
                                      u"^(a+)+$",
                                      u"split",
                                      u"indexOf",
                                      u"lastIndexOf",
                                      u"replace",
                                      u"match",
                                      u"search",
                                      u"sort",
                                      u"join",
                                      u"concat",
                                      u"push",
                                      u"slice",
                                      u"toUpperCase",
                                      u"map",
                                      u"reduce",
                                      u"unshift",
                                      u"splice",
                                      u"require",
                                      u"internal.platform",
                                      u"toString"};
    return texts[next_() % (sizeof texts / sizeof texts[0])];
  }

  std::function<uint32_t()> next_;
  bool hostile_;
};

}  // namespace script_test
