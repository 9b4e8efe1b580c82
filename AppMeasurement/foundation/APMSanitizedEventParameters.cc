#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <vector>

#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMNameUtil.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMParameterLimits.h"
#include "platform/foundation/Text.h"

namespace {

using Validator = APMDataTypeValidator;

constexpr int64_t kMaxNameErrorLength = 40;

// Compares texts by UTF-16 code units, as the platform's string comparison orders keys.
// UTF-8 byte order is code-point order; the two differ only where a character beyond the
// basic plane meets one in U+E000..U+FFFF.
bool lessInUTF16Order(std::string_view a, std::string_view b) {
  const auto* pa = reinterpret_cast<const uint8_t*>(a.data());
  const auto* pb = reinterpret_cast<const uint8_t*>(b.data());
  int32_t ia = 0, ib = 0;
  const int32_t na = static_cast<int32_t>(a.size()), nb = static_cast<int32_t>(b.size());
  while (ia < na && ib < nb) {
    UChar32 ca, cb;
    U8_NEXT_OR_FFFD(pa, ia, na, ca);
    U8_NEXT_OR_FFFD(pb, ib, nb, cb);
    if (ca == cb) continue;
    // The lead surrogate (0xD800..0xDBFF) of a supplementary character sorts below
    // U+E000..U+FFFF.
    auto unit = [](UChar32 c) { return c > 0xFFFF ? 0xD800 + ((c - 0x10000) >> 10) : c; };
    if (unit(ca) != unit(cb)) return unit(ca) < unit(cb);
    return ca < cb;
  }
  return ia >= na && ib < nb;
}

// Adapters that let the sanitiser read the caller's loose maps and plain dictionaries (the
// items of a plain array) in place, without copying them into loose objects first.
const APMValue* typedOf(const APMObject& raw) { return raw.asValue(); }
const APMValue* typedOf(const platform::Value&) { return nullptr; }
const APMValue* typedOf(const APMValue& raw) { return &raw; }

const platform::Value::Array* plainArrayOf(const APMObject& raw) { return raw.asPlainArray(); }
const platform::Value::Array* plainArrayOf(const platform::Value& raw) { return raw.asArray(); }
const platform::Value::Array* plainArrayOf(const APMValue&) { return nullptr; }

std::string classNameOf(const APMObject& raw) { return raw.className(); }
std::string classNameOf(const platform::Value& raw) { return APMObject(raw).className(); }
std::string classNameOf(const APMValue&) { return "APMValue"; }

const platform::Value::Dictionary* dictionaryOf(const platform::Value& raw) {
  return raw.asDictionary();
}
const platform::Value::Dictionary* dictionaryOf(const APMObject& raw) {
  return raw.asPlain() ? raw.asPlain()->asDictionary() : nullptr;
}
const APMObjectMap* looseMapOf(const platform::Value&) { return nullptr; }
const APMObjectMap* looseMapOf(const APMObject& raw) { return raw.asMap(); }
const APMValueMap* typedMapOf(const platform::Value&) { return nullptr; }
const APMValueMap* typedMapOf(const APMObject& raw) { return raw.asValueMap(); }

// A plain scalar as a typed value (arrays are handled apart); nothing for other kinds.
std::optional<APMValue> scalarOf(const platform::Value& raw) {
  if (const std::string* text = raw.asString()) {
    if (!platform::Text::isValidUTF8(*text)) return std::nullopt;
    return APMValue(APMValue::ValidText{*text});
  }
  if (const double* real = raw.asReal()) return APMValue(*real);
  if (const int64_t* integer = raw.asInteger()) return APMValue(*integer);
  if (const bool* flag = raw.asBool()) return APMValue(static_cast<int64_t>(*flag ? 1 : 0));
  return std::nullopt;
}

std::optional<APMValue> scalarOf(const APMValue& raw) { return raw; }

std::optional<APMValue> scalarOf(const APMObject& raw) {
  if (const APMValue* typed = raw.asValue()) return *typed;
  if (const platform::Value* plain = raw.asPlain()) return scalarOf(*plain);
  return std::nullopt;
}

// The limits of one call, read once from the installed provider.
struct Limits {
  int64_t maxPublicEventParams;
  int64_t maxItemScopedCustomParameters;
  int64_t maxPublicValueLength;
  int64_t maxInternalValueLength;

  static Limits current() {
    auto limits = APMParameterLimits::current();
    return {limits->maxPublicEventParams(), limits->maxItemScopedCustomParameters(),
            limits->maxPublicEventParameterValueLength(),
            limits->maxInternalEventParameterValueLength()};
  }
};

template <typename Map>
std::optional<APMValueMap> sanitize(const Map& parameters,
                                    const std::optional<std::string>& eventName, bool isPublic,
                                    bool itemScope, const Limits& limits);

// The items of an array parameter, whatever holds them.
template <typename Element>
std::optional<APMValue> arrayValue(const std::vector<Element>& elements, const std::string& name,
                                   const std::optional<std::string>& eventName, APMValueMap& errors,
                                   bool itemScope, bool isPublic, int64_t* failureCode,
                                   const Limits& limits) {
  int64_t failure = 0;
  std::optional<std::string_view> event;
  if (eventName) event = *eventName;
  bool valid = Validator::isValidArrayParamForEvent(
      event, name, static_cast<int64_t>(elements.size()), itemScope, &failure);
  if (failureCode) *failureCode = failure;
  if (!valid && failure != Validator::kFailureTooManyArrayItems) return std::nullopt;
  size_t count = std::min<size_t>(elements.size(), Validator::kMaxArrayItems);

  APMValue::Array items;
  items.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const Element& element = elements[i];
    std::optional<APMValueMap> item;
    if (const platform::Value::Dictionary* plain = dictionaryOf(element)) {
      item = sanitize(*plain, eventName, isPublic, true, limits);
    } else if (const APMObjectMap* loose = looseMapOf(element)) {
      item = sanitize(*loose, eventName, isPublic, true, limits);
    } else if (const APMValueMap* typed = typedMapOf(element)) {
      item = sanitize(*typed, eventName, isPublic, true, limits);
    } else {
      Validator::isValidArrayParamItem(APMObject(element));  // refuses it, with its message
      APMSetErrorParameters(errors, 4, APMObject(name + "[" + std::to_string(i) + "]"),
                            kMaxNameErrorLength, nullptr);
      continue;
    }
    if (item) items.emplace_back(std::move(*item));
  }
  return APMValue(std::move(items));
}

}  // namespace

bool APMIsValidParameterName(const std::string& name, bool isPublic, APMValueMap& errors) {
  int64_t failure = 0;
  bool valid = true;
  // A name the public rule accepts passes the internal rule (the same characters and length)
  // too, so that rule runs only for internal events.
  if (platform::Text::isValidUTF8(name)) {
    valid = isPublic ? Validator::isValidPublicEventParameterNameText(name, &failure)
                     : Validator::isValidInternalEventParameterNameText(name, &failure);
  } else {
    APMObject nameObject(name);  // not text: the rules refuse it as of the wrong type
    valid = isPublic ? Validator::isValidPublicEventParameterName(nameObject, &failure)
                     : Validator::isValidInternalEventParameterName(nameObject, &failure);
  }
  if (valid) return true;
  if (failure != 0 && errors.find(kAPMErrorCodeParameter) == errors.end()) {
    APMSetErrorCodeParameter(errors, failure == Validator::kFailureReserved ? 14 : 3);
    bool longName = name.size() > kMaxNameErrorLength &&
                    platform::Text::utf32Length(name) > static_cast<size_t>(kMaxNameErrorLength);
    APMObject nameObject(name);
    APMSetErrorValueParameters(errors, nameObject, kMaxNameErrorLength,
                               longName ? &nameObject : nullptr);
  }
  return false;
}

std::optional<APMValue> APMArrayParameterValue(const APMValue& array, const std::string& name,
                                               const std::optional<std::string>& eventName,
                                               APMValueMap& errors, bool itemScope, bool isPublic,
                                               int64_t* failureCode) {
  const APMValue::Array* elements = array.arrayValue();
  if (elements == nullptr) return std::nullopt;
  return arrayValue(*elements, name, eventName, errors, itemScope, isPublic, failureCode,
                    Limits::current());
}

void APMTrimParametersToLimit(APMValueMap& parameters, int64_t limit) {
  APMTrimParametersToLimitWithScope(parameters, limit, false);
}

void APMTrimParametersToLimitWithScope(APMValueMap& parameters, int64_t limit, bool itemScope) {
  int64_t count = APMPublicParameterCount(parameters, itemScope);
  if (count <= limit) return;
  std::vector<std::string> keys;
  keys.reserve(parameters.size());
  for (const auto& entry : parameters) keys.push_back(entry.first);
  std::stable_sort(keys.begin(), keys.end(), lessInUTF16Order);
  for (auto it = keys.rbegin(); it != keys.rend() && count > limit; ++it) {
    if (it->empty() || it->front() == '_') continue;
    if (itemScope && APMIsEcommerceParameterName(*it)) continue;
    parameters.erase(*it);
    --count;
  }
}

bool APMValidateValueAndCurrency(APMValueMap& parameters) {
  auto value = parameters.find("value");
  if (value == parameters.end()) return true;
  int64_t maximum = APMParameterLimits::current()->maxInternalEventParameterValueLength();
  if (Validator::isValidNumericValue(value->second)) {
    auto currency = parameters.find("currency");
    if (Validator::isValidCurrencyCode(
            currency == parameters.end() ? APMObject() : APMObject(currency->second))) {
      return true;
    }
    APMMonitor::monitor()->logWithLevel(
        3, 18014,
        "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in "
        "the currency parameter.");
    parameters.erase(value);
    APMSetErrorParameters(parameters, 19, APMObject("currency"), maximum, nullptr);
    return false;
  }
  parameters.erase(value);
  APMSetErrorParameters(parameters, 18, APMObject("value"), maximum, nullptr);
  return false;
}

std::optional<APMValueMap> APMSanitizedParameters(const APMObjectMap& parameters, bool isPublic) {
  return APMSanitizedEventParameters(parameters, std::nullopt, isPublic, false);
}

std::optional<APMValueMap> APMSanitizedEventParameters(const APMObjectMap& parameters,
                                                       const std::optional<std::string>& eventName,
                                                       bool isPublic, bool itemScope) {
  return sanitize(parameters, eventName, isPublic, itemScope, Limits::current());
}

namespace {

template <typename Map>
std::optional<APMValueMap> sanitize(const Map& parameters,
                                    const std::optional<std::string>& eventName, bool isPublic,
                                    bool itemScope, const Limits& limits) {
  if (parameters.empty()) return std::nullopt;
  const int64_t maxInternalLength = limits.maxInternalValueLength;
  const bool isInternalEvent =
      eventName && (APMEventNameMap().contains(*eventName) || eventName->starts_with("_"));

  std::vector<const std::string*> removed;
  APMValueMap added;  // new entries and the error parameters

  for (const auto& [key, raw] : parameters) {
    if (!APMIsValidParameterName(key, isPublic, added)) {
      removed.push_back(&key);
      continue;
    }
    const APMValue* typed = typedOf(raw);
    const platform::Value::Array* plainArray = typed ? nullptr : plainArrayOf(raw);
    std::optional<APMValue> value;
    if (typed) {
      value = *typed;
    } else if (!plainArray) {
      value = scalarOf(raw);
      if (!value) {
        (void)APMValue::valueFromObject(APMObject(raw), true);  // logs why it is no value
        removed.push_back(&key);
        APMMonitor::monitor()->logWithLevel(
            3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
            APMLogContext(classNameOf(raw)));
        continue;
      }
    }

    int64_t failure = 0;
    bool kept = true;
    bool putTrimmedErrorValue = false;
    if (plainArray) {
      // The value rules pass arrays; an "_ev" array is kept as it is.
      if (key == kAPMErrorValueParameter) {
        value = APMValue(APMValue::Array(plainArray->begin(), plainArray->end()));
      } else {
        value =
            arrayValue(*plainArray, key, eventName, added, itemScope, isPublic, &failure, limits);
        kept = value.has_value();
      }
    } else if (isPublic &&
               !Validator::isValidValue(*value, 0, limits.maxPublicValueLength,
                                        Validator::kKindEventParameterValue, &failure)) {
      kept = false;
    } else if (key == kAPMErrorValueParameter) {
      // An "_ev" that another layer already cut ("..." after the maximum) passes as it is.
      const std::string* text = value->stringValue();
      if (text && text->size() > static_cast<size_t>(maxInternalLength)) {
        size_t length = platform::Text::utf32Length(*text);
        bool alreadyCut =
            length == static_cast<size_t>(maxInternalLength) + 3 && text->ends_with("...");
        if (length > static_cast<size_t>(maxInternalLength) && !alreadyCut &&
            added.find(kAPMErrorValueParameter) == added.end() &&
            added.find(kAPMErrorLengthParameter) == added.end()) {
          APMObject textObject(*text);
          APMSetErrorValueParameters(added, textObject, maxInternalLength, &textObject);
          putTrimmedErrorValue = true;
        }
      }
    } else if (isInternalEvent &&
               !Validator::isValidValue(*value, 0, limits.maxInternalValueLength,
                                        Validator::kKindEventParameterValue, &failure)) {
      kept = false;
    }

    if (!kept) {
      removed.push_back(&key);
      if (failure == Validator::kFailureTooLong &&
          added.find(kAPMErrorCodeParameter) == added.end()) {
        APMSetErrorCodeParameter(added, 4);
        std::optional<APMObject> text;
        if (value && value->stringValue()) text = APMObject(*value);
        APMSetErrorValueParameters(added, APMObject(key), kMaxNameErrorLength,
                                   text ? &*text : nullptr);
      }
    }
    if ((plainArray || value->isArray()) && failure != 0) {
      APMSetArrayParameterError(added, failure, key, eventName);
    }
    // A plain "_err", "_ev" or "_el" of the caller's own replaces what an earlier key recorded.
    if (kept && !typed && !putTrimmedErrorValue) added.insert_or_assign(key, std::move(*value));
  }

  // The new entries win over the typed values that stay from the caller's map.
  std::optional<APMValueMap> result = std::move(added);
  if (removed.size() != parameters.size()) {
    size_t next = 0;  // `removed` is in key order, as the map is
    for (const auto& [key, raw] : parameters) {
      if (next < removed.size() && removed[next] == &key) {
        ++next;
        continue;
      }
      if (const APMValue* typed = typedOf(raw)) result->emplace(key, *typed);
    }
  }

  if (itemScope) {
    const int64_t limit = limits.maxItemScopedCustomParameters;
    // Counting is needed only when there are more keys than the limit.
    if (static_cast<int64_t>(result->size()) > limit &&
        APMPublicParameterCount(*result, true) > limit) {
      APMTrimParametersToLimitWithScope(*result, limit, true);
      APMSetErrorCodeParameter(*result, limit == 0 ? 23 : 28);
      APMMonitor::monitor()->logWithLevel(0, 18016, "Item cannot contain custom parameters");
    }
  } else {
    const int64_t limit = limits.maxPublicEventParams;
    if (static_cast<int64_t>(result->size()) > limit &&
        APMPublicParameterCount(*result, false) > limit) {
      APMTrimParametersToLimit(*result, limit);
      APMSetErrorCodeParameter(*result, 5);
      APMMonitor::monitor()->logWithLevel(
          1, 18017, "Event cannot contain more than " + std::to_string(limit) + " parameters");
    }
  }
  return result;
}

}  // namespace
