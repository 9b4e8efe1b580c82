#include "AppMeasurement/script/APMPStringCommandEvaluator.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPTextSearch.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

using Text = std::u16string;
using View = std::u16string_view;

APMPValuePtr String(Text text) { return APMPStringValue::make(std::move(text)); }
APMPValuePtr String(View text) { return APMPStringValue::make(Text(text)); }
APMPValuePtr String(const char16_t* text) { return APMPStringValue::make(Text(text)); }
APMPValuePtr Number(double value) { return APMPNumberValue::make(value); }

// The string conversion of argument i, "undefined" when absent.
bool TextArgument(const APMPValueList& a, size_t i, Text& out, APMPErrorSlot* error) {
  if (i >= a.size()) {
    out = u"undefined";
    return true;
  }
  out = a[i]->stringValueOrError(error);
  return !APMPHasError(error);
}

// APMPToInteger of argument i's number conversion; `fallback` when absent.
bool IntegerArgument(const APMPValueList& a, size_t i, double fallback, double& out,
                     APMPErrorSlot* error) {
  if (i >= a.size()) {
    out = fallback;
    return true;
  }
  double d = a[i]->doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  out = APMPToInteger(d);
  return true;
}

size_t Clamp(double value, size_t length) {
  if (!(value > 0)) return 0;
  if (value >= static_cast<double>(length)) return length;
  return static_cast<size_t>(value);
}

icu::UnicodeString Unicode(View text) {
  return icu::UnicodeString(text.data(), static_cast<int32_t>(text.size()));
}

Text FromUnicode(const icu::UnicodeString& text) {
  return Text(text.getBuffer(), static_cast<size_t>(text.length()));
}

void SetRegexError(APMPErrorSlot* error, UErrorCode status, View pattern) {
  if (error == nullptr) return;
  platform::Value::Dictionary info;
  info["NSInvalidValue"] = APMPUTF8FromUTF16(pattern);
  info["ICUErrorName"] = std::string(u_errorName(status));
  *error = APMPError{kAPMPRegularExpressionErrorDomain, kAPMPRegularExpressionErrorCode,
                     platform::Value(std::move(info))};
}

// Charges the time of a running match to the run (see kRegularExpressionTimeLimit).
struct MatchClock {
  APMPInstructionCounter* counter;
  int32_t ticks = 0;  // time units this match has used so far
  bool budgetSpent = false;

  static UBool callback(const void* context, int32_t steps) {
    auto* clock = static_cast<MatchClock*>(const_cast<void*>(context));
    int32_t elapsed = steps - clock->ticks;
    clock->ticks = steps;
    if (!APMPChargeWork(static_cast<size_t>(std::max(elapsed, 0)) *
                        APMPStringCommandEvaluator::kRegularExpressionWorkPerTimeUnit)) {
      clock->budgetSpent = true;
      return false;
    }
    return true;
  }
};

// The first match of `pattern` in `text`: its start and end, or npos when none. False with
// the facility's error when the pattern does not compile or the run's matching time is used
// up, with error 18 when the budget is.
bool FirstMatch(View pattern, View text, size_t& start, size_t& end, APMPErrorSlot* error) {
  if (!APMPChargeWork(pattern.size() + text.size(), error)) return false;
  APMPInstructionCounter* counter = APMPCurrentInstructionCounter();
  int32_t limit = APMPStringCommandEvaluator::kRegularExpressionTimeLimit;
  if (counter != nullptr) limit -= counter->regularExpressionTime;
  if (limit <= 0) {
    SetRegexError(error, U_REGEX_TIME_OUT, pattern);
    return false;
  }
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(Unicode(pattern), 0, parseError, status));
  if (U_FAILURE(status)) {
    SetRegexError(error, status, pattern);
    return false;
  }
  icu::UnicodeString subject = Unicode(text);
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(subject, status));
  if (U_FAILURE(status)) {
    SetRegexError(error, status, pattern);
    return false;
  }
  matcher->setTimeLimit(limit, status);
  MatchClock clock{counter};
  matcher->setMatchCallback(&MatchClock::callback, &clock, status);
  bool found = matcher->find(status);
  if (counter != nullptr) counter->regularExpressionTime += clock.ticks;
  if (clock.budgetSpent) {
    APMPSetError(error, APMPErrorCodeInstructionBudget);
    return false;
  }
  if (U_FAILURE(status)) {
    if (status == U_REGEX_TIME_OUT && counter != nullptr)
      counter->regularExpressionTime = APMPStringCommandEvaluator::kRegularExpressionTimeLimit;
    SetRegexError(error, status, pattern);
    return false;
  }
  start = end = Text::npos;
  if (found) {
    start = static_cast<size_t>(matcher->start(status));
    end = static_cast<size_t>(matcher->end(status));
  }
  return true;
}

APMPValuePtr CharAt(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 1, error)) return APMPUndefined();
  double position;
  if (!IntegerArgument(a, 0, 0, position, error)) return APMPUndefined();
  if (position < 0 || position >= static_cast<double>(s.size())) return String(u"");
  return String(Text(1, s[static_cast<size_t>(position)]));
}

APMPValuePtr Concat(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  APMPWorkMeter meter;
  if (!meter.charge(s.size(), error)) return APMPUndefined();
  Text out(s);
  for (const auto& argument : a) {
    size_t before = out.size();
    out += argument->stringValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    if (out.size() > kAPMPMaximumStringLength) {
      APMPSetError(error, APMPErrorCodeTooLarge);
      return APMPUndefined();
    }
    if (!meter.charge(1 + out.size() - before, error)) return APMPUndefined();
  }
  return String(std::move(out));
}

APMPValuePtr HasOwnProperty(View s, const APMPValueList& a, const APMPScopePtr&,
                            APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  Text key = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  if (key == u"length") return APMPBooleanValue::booleanValueWithBool(true);
  double d = a[0]->doubleValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  bool present = d >= 0 && std::trunc(d) == d && d < static_cast<double>(s.size());
  return APMPBooleanValue::booleanValueWithBool(present);
}

APMPValuePtr IndexOf(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  Text search;
  if (!TextArgument(a, 0, search, error)) return APMPUndefined();
  double position;
  if (!IntegerArgument(a, 1, 0, position, error)) return APMPUndefined();
  if (search.empty()) return Number(-1);
  APMPTextMatch found;
  if (!APMPTextSearch(s, search).find(Clamp(position, s.size()), false, found, error))
    return APMPUndefined();
  return Number(found.position == Text::npos ? -1 : static_cast<double>(found.position));
}

APMPValuePtr LastIndexOf(View s, const APMPValueList& a, const APMPScopePtr&,
                         APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  Text search;
  if (!TextArgument(a, 0, search, error)) return APMPUndefined();
  double position = INFINITY;
  if (a.size() > 1) {
    double d = a[1]->doubleValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    position = std::isnan(d) ? INFINITY : APMPToInteger(d);
  }
  if (search.empty()) return Number(-1);
  size_t start = Clamp(position, s.size());
  APMPTextMatch found;
  if (!APMPTextSearch(s, search).find(start, true, found, error)) return APMPUndefined();
  return Number(found.position == Text::npos ? -1 : static_cast<double>(found.position));
}

APMPValuePtr Match(View s, const APMPValueList& a, const APMPScopePtr& scope,
                   APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 1, error)) return APMPUndefined();
  Text pattern;
  if (!a.empty()) {
    pattern = a[0]->stringValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
  }
  if (pattern.empty()) return APMPObjectManager::arrayValueWithArray({String(u"")}, scope);
  size_t start, end;
  if (!FirstMatch(pattern, s, start, end, error)) return APMPNull();
  if (start == Text::npos) return APMPNull();
  return APMPObjectManager::arrayValueWithArray({String(s.substr(start, end - start))}, scope);
}

APMPValuePtr Replace(View s, const APMPValueList& a, const APMPScopePtr& scope,
                     APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  Text pattern;
  if (!TextArgument(a, 0, pattern, error)) return APMPUndefined();
  APMPTextMatch match{0, 0};
  if (!pattern.empty() && !APMPTextSearch(s, pattern).find(0, false, match, error))
    return APMPUndefined();
  size_t found = match.position;
  if (found == Text::npos) return String(s);
  Text replacement = u"undefined";
  if (a.size() > 1) {
    if (auto function = APMPSharedFunction(a[1])) {
      APMPValuePtr result = function->invokeWithArguments(
          {String(pattern), Number(static_cast<double>(found)), String(s)}, scope, error);
      if (APMPHasError(error)) return APMPUndefined();
      replacement = result->stringValueOrError(error);
    } else {
      replacement = a[1]->stringValueOrError(error);
    }
    if (APMPHasError(error)) return APMPUndefined();
  }
  if (s.size() - match.length + replacement.size() > kAPMPMaximumStringLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return APMPUndefined();
  }
  if (!APMPChargeWork(s.size() + replacement.size(), error)) return APMPUndefined();
  Text out(s);
  out.replace(found, match.length, replacement);
  return String(std::move(out));
}

APMPValuePtr Search(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 1, error)) return APMPUndefined();
  Text pattern;
  if (!TextArgument(a, 0, pattern, error)) return APMPUndefined();
  if (pattern.empty()) return Number(0);
  size_t start, end;
  if (!FirstMatch(pattern, s, start, end, error)) return APMPUndefined();
  return Number(start == Text::npos ? -1 : static_cast<double>(start));
}

size_t SliceBound(double value, size_t length) {
  double n = static_cast<double>(length);
  if (value < 0) return Clamp(value + n, length);
  return Clamp(value, length);
}

APMPValuePtr Slice(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  double start, end;
  if (!IntegerArgument(a, 0, 0, start, error)) return APMPUndefined();
  if (!IntegerArgument(a, 1, static_cast<double>(s.size()), end, error)) return APMPUndefined();
  size_t from = SliceBound(start, s.size()), to = SliceBound(end, s.size());
  return String(to > from ? s.substr(from, to - from) : View());
}

APMPValuePtr Split(View s, const APMPValueList& a, const APMPScopePtr& scope,
                   APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  if (s.empty() || a.empty()) return APMPObjectManager::arrayValueWithArray({String(s)}, scope);
  Text separator = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  uint64_t limit = std::numeric_limits<uint64_t>::max();
  if (a.size() > 1) {
    double d = a[1]->doubleValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    limit = APMPToUint32(d);
  }
  // One piece past the array bound is enough to know that the result is too large.
  limit = std::min<uint64_t>(limit, APMPArrayValue::kMaximumLength + 1);
  // Each piece is charged (one unit, its code units and the storage it takes) as it is made,
  // so a split into millions of pieces stops at the budget or the storage ledger's limit
  // instead of building them all first.
  APMPWorkMeter meter;
  APMPValueList pieces;
  auto add = [&](View piece) {
    pieces.push_back(String(piece));
    return meter.charge(1 + piece.size(), error);
  };
  if (separator.empty()) {
    for (size_t i = 0; i < s.size() && pieces.size() < limit; ++i)
      if (!add(s.substr(i, 1))) return APMPUndefined();
  } else {
    APMPTextSearch search(s, separator);
    size_t begin = 0;
    while (pieces.size() < limit) {
      APMPTextMatch found;
      if (!search.find(begin, false, found, error)) return APMPUndefined();
      if (found.position == Text::npos) {
        if (!add(s.substr(begin))) return APMPUndefined();
        break;
      }
      if (!add(s.substr(begin, found.position - begin))) return APMPUndefined();
      begin = found.position + found.length;
    }
  }
  if (pieces.size() > APMPArrayValue::kMaximumLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return APMPUndefined();
  }
  return APMPObjectManager::arrayValueWithArray(std::move(pieces), scope);
}

APMPValuePtr Substring(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 2, error)) return APMPUndefined();
  double start, end;
  if (!IntegerArgument(a, 0, 0, start, error)) return APMPUndefined();
  if (!IntegerArgument(a, 1, static_cast<double>(s.size()), end, error)) return APMPUndefined();
  size_t from = Clamp(start, s.size()), to = Clamp(end, s.size());
  if (from > to) std::swap(from, to);
  return String(s.substr(from, to - from));
}

APMPValuePtr CaseMapped(View s, const APMPValueList& a, APMPErrorSlot* error, bool upper,
                        const icu::Locale& locale) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  if (!APMPChargeWork(2 * s.size(), error)) return APMPUndefined();
  icu::UnicodeString text = Unicode(s);
  if (upper)
    text.toUpper(locale);
  else
    text.toLower(locale);
  if (static_cast<size_t>(text.length()) > kAPMPMaximumStringLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return APMPUndefined();
  }
  return String(FromUnicode(text));
}

APMPValuePtr ToLowerCase(View s, const APMPValueList& a, const APMPScopePtr&,
                         APMPErrorSlot* error) {
  return CaseMapped(s, a, error, false, icu::Locale::getRoot());
}
APMPValuePtr ToUpperCase(View s, const APMPValueList& a, const APMPScopePtr&,
                         APMPErrorSlot* error) {
  return CaseMapped(s, a, error, true, icu::Locale::getRoot());
}
APMPValuePtr ToLocaleLowerCase(View s, const APMPValueList& a, const APMPScopePtr&,
                               APMPErrorSlot* error) {
  return CaseMapped(s, a, error, false, icu::Locale::getDefault());
}
APMPValuePtr ToLocaleUpperCase(View s, const APMPValueList& a, const APMPScopePtr&,
                               APMPErrorSlot* error) {
  return CaseMapped(s, a, error, true, icu::Locale::getDefault());
}

APMPValuePtr ToString(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return String(s);
}

APMPValuePtr Trim(View s, const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return String(APMPTrim(s));
}

}  // namespace

APMPStringCommandEvaluator& APMPStringCommandEvaluator::sharedInstance() {
  static APMPStringCommandEvaluator& instance = *new APMPStringCommandEvaluator();
  return instance;
}

APMPStringCommandEvaluator::APMPStringCommandEvaluator() {
  handlers_ = {{u"charAt", CharAt},
               {u"concat", Concat},
               {u"hasOwnProperty", HasOwnProperty},
               {u"indexOf", IndexOf},
               {u"lastIndexOf", LastIndexOf},
               {u"match", Match},
               {u"replace", Replace},
               {u"search", Search},
               {u"slice", Slice},
               {u"split", Split},
               {u"substring", Substring},
               {u"toLowerCase", ToLowerCase},
               {u"toLocaleLowerCase", ToLocaleLowerCase},
               {u"toUpperCase", ToUpperCase},
               {u"toLocaleUpperCase", ToLocaleUpperCase},
               {u"toString", ToString},
               {u"trim", Trim}};
}

APMPValuePtr APMPStringCommandEvaluator::evaluateCommand(const std::u16string& name,
                                                         std::u16string_view receiver,
                                                         const APMPValueList& arguments,
                                                         const APMPScopePtr& scope,
                                                         APMPErrorSlot* error) const {
  auto it = handlers_.find(name);
  if (it == handlers_.end()) {
    APMPSetError(error, APMPErrorCodeUnknownMethod);
    return APMPUndefined();
  }
  APMPPooledList scratch;
  const APMPValueList* evaluated = APMPEvaluateArgumentsInPlace(arguments, scope, error, scratch);
  if (evaluated == nullptr) return APMPUndefined();
  return it->second(receiver, *evaluated, scope, error);
}
