#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"

#include <algorithm>
#include <cmath>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

// The cost of one conversion between script and host values. Every node converted is charged
// to the budget (one unit plus its code units), so converting a structure whose parts are
// shared (`a = [a, a]` forty times: a trillion leaves reached through forty arrays) stops
// with error 18 instead of running for hours; and the host value built must fit in what the
// storage ledger has left, or the conversion fails with error 20 before it holds that memory.
class ConversionCost {
 public:
  ConversionCost()
      : room_(std::max<int64_t>(0, APMPStorageLedger::kLimit - APMPStorageLedger::total())) {}

  // Charges one node that holds `units` code units and builds about `bytes` bytes.
  bool charge(size_t units, int64_t bytes, APMPErrorSlot* error) {
    built_ += bytes;
    if (built_ > room_) {
      APMPSetError(error, APMPErrorCodeTooLarge);
      return false;
    }
    return meter_.charge(1 + units, error);
  }

 private:
  APMPWorkMeter meter_;
  int64_t room_;
  int64_t built_ = 0;
};

// What one host value holds: the value itself, its place in a list or map, the text's bytes.
constexpr int64_t kHostNodeBytes = static_cast<int64_t>(sizeof(platform::Value)) + 48;

APMPValuePtr FromHost(const platform::Value* object, const APMPScopePtr& scope, int depth,
                      ConversionCost& cost, APMPErrorSlot* error) {
  if (object == nullptr || object->isNull()) return APMPNull();
  if (depth > APMPRuntimeEntityConverter::kMaximumNesting) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return APMPUndefined();
  }
  const std::string* text = object->asString();
  if (!cost.charge(text ? text->size() : 0, 0, error)) return APMPUndefined();
  if (text) return APMPStringValue::make(APMPUTF16FromUTF8(*text));
  if (const auto* b = object->asBool()) return APMPBooleanValue::booleanValueWithBool(*b);
  if (auto number = object->numberAsDouble()) return APMPNumberValue::make(*number);
  if (const auto* dictionary = object->asDictionary()) {
    auto map = APMPObjectManager::mapValueWithScope(scope);
    for (const auto& [key, value] : *dictionary) {
      APMPValuePtr converted = FromHost(&value, scope, depth + 1, cost, error);
      if (APMPHasError(error)) return APMPUndefined();
      map->setValue(converted, APMPUTF16FromUTF8(key));
    }
    return map;
  }
  if (const auto* array = object->asArray()) {
    APMPValueList elements;
    for (const auto& value : *array) {
      elements.push_back(FromHost(&value, scope, depth + 1, cost, error));
      if (APMPHasError(error)) return APMPUndefined();
    }
    return APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
  }
  APMPSetError(error, APMPErrorCodeUnconvertibleHostObject);
  return APMPUndefined();
}

std::optional<platform::Value> ToHost(const APMPValuePtr& value, int depth, ConversionCost& cost,
                                      APMPErrorSlot* error);

platform::Value::Dictionary MapToHost(const APMPMapValue& map, int depth, ConversionCost& cost,
                                      APMPErrorSlot* error) {
  platform::Value::Dictionary out;
  for (const auto& [name, property] : map.propertyMap().entries()) {
    if (!cost.charge(name.size(), 3 * static_cast<int64_t>(name.size()), error)) return {};
    std::optional<platform::Value> converted = ToHost(property, depth + 1, cost, error);
    if (APMPHasError(error)) return {};
    if (converted) out[APMPUTF8FromUTF16(name)] = std::move(*converted);
  }
  return out;
}

std::optional<platform::Value> ToHost(const APMPValuePtr& value, int depth, ConversionCost& cost,
                                      APMPErrorSlot* error) {
  if (depth > APMPRuntimeEntityConverter::kMaximumNesting) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return std::nullopt;
  }
  if (!cost.charge(0, kHostNodeBytes, error)) return std::nullopt;
  switch (value->kind()) {
    case APMPValueKind::Null:
      return std::nullopt;
    case APMPValueKind::Undefined:
      return platform::Value("");
    case APMPValueKind::Map: {
      std::optional<platform::Value> result;
      result.emplace(MapToHost(static_cast<const APMPMapValue&>(*value), depth, cost, error));
      if (APMPHasError(error)) return std::nullopt;
      return result;
    }
    case APMPValueKind::Array: {
      platform::Value::Array list;
      for (const auto& element : static_cast<const APMPArrayValue&>(*value).allElements()) {
        std::optional<platform::Value> converted = ToHost(element, depth + 1, cost, error);
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
      std::u16string scratch;
      std::u16string_view text = APMPStringConversion(*value, scratch, error);
      if (APMPHasError(error)) return std::nullopt;
      // UTF-8 takes at most three bytes per code unit.
      if (!cost.charge(text.size(), 3 * static_cast<int64_t>(text.size()), error))
        return std::nullopt;
      return platform::Value(APMPUTF8FromUTF16(text));
    }
  }
}

bool IsRuntimeEntity(const NANOMessageBase& message) {
  return &message.messageLayout() == &APMPBRuntimeEntity::layout();
}

APMPValuePtr EntityToValue(const NANOMessageBase& entity, int depth, APMPErrorSlot* error);

// The arguments are read through views of the parent's records: reading them through copies
// would copy every subtree once per statement above it.
APMPValuePtr StatementToValue(const NANOMessageBase& entity, int depth, APMPErrorSlot* error) {
  std::optional<std::string> name = NANOGetString(entity, APMPBRuntimeEntity::kStatement);
  if (!name) {
    APMPSetError(error, APMPErrorCodeMissingFunctionName);
    return APMPUndefined();
  }
  if (depth > APMPRuntimeEntityConverter::kMaximumEntityNesting) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return APMPUndefined();
  }
  APMPValueList arguments;
  if (auto children =
          NANOViewMessageArray<APMPBRuntimeEntity>(entity, APMPBRuntimeEntity::kValue)) {
    arguments.reserve(children->size());
    for (const NANOMessageView& child : *children) {
      arguments.push_back(EntityToValue(child, depth + 1, error));
      if (APMPHasError(error)) return APMPUndefined();
    }
  }
  return std::make_shared<APMPStatementValue>(APMPUTF16FromUTF8(*name), std::move(arguments));
}

APMPValuePtr EntityToValue(const NANOMessageBase& entity, int depth, APMPErrorSlot* error) {
  if (!IsRuntimeEntity(entity)) {
    APMPSetError(error, APMPErrorCodeUnknownEntityType);
    return APMPUndefined();
  }
  switch (NANOGetInt32(entity, APMPBRuntimeEntity::kType)) {
    case 1:
      return APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(entity);
    case 2:
      return APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(entity);
    case 3:
      return APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(entity);
    case 4:
      return StatementToValue(entity, depth, error);
    default:
      APMPSetError(error, APMPErrorCodeUnknownEntityType);
      return APMPUndefined();
  }
}

}  // namespace

APMPValuePtr APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(
    const NANOMessageBase& entity, APMPErrorSlot* error) {
  return EntityToValue(entity, 0, error);
}

APMPValuePtr APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(
    const NANOMessageBase& entity) {
  std::optional<std::string> text = NANOGetString(entity, APMPBRuntimeEntity::kStringValue);
  return APMPStringValue::make(text ? APMPUTF16FromUTF8(*text) : std::u16string());
}

APMPValuePtr APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(
    const NANOMessageBase& entity) {
  if (!NANOHasField(entity, APMPBRuntimeEntity::kNumberValue))
    return APMPNumberValue::make(std::nan(""));
  return APMPNumberValue::make(NANOGetDouble(entity, APMPBRuntimeEntity::kNumberValue));
}

APMPValuePtr APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(
    const NANOMessageBase& entity) {
  return APMPBooleanValue::booleanValueWithBool(
      NANOGetBool(entity, APMPBRuntimeEntity::kBooleanValue));
}

APMPValuePtr APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(
    const NANOMessageBase& entity, APMPErrorSlot* error) {
  if (!IsRuntimeEntity(entity)) {
    APMPSetError(error, APMPErrorCodeUnknownEntityType);
    return APMPUndefined();
  }
  return StatementToValue(entity, 0, error);
}

APMPValuePtr APMPRuntimeEntityConverter::runtimeValueFromNSObject(const platform::Value* object,
                                                                  const APMPScopePtr& scope,
                                                                  APMPErrorSlot* error) {
  ConversionCost cost;
  return FromHost(object, scope, 0, cost, error);
}

std::optional<platform::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(
    const APMPValuePtr& value, APMPErrorSlot* error) {
  ConversionCost cost;
  return ToHost(value, 0, cost, error);
}

platform::Value::Dictionary APMPRuntimeEntityConverter::dictionaryFromMapValue(
    const APMPValuePtr& map, APMPErrorSlot* error) {
  const auto* m = dynamic_cast<const APMPMapValue*>(map.get());
  if (m == nullptr) return {};
  ConversionCost cost;
  return MapToHost(*m, 0, cost, error);
}
