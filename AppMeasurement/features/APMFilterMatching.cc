#include "AppMeasurement/features/APMFilterMatching.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "AppMeasurement/features/APMAudienceComparisonValues.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNumericUtil.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMEventAggregates.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/Text.h"

namespace {

enum ComparisonType { kLessThan = 1, kGreaterThan = 2, kEqual = 3, kBetween = 4 };
enum MatchType {
  kRegularExpression = 1,
  kBeginsWith = 2,
  kEndsWith = 3,
  kContains = 4,
  kExact = 5,
  kInList = 6
};

APMMonitor& monitor() { return *APMMonitor::monitor(); }

std::optional<bool> nil() { return std::nullopt; }

// A filter message as a log context: messages have no description of their own, so the line
// shows the class and address.
APMLogContext filterContext(const NANOMessageBase& filter) {
  return APMLogContext::object(filter.className(), std::nullopt, &filter);
}

// A present, non-empty expression: the phone's string searches never find an empty string, so
// an empty expression could never be meant.
std::optional<std::string> expressionOf(const APMPBStringFilter& filter) {
  auto expression = NANOGetString(filter, APMPBStringFilter::kExpression);
  if (!expression || expression->empty()) return std::nullopt;
  return expression;
}

bool isDecimalText(const std::optional<std::string>& text) {
  return text && APMIsDecimalNumberString(*text);
}

// The double the en_US formatter with positive format "'+'#" reads: an optional sign, digits
// and a point. std::from_chars is locale-free and correctly rounded.
std::optional<double> parseDouble(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::string_view digits = *text;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
  double value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                      std::chars_format::fixed);
  if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

bool caseSensitive(const APMPBStringFilter& filter) {
  return NANOHasField(filter, APMPBStringFilter::kCaseSensitive) &&
         NANOGetBool(filter, APMPBStringFilter::kCaseSensitive);
}

// The exact rule: equal strings, or case-insensitively an anchored match at the start with
// both lengths equal in UTF-16 units.
bool matchesExactly(std::string_view value, std::string_view expression, bool sensitive) {
  if (sensitive) return value == expression;
  return platform::Text::utf16Length(value) == platform::Text::utf16Length(expression) &&
         platform::Text::hasPrefixIgnoringCase(value, expression);
}

}  // namespace

std::optional<bool> APMEvaluateEventFilter(const APMPBEventFilter* filter,
                                           std::string_view eventName,
                                           const APMValueMap& parameters,
                                           const APMEventAggregates* aggregates) {
  if (filter == nullptr) {
    monitor().logWithLevel(1, 7004, "Event filter is nil. Audience filter will not be evaluated");
    return nil();
  }
  if (eventName.empty()) {
    monitor().logWithLevel(1, 7005, "Event name is nil. Audience filter will not be evaluated");
    return nil();
  }
  auto filterName = NANOGetString(*filter, APMPBEventFilter::kEventName);
  if (!filterName || *filterName != eventName) {
    monitor().logWithLevel(
        1, 7006,
        "Event filter name does not match event name. Audience filter will not be evaluated",
        std::string(eventName));
    return nil();
  }
  const bool hasCount = NANOHasField(*filter, APMPBEventFilter::kEventCountFilter);
  auto parameterFilters = NANOGetMessageArray<APMPBFilter>(*filter, APMPBEventFilter::kFilters)
                              .value_or(std::vector<APMPBFilter>{});
  if (!hasCount && parameterFilters.empty()) return true;

  if (hasCount) {
    if (aggregates == nullptr || aggregates->name() != eventName) {
      monitor().logWithLevel(1, 7007,
                             "Event aggregates name does not match event name. Audience filter "
                             "will not be evaluated",
                             std::string(eventName));
      return nil();
    }
    const bool sessionScoped = NANOGetBool(*filter, APMPBEventFilter::kSessionScoped);
    const int64_t count =
        sessionScoped ? aggregates->currentSessionCount() : aggregates->lifetimeCount();
    auto countFilter =
        NANOGetMessage<APMPBNumberFilter>(*filter, APMPBEventFilter::kEventCountFilter)
            .value_or(APMPBNumberFilter());
    auto outcome = APMEvaluateNumberFilterWithInt64(countFilter, count);
    if (outcome != true) return outcome;
  }

  for (const APMPBFilter& parameterFilter : parameterFilters) {
    auto parameterName = NANOGetString(parameterFilter, APMPBFilter::kParamName);
    if (!parameterName) {
      monitor().logWithLevel(1, 7008,
                             "Event filter does not have parameter name. Audience filter will "
                             "not be evaluated",
                             std::string(eventName));
      return nil();
    }
    auto found = parameters.find(*parameterName);
    if (found == parameters.end()) {
      monitor().logWithLevel(3, 7009,
                             "Event does not have parameter required by filter. Audience filter "
                             "will not be evaluated",
                             std::string(eventName), *parameterName);
      return nil();
    }
    if (found->second.isString() && !NANOHasField(parameterFilter, APMPBFilter::kStringFilter)) {
      monitor().logWithLevel(3, 7010,
                             "Event param is a string and the filter does not have a string "
                             "filter. Audience filter will not be evaluated. Event name, event "
                             "params, filter",
                             std::string(eventName), *parameterName);
      return nil();
    }
    auto outcome = APMEvaluateFilter(parameterFilter, found->second);
    if (outcome != true) return outcome;
  }
  return true;
}

std::optional<bool> APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                              const APMUserAttribute* attribute) {
  if (filter == nullptr) {
    monitor().logWithLevel(1, 7011,
                           "Property filter is nil. Audience filter will not be evaluated");
    return nil();
  }
  if (attribute == nullptr) {
    monitor().logWithLevel(1, 7012, "User property is nil. Audience filter will not be evaluated");
    return nil();
  }
  auto filterName = NANOGetString(*filter, APMPBPropertyFilter::kPropertyName);
  if (!filterName || *filterName != attribute->name()) {
    monitor().logWithLevel(1, 7013,
                           "User property name does not match property filter name. Audience "
                           "filter will not be evaluated",
                           attribute->name());
    return nil();
  }
  auto inner = NANOGetMessage<APMPBFilter>(*filter, APMPBPropertyFilter::kFilter);
  if (!inner || !NANOHasField(*filter, APMPBPropertyFilter::kFilter)) {
    monitor().logWithLevel(1, 7014,
                           "Property filter does not have filter. Audience filter will not be "
                           "evaluated");
    return nil();
  }
  const APMValue& value = attribute->value();
  if (!value.isString() && !value.isInt64() && !value.isDouble()) {
    monitor().logWithLevel(1, 7015,
                           "Unknown user property type. Audience filter will not be evaluated. "
                           "Property Name",
                           attribute->name());
    return nil();
  }
  return APMEvaluateFilter(*inner, value);
}

std::optional<bool> APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value) {
  const bool hasNumber = NANOHasField(filter, APMPBFilter::kNumberFilter);
  const bool hasString = NANOHasField(filter, APMPBFilter::kStringFilter);
  if (!hasNumber && !hasString) {
    monitor().logWithLevel(1, 7000,
                           "Filter has neither a number nor string filter. Audience filter will "
                           "not be evaluated");
    return nil();
  }
  std::optional<bool> outcome;
  if (hasNumber) {
    auto numberFilter = NANOGetMessage<APMPBNumberFilter>(filter, APMPBFilter::kNumberFilter)
                            .value_or(APMPBNumberFilter());
    if (value.isString()) {
      const std::string& text = *value.stringValue();
      if (!APMIsDecimalNumberString(text)) {
        monitor().logWithLevel(3, 7001,
                               "String value is not a numeric value. Audience filter will not be "
                               "evaluated. Value, filter",
                               text);
        return nil();
      }
      auto decimal = APMDecimalNumberFromString(text);
      if (!decimal) return nil();
      outcome = APMEvaluateNumberFilterWithDecimal(numberFilter, *decimal);
    } else if (value.isDouble()) {
      if (!std::isfinite(value.doubleValue())) {
        monitor().logWithLevel(3, 7002,
                               "Value is not within double range. Audience filter will not be "
                               "evaluated");
        return nil();
      }
      outcome = APMEvaluateNumberFilterWithDouble(numberFilter, value.doubleValue());
    } else if (value.isInt64()) {
      outcome = APMEvaluateNumberFilterWithInt64(numberFilter, value.int64Value());
    } else {
      return nil();
    }
  } else {
    if (!value.isString()) {
      monitor().logWithLevel(3, 7003,
                             "Value is not a string. Audience filter will not be evaluated");
      return nil();
    }
    auto stringFilter = NANOGetMessage<APMPBStringFilter>(filter, APMPBFilter::kStringFilter)
                            .value_or(APMPBStringFilter());
    outcome = APMEvaluateStringFilter(stringFilter, value.stringValue());
  }
  if (outcome && NANOHasField(filter, APMPBFilter::kComplement) &&
      NANOGetBool(filter, APMPBFilter::kComplement)) {
    outcome = !*outcome;
  }
  return outcome;
}

bool APMIsValidNumberFilter(const APMPBNumberFilter& filter) {
  if (!NANOHasField(filter, APMPBNumberFilter::kComparisonType)) {
    monitor().logWithLevel(1, 8006, "Number filter has no comparison type", filterContext(filter));
    return false;
  }
  const int32_t type = NANOGetInt32(filter, APMPBNumberFilter::kComparisonType);
  const APMLogContext description = filterContext(filter);
  switch (type) {
    case kLessThan:
    case kGreaterThan:
    case kEqual:
      if (!isDecimalText(NANOGetString(filter, APMPBNumberFilter::kComparisonValue))) {
        monitor().logWithLevel(
            1, 8008, "Numeric filter does not have a valid comparison value. Filter", description);
        return false;
      }
      return true;
    case kBetween: {
      bool valid = true;
      if (!isDecimalText(NANOGetString(filter, APMPBNumberFilter::kMinComparisonValue))) {
        monitor().logWithLevel(1, 8009,
                               "Numeric filter does not have a valid min comparison value. Filter",
                               description);
        valid = false;
      }
      if (!isDecimalText(NANOGetString(filter, APMPBNumberFilter::kMaxComparisonValue))) {
        monitor().logWithLevel(1, 8010,
                               "Numeric filter does not have a valid max comparison value. Filter",
                               description);
        valid = false;
      }
      return valid;
    }
    case 0:
      monitor().logWithLevel(1, 8007, "Number filter has unknown comparison type", description);
      return false;
    default:
      monitor().logWithLevel(1, 8011, "Number filter has a real unknown comparison type",
                             description);
      return false;
  }
}

std::optional<bool> APMEvaluateNumberFilterWithDouble(const APMPBNumberFilter& filter,
                                                      double value) {
  if (!APMIsValidNumberFilter(filter)) return nil();
  const int32_t type = NANOGetInt32(filter, APMPBNumberFilter::kComparisonType);
  auto refuse = [] {
    monitor().logWithLevel(1, 8012,
                           "Number filter is invalid, the comparison filter is not valid. "
                           "Audience filter will not be evaluated");
    return nil();
  };
  if (type == kBetween) {
    auto minimum = parseDouble(NANOGetString(filter, APMPBNumberFilter::kMinComparisonValue));
    auto maximum = parseDouble(NANOGetString(filter, APMPBNumberFilter::kMaxComparisonValue));
    if (!minimum || !maximum) return refuse();
    return *minimum <= value && value <= *maximum;
  }
  auto comparison = parseDouble(NANOGetString(filter, APMPBNumberFilter::kComparisonValue));
  if (!comparison) return refuse();
  switch (type) {
    case kLessThan:
      return value < *comparison;
    case kGreaterThan:
      return value > *comparison;
    default: {
      constexpr double kDown = -std::numeric_limits<double>::infinity();
      constexpr double kUp = std::numeric_limits<double>::infinity();
      const double low = std::nextafter(std::nextafter(*comparison, kDown), kDown);
      const double high = std::nextafter(std::nextafter(*comparison, kUp), kUp);
      return low < value && value < high;
    }
  }
}

std::optional<bool> APMEvaluateNumberFilterWithInt64(const APMPBNumberFilter& filter,
                                                     int64_t value) {
  return APMEvaluateNumberFilterWithDecimal(filter, platform::Decimal::fromInt64(value));
}

std::optional<bool> APMEvaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter,
                                                       const platform::Decimal& value) {
  if (!APMIsValidNumberFilter(filter)) return nil();
  const int32_t type = NANOGetInt32(filter, APMPBNumberFilter::kComparisonType);
  APMAudienceComparisonValues values;
  auto parse = [&](uint32_t slot, int64_t code, const char* message) {
    auto text = NANOGetString(filter, slot);
    auto decimal = text ? APMDecimalNumberFromString(*text) : std::nullopt;
    if (!decimal) {
      monitor().logWithLevel(1, code, message);
      values.valid = false;
    }
    return decimal;
  };
  if (type == kBetween) {
    values.minComparisonValue = parse(APMPBNumberFilter::kMinComparisonValue, 8004,
                                      "Number filter min comparison value is not a number");
    values.maxComparisonValue = parse(APMPBNumberFilter::kMaxComparisonValue, 8005,
                                      "Number filter max comparison value is not a number");
  } else {
    values.comparisonValue = parse(APMPBNumberFilter::kComparisonValue, 8002,
                                   "Number filter comparison value is not a number");
  }
  if (!values.isValid() || value.isNaN()) {
    monitor().logWithLevel(1, 8015,
                           "Parsed decimal number comparison values are not valid. Audience "
                           "filter will not be evaluated. Filter",
                           filterContext(filter));
    return nil();
  }
  switch (type) {
    case kLessThan:
      return value < *values.comparisonValue;
    case kGreaterThan:
      return value > *values.comparisonValue;
    case kEqual:
      return value == *values.comparisonValue;
    default:
      return value >= *values.minComparisonValue && value <= *values.maxComparisonValue;
  }
}

bool APMIsValidStringFilter(const APMPBStringFilter& filter,
                            std::shared_ptr<const platform::RegularExpression>* compiled) {
  if (!NANOHasField(filter, APMPBStringFilter::kMatchType)) {
    monitor().logWithLevel(1, 9000, "String filter has no match type");
    return false;
  }
  const int32_t type = NANOGetInt32(filter, APMPBStringFilter::kMatchType);
  if (type == kInList) {
    auto list = NANOGetArray(filter, APMPBStringFilter::kExpressionList);
    if (!list || list->empty()) {
      monitor().logWithLevel(1, 9003, "String filter has no expression list");
      return false;
    }
    return true;
  }
  if (type == 0) {
    monitor().logWithLevel(1, 9001, "String filter has unknown match type");
    return false;
  }
  auto expression = expressionOf(filter);
  if (!expression) {
    monitor().logWithLevel(1, 9002, "String filter has no expression");
    return false;
  }
  if (type == kRegularExpression) {
    platform::RegularExpressionOptions options;
    options.caseInsensitive = !caseSensitive(filter);
    auto regex = platform::RegularExpression::create(*expression, options);
    if (!regex.ok()) {
      monitor().logWithLevel(1, 9004, "Unable to parse regular expression", filterContext(filter),
                             std::string(regex.status().message()));
      return false;
    }
    if (compiled != nullptr) *compiled = *regex;
  }
  return true;
}

std::optional<bool> APMEvaluateStringFilter(const APMPBStringFilter& filter,
                                            const std::string* value) {
  if (value == nullptr) {
    monitor().logWithLevel(1, 9005,
                           "Evaluation string is nil. Audience filter will not be evaluated");
    return nil();
  }
  std::shared_ptr<const platform::RegularExpression> regex;
  if (!APMIsValidStringFilter(filter, &regex)) {
    monitor().logWithLevel(1, 9006,
                           "String filter is invalid. Audience filter will not be evaluated");
    return nil();
  }
  const bool sensitive = caseSensitive(filter);
  const int32_t type = NANOGetInt32(filter, APMPBStringFilter::kMatchType);
  const std::string expression = expressionOf(filter).value_or(std::string());
  switch (type) {
    case kRegularExpression: {
      auto found = regex->search(*value);
      if (!found.ok()) {
        // Past the matcher's time limit (or its backtracking stack): the definition cannot be
        // decided here, so the stored result stays as it is.
        monitor().logWithLevel(1, 9007,
                               "Regular expression match exceeded its limits. Audience filter "
                               "will not be evaluated",
                               expression, std::string(found.status().message()));
        return nil();
      }
      return *found;
    }
    case kBeginsWith:
      if (sensitive) return value->starts_with(expression);
      return platform::Text::hasPrefixIgnoringCase(*value, expression);
    case kEndsWith: {
      if (sensitive) return value->ends_with(expression);
      const size_t valueLength = platform::Text::utf16Length(*value);
      const size_t expressionLength = platform::Text::utf16Length(expression);
      if (expressionLength > valueLength) return false;
      // The match must start exactly at (value length - expression length).
      const std::string tail =
          platform::Text::substringUTF16(*value, valueLength - expressionLength, expressionLength);
      return platform::Text::utf16Length(tail) == expressionLength &&
             platform::Text::equalsIgnoringCase(tail, expression);
    }
    case kContains:
      if (sensitive) return value->find(expression) != std::string::npos;
      return platform::Text::containsIgnoringCase(*value, expression);
    case kExact:
      return matchesExactly(*value, expression, sensitive);
    case kInList: {
      auto list = NANOGetArray(filter, APMPBStringFilter::kExpressionList)
                      .value_or(std::vector<NANOObject>{});
      for (const NANOObject& element : list) {
        const auto* text = std::get_if<std::string>(&element);
        if (text != nullptr && matchesExactly(*value, *text, sensitive)) return true;
      }
      return false;
    }
    default:
      return false;
  }
}
