#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"

#include <cmath>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPText.h"

namespace {

APMPValuePtr FromHost(const platform::Value* object, const APMPScopePtr& scope, int depth,
                      APMPErrorSlot error) {
  if (object == nullptr || object->isNull()) return APMPNull();
  if (depth > APMPRuntimeEntityConverter::kMaximumNesting) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return APMPUndefined();
  }
  if (const auto* text = object->asString()) return APMPStringValue::make(APMPUTF16FromUTF8(*text));
  if (const auto* b = object->asBool()) return APMPBooleanValue::booleanValueWithBool(*b);
  if (auto number = object->numberAsDouble()) return APMPNumberValue::make(*number);
  if (const auto* dictionary = object->asDictionary()) {
    auto map = APMPObjectManager::mapValueWithScope(scope);
    for (const auto& [key, value] : *dictionary) {
      APMPValuePtr converted = FromHost(&value, scope, depth + 1, error);
      if (APMPHasError(error)) return APMPUndefined();
      map->setValue(converted, APMPUTF16FromUTF8(key));
    }
    return map;
  }
  if (const auto* array = object->asArray()) {
    APMPValueList elements;
    for (const auto& value : *array) {
      elements.push_back(FromHost(&value, scope, depth + 1, error));
      if (APMPHasError(error)) return APMPUndefined();
    }
    return APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
  }
  APMPSetError(error, APMPErrorCodeUnconvertibleHostObject);
  return APMPUndefined();
}

std::optional<platform::Value> ToHost(const APMPValuePtr& value, int depth, APMPErrorSlot error);

platform::Value::Dictionary MapToHost(const APMPMapValue& map, int depth, APMPErrorSlot error) {
  platform::Value::Dictionary out;
  for (const auto& [name, property] : map.propertyMap().entries()) {
    std::optional<platform::Value> converted = ToHost(property, depth + 1, error);
    if (APMPHasError(error)) return {};
    if (converted) out[APMPUTF8FromUTF16(name)] = std::move(*converted);
  }
  return out;
}

std::optional<platform::Value> ToHost(const APMPValuePtr& value, int depth, APMPErrorSlot error) {
  if (depth > APMPRuntimeEntityConverter::kMaximumNesting) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return std::nullopt;
  }
  switch (value->kind()) {
    case APMPValueKind::Null:
      return std::nullopt;
    case APMPValueKind::Undefined:
      return platform::Value("");
    case APMPValueKind::Map: {
      std::optional<platform::Value> result;
      result.emplace(MapToHost(static_cast<const APMPMapValue&>(*value), depth, error));
      return result;
    }
    case APMPValueKind::Array: {
      platform::Value::Array list;
      for (const auto& element : static_cast<const APMPArrayValue&>(*value).allElements()) {
        std::optional<platform::Value> converted = ToHost(element, depth + 1, error);
        if (APMPHasError(error)) return std::nullopt;
        // A host list cannot hold "absent": null elements are left out, as in dictionaries.
        if (converted) list.push_back(std::move(*converted));
      }
      return platform::Value(std::move(list));
    }
    default: {
      std::optional<APMPError> numberError;
      double number = value->doubleValueOrError(&numberError);
      if (!numberError && !std::isnan(number)) return platform::Value(number);
      std::u16string text = value->stringValueOrError(error);
      if (APMPHasError(error)) return std::nullopt;
      return platform::Value(APMPUTF8FromUTF16(text));
    }
  }
}

}  // namespace

APMPValuePtr APMPRuntimeEntityConverter::runtimeValueFromNSObject(const platform::Value* object,
                                                                  const APMPScopePtr& scope,
                                                                  APMPErrorSlot error) {
  return FromHost(object, scope, 0, error);
}

std::optional<platform::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(
    const APMPValuePtr& value, APMPErrorSlot error) {
  return ToHost(value, 0, error);
}

platform::Value::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(
    const APMPValuePtr& map, APMPErrorSlot error) {
  const auto* m = dynamic_cast<const APMPMapValue*>(map.get());
  if (m == nullptr) return {};
  return MapToHost(*m, 0, error);
}
