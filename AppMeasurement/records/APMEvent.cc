#include "AppMeasurement/records/APMEvent.h"

#include <cfloat>

#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMMilliseconds.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMNameUtil.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"

namespace {

using Validator = APMDataTypeValidator;

constexpr std::string_view kOriginParameter = "_o";
constexpr std::string_view kConversionParameter = "_c";
constexpr std::string_view kRealtimeParameter = "_r";
constexpr std::string_view kDebugParameter = "_dbg";
constexpr int64_t kConversionLimitErrorCode = 10;

APMObjectMap objectMapOf(const APMValueMap& parameters) {
  APMObjectMap objects;
  for (const auto& [key, value] : parameters) objects.emplace_hint(objects.end(), key, value);
  return objects;
}

bool isIntegerOne(const APMValueMap& parameters, std::string_view key) {
  auto it = parameters.find(key);
  return it != parameters.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

void setFlag(APMValueMap& parameters, std::string_view key, bool set) {
  if (set) {
    parameters.insert_or_assign(std::string(key), APMValue(int64_t{1}));
  } else if (auto it = parameters.find(key); it != parameters.end()) {
    parameters.erase(it);
  }
}

// A typed scalar as a plain value for the script runtime; nothing for arrays.
std::optional<platform::Value> plainScalar(const APMValue& value) {
  if (value.isDouble()) return platform::Value(value.doubleValue());
  if (value.isInt64()) return platform::Value(static_cast<long long>(value.int64Value()));
  if (const std::string* text = value.stringValue()) return platform::Value(*text);
  return std::nullopt;
}

// The text of a screen string given plainly or typed; nullptr otherwise.
const std::string* screenText(const APMObject& object) {
  if (const APMValue* typed = object.asValue()) return typed->stringValue();
  return object.asText();
}

// Calls visit(key, typed value or nullptr) for each entry of an item map (typed, loose or
// plain); false when the item is no map.
template <typename Visit>
bool forEachItemEntry(const APMObject& item, Visit visit) {
  if (const APMValueMap* typed = item.asValueMap()) {
    for (const auto& [key, value] : *typed) visit(key, &value);
    return true;
  }
  if (const APMObjectMap* loose = item.asMap()) {
    for (const auto& [key, value] : *loose) visit(key, value.asValue());
    return true;
  }
  if (const platform::Value* plain = item.asPlain(); plain && plain->isDictionary()) {
    for (const auto& entry : *plain->asDictionary()) visit(entry.first, nullptr);
    return true;
  }
  return false;
}

bool isValidScreenString(const APMObject& object) {
  const std::string* text = screenText(object);
  return text && Validator::isValidScreenParameterValue(APMObject(*text));
}

}  // namespace

std::optional<APMEvent> APMEvent::create(const std::string& origin, bool isPublic,
                                         const std::string& name, double timestamp,
                                         double previousTimestamp, const APMObjectMap& parameters) {
  int64_t failure = 0;
  if (!Validator::isValidForwardedEventOrigin(origin, &failure)) {
    if (failure != Validator::kFailureNotForwardedOrigin ||
        !Validator::isValidInternalEventOrigin(origin)) {
      return std::nullopt;
    }
  }
  if (isPublic && !Validator::isValidPublicEventName(name)) return std::nullopt;
  if (!Validator::isValidInternalEventName(name)) return std::nullopt;
  if (previousTimestamp > timestamp) {
    APMMonitor::monitor()->logWithLevel(
        5, 16002, "Event created with previous timestamp after current timestamp");
  }

  APMEvent event;
  event.origin_ = origin;
  event.name_ = name;
  event.timestamp_ = timestamp;
  event.previousTimestamp_ = previousTimestamp;
  if (auto sanitized = APMSanitizedEventParameters(parameters, name, isPublic, false)) {
    event.parameters_ = std::move(*sanitized);
  }
  event.parameters_.insert_or_assign(std::string(kOriginParameter), APMValue(origin));
  if (event.shouldValidateParams() && !APMValidateValueAndCurrency(event.parameters_)) {
    event.removeParameter(kConversionParameter);
  }
  return event;
}

std::optional<APMEvent> APMEvent::create(const std::string& origin, bool isPublic,
                                         const std::string& name, double timestamp,
                                         double previousTimestamp, const APMValueMap& parameters) {
  return create(origin, isPublic, name, timestamp, previousTimestamp, objectMapOf(parameters));
}

APMEvent APMEvent::copy() const { return copyWithParameters(parameters_); }

APMEvent APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  auto event = create(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
  if (event) return std::move(*event);
  APMEvent plain = *this;
  plain.previousTimestamp_ = previousTimestamp;
  return plain;
}

APMEvent APMEvent::copyWithTimestamps(double timestamp, double previousTimestamp) const {
  if (previousTimestamp > timestamp) {
    APMMonitor::monitor()->logWithLevel(
        5, 16002, "Event created with previous timestamp after current timestamp");
  }
  APMEvent copy = *this;
  copy.timestamp_ = timestamp;
  copy.previousTimestamp_ = previousTimestamp;
  return copy;
}

APMEvent APMEvent::copyWithParameters(const APMObjectMap& parameters) const {
  auto event = create(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
  return event ? std::move(*event) : *this;
}

APMEvent APMEvent::copyWithParameters(const APMValueMap& parameters) const {
  return copyWithParameters(objectMapOf(parameters));
}

const APMValue* APMEvent::parameter(std::string_view name) const {
  auto it = parameters_.find(name);
  return it == parameters_.end() ? nullptr : &it->second;
}

void APMEvent::removeParameter(std::string_view name) {
  if (auto it = parameters_.find(name); it != parameters_.end()) parameters_.erase(it);
}

bool APMEvent::shouldValidateParams() const {
  return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

bool APMEvent::isConversion() const { return isIntegerOne(parameters_, kConversionParameter); }

void APMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!APMValidateValueAndCurrency(parameters_)) return;
    setFlag(parameters_, kConversionParameter, true);
    const APMValue* error = parameter(kAPMErrorCodeParameter);
    if (error && error->isInt64() && error->int64Value() == kConversionLimitErrorCode) {
      removeParameter(kAPMErrorCodeParameter);
    }
    return;
  }
  if (parameter(kConversionParameter)) {
    removeParameter(kConversionParameter);
    APMSetErrorCodeParameter(parameters_, kConversionLimitErrorCode);
  }
}

bool APMEvent::isRealtime() const {
  const APMValue* realtime = parameter(kRealtimeParameter);
  if (realtime == nullptr) return false;
  if (!realtime->isInt64()) {
    APMMonitor::monitor()->logWithLevel(2, 16006, "Realtime parameter must be an int64. Event name",
                                        APMLogContext(name_));
    return false;
  }
  return realtime->int64Value() == 1;
}

void APMEvent::setRealtime(bool realtime) { setFlag(parameters_, kRealtimeParameter, realtime); }

bool APMEvent::isDebug() const { return isIntegerOne(parameters_, kDebugParameter); }

void APMEvent::setDebug(bool debug) { setFlag(parameters_, kDebugParameter, debug); }

void APMEvent::applyParameters(const APMObjectMap& parameters, bool isPublic) {
  if (parameters.empty()) return;
  std::optional<APMValueMap> sanitized = APMSanitizedParameters(parameters, isPublic);
  if (!sanitized || sanitized->empty()) return;
  for (auto& [key, value] : parameters_) sanitized->insert_or_assign(key, value);
  parameters_ = std::move(*sanitized);
}

bool APMEvent::addScreenParameters(const APMObjectMap& screenParameters) {
  if (screenParameters.empty() || APMHasScreenParameters(parameters_)) return false;
  auto screenID = screenParameters.find(kAPMScreenIDParameter);
  if (screenID == screenParameters.end()) return false;
  auto screenClass = screenParameters.find(kAPMScreenClassParameter);
  if (screenClass != screenParameters.end() && !isValidScreenString(screenClass->second)) {
    APMMonitor::monitor()->logWithLevel(3, 16003, "Received invalid screen class");
    return false;
  }
  std::optional<int64_t> identifier;
  if (const APMValue* typed = screenID->second.asValue()) {
    if (typed->isInt64()) identifier = typed->int64Value();
  } else if (const platform::Value* plain = screenID->second.asPlain();
             plain && plain->isNumber()) {
    identifier = plain->numberAsInteger();
  }
  if (!identifier) return false;
  auto screenName = screenParameters.find(kAPMScreenNameParameter);
  if (screenName != screenParameters.end() && !isValidScreenString(screenName->second)) {
    APMMonitor::monitor()->logWithLevel(3, 16004, "Received invalid screen name");
    return false;
  }
  parameters_.insert_or_assign(std::string(kAPMScreenIDParameter), APMValue(*identifier));
  if (screenClass != screenParameters.end()) {
    parameters_.insert_or_assign(std::string(kAPMScreenClassParameter),
                                 APMValue(*screenText(screenClass->second)));
  }
  if (screenName != screenParameters.end()) {
    parameters_.insert_or_assign(std::string(kAPMScreenNameParameter),
                                 APMValue(*screenText(screenName->second)));
  }
  return true;
}

APMPEvent APMEvent::editEvent() const {
  auto publicName = APMInternalEventNameMap().find(name_);
  std::string name = publicName == APMInternalEventNameMap().end() ? name_ : publicName->second;
  platform::Value::Dictionary parameters;
  for (const auto& [key, value] : parameters_) {
    if (auto scalar = plainScalar(value)) {
      parameters.emplace(key, std::move(*scalar));
      continue;
    }
    const APMValue::Array* items = value.arrayValue();
    if (items == nullptr) continue;
    platform::Value::Array plainItems;
    for (const APMObject& item : *items) {
      platform::Value::Dictionary plainItem;
      bool isMap = forEachItemEntry(item, [&](const std::string& itemKey, const APMValue* typed) {
        if (auto scalar = typed ? plainScalar(*typed) : std::nullopt) {
          plainItem.emplace(itemKey, std::move(*scalar));
        }
      });
      if (isMap) plainItems.emplace_back(std::move(plainItem));
    }
    parameters.emplace(key, std::move(plainItems));
  }
  return APMPEvent(std::move(name), timestamp_, std::move(parameters));
}

std::optional<APMEvent> APMEvent::eventFromEditEvent(const APMPEvent& editEvent) {
  auto internalName = APMEventNameMap().find(editEvent.name());
  std::string name =
      internalName == APMEventNameMap().end() ? editEvent.name() : internalName->second;
  std::string origin = "app";
  if (const platform::Value* originValue =
          editEvent.parameterForName(std::string(kOriginParameter))) {
    if (const std::string* text = originValue->asString()) origin = *text;
  }
  return create(origin, false, name, editEvent.timestamp(), 0,
                APMObject::mapFromDictionary(editEvent.parameters()));
}

namespace {

// string_value, then int_value, then double_value.
std::optional<APMValue> scalarOf(const APMPBEventParam& param) {
  if (auto text = NANOGetString(param, APMPBEventParam::kStringValue)) {
    return APMValue(std::move(*text));
  }
  if (NANOHasField(param, APMPBEventParam::kIntValue)) {
    return APMValue(NANOGetInt64(param, APMPBEventParam::kIntValue));
  }
  if (NANOHasField(param, APMPBEventParam::kDoubleValue)) {
    return APMValue(NANOGetDouble(param, APMPBEventParam::kDoubleValue));
  }
  return std::nullopt;
}

// A param_value list of items, each a map of named scalars; nothing when absent.
std::optional<APMValue> itemsOf(const APMPBEventParam& param) {
  std::optional<std::vector<APMPBEventParam>> items =
      NANOGetMessageArray<APMPBEventParam>(param, APMPBEventParam::kParamValue);
  if (!items || items->empty()) return std::nullopt;
  APMValue::Array elements;
  elements.reserve(items->size());
  for (const APMPBEventParam& item : *items) {
    APMValueMap fields;
    auto entries = NANOGetMessageArray<APMPBEventParam>(item, APMPBEventParam::kParamValue);
    for (const APMPBEventParam& entry : entries.value_or(std::vector<APMPBEventParam>{})) {
      std::optional<std::string> name = NANOGetString(entry, APMPBEventParam::kName);
      std::optional<APMValue> value = scalarOf(entry);
      if (name && value) fields.insert_or_assign(*name, std::move(*value));
    }
    elements.emplace_back(std::move(fields));
  }
  return APMValue(std::move(elements));
}

}  // namespace

std::optional<APMEvent> APMEvent::createWithEventProto(const APMPBEvent& proto) {
  std::string name = NANOGetString(proto, APMPBEvent::kName).value_or("");
  double timestamp = static_cast<double>(NANOGetInt64(proto, APMPBEvent::kTimestampMillis)) / 1000;
  double previousTimestamp =
      static_cast<double>(NANOGetInt64(proto, APMPBEvent::kPreviousTimestampMillis)) / 1000;
  std::optional<std::string> origin;
  APMValueMap parameters;
  auto params = NANOGetMessageArray<APMPBEventParam>(proto, APMPBEvent::kParams);
  for (const APMPBEventParam& param : params.value_or(std::vector<APMPBEventParam>{})) {
    std::optional<std::string> paramName = NANOGetString(param, APMPBEventParam::kName);
    if (!paramName) {
      APMMonitor::monitor()->logWithLevel(
          2, 15000, "Ignoring parameter. Parameter name is nil. Event name", APMLogContext(name));
      continue;
    }
    if (*paramName == kOriginParameter) {
      origin = NANOGetString(param, APMPBEventParam::kStringValue);
      if (!origin) {
        APMMonitor::monitor()->logWithLevel(
            2, 15001,
            "Cannot create an event from event proto. Origin parameter is not a string. Event "
            "name",
            APMLogContext(name));
        return std::nullopt;
      }
      continue;
    }
    if (std::optional<APMValue> scalar = scalarOf(param)) {
      parameters.insert_or_assign(*paramName, std::move(*scalar));
    } else if (std::optional<APMValue> items = itemsOf(param)) {
      // An array parameter ("items") comes back as the maps protoEvent wrote: dropping it
      // here would lose every item of a stored event on its way into a bundle.
      parameters.insert_or_assign(*paramName, std::move(*items));
    } else {
      APMMonitor::monitor()->logWithLevel(
          5, 15002,
          "Unknown event parameter type from converting an event proto into APMEvent instance. "
          "Event param name",
          APMLogContext(*paramName));
    }
  }
  if (!origin) {
    // No "_o" at all: the origin rule refuses the missing origin below.
    return std::nullopt;
  }
  return create(*origin, false, name, timestamp, previousTimestamp, parameters);
}

namespace {

// One typed scalar into a message parameter; false when the value is not a scalar.
bool setScalar(APMPBEventParam& param, const APMValue& value) {
  if (value.isDouble()) {
    NANOSetDouble(param, APMPBEventParam::kDoubleValue, value.doubleValue());
  } else if (value.isInt64()) {
    NANOSetInt64(param, APMPBEventParam::kIntValue, value.int64Value());
  } else if (const std::string* text = value.stringValue()) {
    NANOSetString(param, APMPBEventParam::kStringValue, *text);
  } else {
    return false;
  }
  return true;
}

void logInvalidParam(const std::string& eventName, const std::string& paramName) {
  APMMonitor::monitor()->logWithLevel(2, 16005, "Invalid event param value. Event name, param name",
                                      APMLogContext(eventName), APMLogContext(paramName));
}

}  // namespace

APMPBEvent APMEvent::protoEvent() const {
  APMPBEvent proto;
  NANOSetString(proto, APMPBEvent::kName, name_);
  if (previousTimestamp_ > DBL_EPSILON) {
    NANOSetInt64(proto, APMPBEvent::kPreviousTimestampMillis,
                 APMMillisecondsFromSeconds(previousTimestamp_));
  }
  NANOSetInt64(proto, APMPBEvent::kTimestampMillis, APMMillisecondsFromSeconds(timestamp_));
  std::vector<APMPBEventParam> params;
  params.reserve(parameters_.size());
  for (const auto& [key, value] : parameters_) {
    APMPBEventParam param;
    NANOSetString(param, APMPBEventParam::kName, key);
    if (const APMValue::Array* items = value.arrayValue()) {
      std::vector<APMPBEventParam> itemParams;
      for (const APMObject& item : *items) {
        APMPBEventParam itemParam;
        std::vector<APMPBEventParam> fields;
        bool isMap = forEachItemEntry(item, [&](const std::string& itemKey, const APMValue* typed) {
          if (typed && typed->isArray()) {
            APMMonitor::monitor()->logWithLevel(
                2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
                APMLogContext(name_), APMLogContext(itemKey));
            return;
          }
          APMPBEventParam field;
          NANOSetString(field, APMPBEventParam::kName, itemKey);
          if (typed == nullptr || !setScalar(field, *typed)) {
            logInvalidParam(name_, itemKey);
            return;
          }
          fields.push_back(std::move(field));
        });
        if (!isMap) {
          logInvalidParam(name_, key);
          continue;
        }
        NANOSetMessageArray(itemParam, APMPBEventParam::kParamValue, fields);
        itemParams.push_back(std::move(itemParam));
      }
      NANOSetMessageArray(param, APMPBEventParam::kParamValue, itemParams);
    } else if (!setScalar(param, value)) {
      logInvalidParam(name_, key);
      continue;
    }
    params.push_back(std::move(param));
  }
  NANOSetMessageArray(proto, APMPBEvent::kParams, params);
  return proto;
}

bool APMIsErrorEvent(const APMEvent& event) {
  if (event.name().empty()) {
    APMMonitor::monitor()->logWithLevel(2, 18004, "Cannot check the event name. Name is empty");
    return false;
  }
  return event.name() == "_err";
}

bool APMIsSubscriptionEvent(const APMEvent& event) {
  if (event.name() == "_assc" || event.name() == "_assr") return true;
  if (event.name() != "_iap") return false;
  const APMValue* subscription = event.parameter("subscription");
  return subscription && subscription->isInt64() && subscription->int64Value() == 1;
}

int64_t APMEventArrayElementCount(const APMEvent& event) {
  int64_t count = 0;
  for (const auto& [key, value] : event.parameters()) {
    if (const APMValue::Array* items = value.arrayValue()) {
      count += static_cast<int64_t>(items->size());
    }
  }
  return count;
}
