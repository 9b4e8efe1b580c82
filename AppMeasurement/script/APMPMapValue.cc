#include "AppMeasurement/script/APMPMapValue.h"

#include <cmath>
#include <typeinfo>

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {
constexpr int64_t kMapBytes =
    static_cast<int64_t>(sizeof(APMPMapValue)) + APMPStorageLedger::kSharedObjectBytes;
}

APMPMapValue::APMPMapValue() : APMPRuntimeValue(APMPValueKind::Map) {
  APMPStorageLedger::add(kMapBytes);
}

APMPMapValue::~APMPMapValue() { APMPStorageLedger::add(-kMapBytes); }

std::u16string APMPMapValue::stringValueOrError(APMPErrorSlot*) const { return u"[object Object]"; }
double APMPMapValue::doubleValueOrError(APMPErrorSlot*) const { return std::nan(""); }
bool APMPMapValue::booleanValueOrError(APMPErrorSlot*) const { return true; }

APMPValuePtr APMPApplyToPropertyHolder(APMPRuntimeValue& receiver, APMPPropertyMap& properties,
                                       const std::u16string& name, const APMPValueList& arguments,
                                       const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (const APMPValuePtr* own = properties.findValue(name)) {
    // Keep the callee alive for the call even if it replaces the property.
    std::shared_ptr<APMPFunctionValue> function = APMPSharedFunction(*own);
    if (!function) {
      APMPSetError(error, APMPErrorCodeUnknownMethod);
      return APMPUndefined();
    }
    return function->invokeWithArguments(arguments, scope, error);
  }
  if (name == u"hasOwnProperty") {
    APMPValueList evaluated = APMPEvaluateArguments(arguments, scope, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (!APMPCheckArgumentCount(evaluated, 1, error)) return APMPUndefined();
    std::u16string key = evaluated[0]->stringValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    return APMPBooleanValue::booleanValueWithBool(properties.hasName(key));
  }
  return receiver.APMPRuntimeValue::applyWithName(name, arguments, scope, error);
}

APMPValuePtr APMPMapValue::applyWithName(const std::u16string& name, const APMPValueList& arguments,
                                         const APMPScopePtr& scope, APMPErrorSlot* error) {
  auto self = shared_from_this();  // the call may drop every other reference
  return APMPApplyToPropertyHolder(*this, propertyMap_, name, arguments, scope, error);
}

bool APMPMapValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  const auto* o = dynamic_cast<const APMPMapValue*>(&other);
  if (o == nullptr || o->propertyMap_.count() != propertyMap_.count()) return false;
  // The other must be of the receiver's class or a subclass of it: a plain map matches any
  // map, a subclass (the event object) only its own kind.
  if (typeid(*this) != typeid(APMPMapValue) && typeid(*this) != typeid(other)) return false;
  bool equal = !equalityTooDeep(1);
  for (const auto& [name, value] : propertyMap_.entries()) {
    if (!equal) break;
    const APMPValuePtr* theirs = o->propertyMap_.findValue(name);
    equal = theirs != nullptr && value->isEqualToRuntimeValue(**theirs);
  }
  equalityTooDeep(-1);
  return equal;
}

void APMPMapValue::mark(APMPMarker& marker) {
  if (!mark_.setBy(marker)) return;
  propertyMap_.noteReached();
  for (const auto& entry : propertyMap_.entries()) APMPMarkValue(marker, entry.second);
}

void APMPMapValue::sweep() {
  if (mark_.clear()) return;
  propertyMap_.clear();
}
