#include "AppMeasurement/script/APMPVariableCommandEvaluator.h"

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

// The name a string value holds; a value made by appending (which shares storage and holds
// no exact text of its own) is copied to `scratch`.
const std::u16string* NameOf(const APMPValuePtr& value, APMPErrorSlot* error,
                             std::u16string& scratch) {
  if (value->kind() != APMPValueKind::String) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return nullptr;
  }
  return &static_cast<const APMPStringValue&>(*value).text(scratch);
}

APMPValuePtr DeclareVariables(const APMPValueList& a, const APMPScopePtr& scope,
                              APMPErrorSlot* error) {
  for (const auto& argument : a) {
    std::u16string scratch;
    const std::u16string* name = NameOf(argument, error, scratch);
    if (name == nullptr) return APMPUndefined();
    scope->addValue(APMPUndefined(), *name);
  }
  return APMPUndefined();
}

APMPValuePtr DeclareConstants(const APMPValueList& a, const APMPScopePtr& scope,
                              APMPErrorSlot* error) {
  if (a.size() % 2 != 0) {
    APMPSetError(error, APMPErrorCodeArgumentCount);
    return APMPUndefined();
  }
  for (size_t i = 0; i < a.size(); i += 2) {
    std::u16string scratch;
    const std::u16string* name = NameOf(a[i], error, scratch);
    if (name == nullptr) return APMPUndefined();
    scope->addImmutableValue(a[i + 1], *name);
  }
  return APMPUndefined();
}

APMPValuePtr Assign(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return APMPUndefined();
  std::u16string scratch;
  const std::u16string* name = NameOf(a[0], error, scratch);
  if (name == nullptr) return APMPUndefined();
  if (!scope->hasName(*name)) {
    APMPSetError(error, APMPErrorCodeUndeclaredAssignment);
    return APMPUndefined();
  }
  scope->setValue(a[1], *name);
  return a[1];
}

APMPValuePtr ReadVariable(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  std::u16string scratch;
  const std::u16string* name = NameOf(a[0], error, scratch);
  if (name == nullptr) return APMPUndefined();
  return scope->valueForName(*name);
}

APMPValuePtr ArrayLiteral(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (a.size() > APMPArrayValue::kMaximumLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return APMPUndefined();
  }
  return APMPObjectManager::arrayValueWithArray(a, scope);
}

APMPValuePtr ObjectLiteral(const APMPValueList& a, const APMPScopePtr& scope,
                           APMPErrorSlot* error) {
  if (a.size() % 2 != 0) {
    APMPSetError(error, APMPErrorCodeArgumentCount);
    return APMPUndefined();
  }
  auto map = APMPObjectManager::mapValueWithScope(scope);
  for (size_t i = 0; i < a.size(); i += 2) {
    std::u16string scratch;
    std::u16string_view key = APMPStringConversion(*a[i], scratch, error);
    if (APMPHasError(error)) return APMPUndefined();
    map->setValue(a[i + 1], key);
  }
  return map;
}

APMPValuePtr PropertyRead(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return APMPUndefined();
  const APMPValuePtr& object = a[0];
  switch (object->kind()) {
    case APMPValueKind::Array: {
      APMPValuePtr value = static_cast<APMPArrayValue&>(*object).valueForProperty(a[1], error);
      return APMPHasError(error) ? APMPUndefined() : value;
    }
    case APMPValueKind::Map:
    case APMPValueKind::Function: {
      std::u16string scratch;
      std::u16string_view key = APMPStringConversion(*a[1], scratch, error);
      if (APMPHasError(error)) return APMPUndefined();
      if (auto* map = APMPAsMap(object)) return map->valueForProperty(key);
      return static_cast<APMPFunctionValue&>(*object).valueForProperty(key);
    }
    case APMPValueKind::String: {
      std::u16string_view text = static_cast<const APMPStringValue&>(*object).value();
      std::u16string key = a[1]->stringValueOrError(error);
      if (APMPHasError(error)) return APMPUndefined();
      if (key == u"length") return APMPNumberValue::make(static_cast<double>(text.size()));
      if (APMPIsArrayIndex(*a[1])) {
        double position = a[1]->doubleValueOrError(nullptr);
        if (position < static_cast<double>(text.size()))
          return APMPStringValue::make(std::u16string(1, text[static_cast<size_t>(position)]));
      }
      return APMPUndefined();
    }
    default:
      return APMPUndefined();
  }
}

APMPValuePtr PropertyWrite(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 3, error)) return APMPUndefined();
  const APMPValuePtr& object = a[0];
  switch (object->kind()) {
    case APMPValueKind::Undefined:
    case APMPValueKind::Null:
      APMPSetError(error, APMPErrorCodePropertyOfNullOrUndefined);
      return APMPUndefined();
    case APMPValueKind::Array:
      static_cast<APMPArrayValue&>(*object).setValue(a[2], a[1], error);
      return APMPHasError(error) ? APMPUndefined() : a[2];
    case APMPValueKind::Map:
    case APMPValueKind::Function: {
      std::u16string scratch;
      std::u16string_view key = APMPStringConversion(*a[1], scratch, error);
      if (APMPHasError(error)) return APMPUndefined();
      if (auto* map = APMPAsMap(object))
        map->setValue(a[2], key);
      else
        static_cast<APMPFunctionValue&>(*object).setValue(a[2], key);
      return a[2];
    }
    default:
      return a[2];
  }
}

APMPValuePtr TypeOf(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  switch (a[0]->kind()) {
    case APMPValueKind::Boolean:
      return APMPStringValue::make(u"boolean");
    case APMPValueKind::Function:
      return APMPStringValue::make(u"function");
    case APMPValueKind::Number:
      return APMPStringValue::make(u"number");
    case APMPValueKind::String:
      return APMPStringValue::make(u"string");
    case APMPValueKind::Undefined:
      return APMPStringValue::make(u"undefined");
    default:
      return APMPStringValue::make(u"object");
  }
}

APMPValuePtr UndefinedLiteral(const APMPValueList&, const APMPScopePtr&, APMPErrorSlot*) {
  return APMPUndefined();
}

APMPValuePtr NullLiteral(const APMPValueList&, const APMPScopePtr&, APMPErrorSlot*) {
  return APMPNull();
}

}  // namespace

APMPVariableCommandEvaluator::APMPVariableCommandEvaluator() {
  handlers_ = {{u"3", Assign},         {u"7", ArrayLiteral},
               {u"8", ObjectLiteral},  {u"15", ReadVariable},
               {u"16", PropertyRead},  {u"17", PropertyRead},
               {u"40", TypeOf},        {u"41", DeclareVariables},
               {u"43", PropertyWrite}, {u"44", UndefinedLiteral},
               {u"45", NullLiteral},   {u"52", DeclareConstants}};
  indexHandlers();
  direct_ = true;
  argumentMode_ = ArgumentMode::Eager;
}

APMPValuePtr APMPVariableCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                           const APMPValueList& arguments,
                                                           const APMPScopePtr& scope,
                                                           APMPErrorSlot* error) {
  return runHandler(command, arguments, scope, error, true);
}
