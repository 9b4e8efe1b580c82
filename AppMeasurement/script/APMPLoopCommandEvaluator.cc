#include "AppMeasurement/script/APMPLoopCommandEvaluator.h"

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

enum class BodyOutcome { Next, Stop, Failed };

// Runs the body once in `scope`. A break stops with undefined, a return stops with that
// control value (in `result`), a failure stops with the error kept.
BodyOutcome RunBody(const APMPValueList& body, const APMPScopePtr& scope, APMPValuePtr& result,
                    APMPErrorSlot* error) {
  APMPValuePtr value = APMPEvaluator::executeStatements(body, scope, error);
  if (APMPHasError(error)) return BodyOutcome::Failed;
  if (value.get() == APMPControlValue::breakValue().get()) return BodyOutcome::Stop;
  if (value->kind() == APMPValueKind::Control &&
      static_cast<const APMPControlValue&>(*value).isReturn()) {
    result = value;
    return BodyOutcome::Stop;
  }
  return BodyOutcome::Next;
}

bool Truthy(const APMPValuePtr& condition, const APMPScopePtr& scope, APMPErrorSlot* error) {
  APMPValuePtr value = APMPEvaluator::evaluateStatement(condition, scope, error);
  if (APMPHasError(error)) return false;
  bool truthy = value->booleanValueOrError(error);
  return !APMPHasError(error) && truthy;
}

enum class Binding { Existing, Constant, Variable };
enum class Over { Keys, Items };

APMPValuePtr ForEach(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error,
                     Over over, Binding binding) {
  if (!APMPCheckArgumentCount(a, 3, error)) return APMPUndefined();
  APMPValueList values(2);
  values[0] = APMPEvaluator::evaluateStatement(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  values[1] = APMPEvaluator::evaluateStatement(a[1], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  // The body, normally a code list in place: its statements are run without making the array.
  APMPValueList bodyScratch;  // stays empty for a code list in place
  const APMPValueList* body = APMPEvaluateList(a[2], scope, error, bodyScratch);
  if (APMPHasError(error)) return APMPUndefined();
  std::u16string name = values[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  const APMPValuePtr& target = values[1];
  APMPValueList items;
  // The items of a string are made one by one as the loop reaches them (the text cannot
  // change; `values` keeps it alive): a long text and an early break must not first make a
  // string value per code unit.
  std::u16string_view text;
  bool isText = false;
  switch (target->kind()) {
    case APMPValueKind::String:
      text = static_cast<const APMPStringValue&>(*target).value();
      isText = true;
      break;
    case APMPValueKind::Array: {
      auto& array = static_cast<const APMPArrayValue&>(*target);
      items = over == Over::Keys ? array.allPropertyNames() : array.allElements();
      break;
    }
    case APMPValueKind::Map:
    case APMPValueKind::Function:
      if (over == Over::Keys) {
        const APMPPropertyMap& properties =
            target->kind() == APMPValueKind::Map
                ? static_cast<const APMPMapValue&>(*target).propertyMap()
                : static_cast<const APMPFunctionValue&>(*target).propertyMap();
        APMPChargeWork(properties.count());
        items.reserve(properties.count());
        for (const auto& entry : properties.entries())
          items.push_back(APMPStringValue::make(entry.first));
        break;
      }
      [[fallthrough]];
    default:
      if (over == Over::Items) {
        APMPSetError(error, APMPErrorCodeNotIterable);
        return APMPUndefined();
      }
      break;
  }
  if (body == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  APMPValuePtr result = APMPUndefined();
  size_t count = isText ? text.size() : items.size();
  for (size_t i = 0; i < count; ++i) {
    APMPValuePtr item;
    if (!isText)
      item = items[i];
    else if (over == Over::Keys)
      item = APMPStringValue::make(APMPNumberToString(static_cast<double>(i)));
    else
      item = APMPStringValue::make(std::u16string(1, text[i]));
    APMPScopePtr iterationScope = scope;
    if (binding == Binding::Existing) {
      scope->setValue(item, name);
    } else {
      iterationScope = scope->createChildScope();
      if (binding == Binding::Constant)
        iterationScope->addImmutableValue(item, name);
      else
        iterationScope->addValue(item, name);
    }
    BodyOutcome outcome = RunBody(*body, iterationScope, result, error);
    if (outcome == BodyOutcome::Failed) return APMPUndefined();
    if (outcome == BodyOutcome::Stop) return result;
  }
  return result;
}

APMPValuePtr ForInExisting(const APMPValueList& a, const APMPScopePtr& s, APMPErrorSlot* e) {
  return ForEach(a, s, e, Over::Keys, Binding::Existing);
}
APMPValuePtr ForInConstant(const APMPValueList& a, const APMPScopePtr& s, APMPErrorSlot* e) {
  return ForEach(a, s, e, Over::Keys, Binding::Constant);
}
APMPValuePtr ForInVariable(const APMPValueList& a, const APMPScopePtr& s, APMPErrorSlot* e) {
  return ForEach(a, s, e, Over::Keys, Binding::Variable);
}
APMPValuePtr ForOfExisting(const APMPValueList& a, const APMPScopePtr& s, APMPErrorSlot* e) {
  return ForEach(a, s, e, Over::Items, Binding::Existing);
}
APMPValuePtr ForOfConstant(const APMPValueList& a, const APMPScopePtr& s, APMPErrorSlot* e) {
  return ForEach(a, s, e, Over::Items, Binding::Constant);
}
APMPValuePtr ForOfVariable(const APMPValueList& a, const APMPScopePtr& s, APMPErrorSlot* e) {
  return ForEach(a, s, e, Over::Items, Binding::Variable);
}

APMPValuePtr ForLoop(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 4, error)) return APMPUndefined();
  APMPValuePtr namesValue = APMPEvaluator::evaluateStatement(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  APMPArrayValue* namesArray = APMPAsArray(namesValue);
  if (namesArray == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  APMPValueList bodyScratch;  // stays empty for a code list in place
  const APMPValueList* bodyList = APMPEvaluateList(a[3], scope, error, bodyScratch);
  if (APMPHasError(error)) return APMPUndefined();
  if (bodyList == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  std::vector<std::u16string> names;
  for (const auto& element : namesArray->allElements()) {
    names.push_back(element->stringValueOrError(error));
    if (APMPHasError(error)) return APMPUndefined();
  }
  const APMPValueList& body = *bodyList;
  APMPScopePtr iteration = scope->createChildScope();
  for (const auto& name : names) iteration->addValue(scope->valueForName(name), name);
  if (!Truthy(a[1], iteration, error)) return APMPUndefined();
  APMPValuePtr result = APMPUndefined();
  while (true) {
    BodyOutcome outcome = RunBody(body, iteration, result, error);
    if (outcome == BodyOutcome::Failed) return APMPUndefined();
    if (outcome == BodyOutcome::Stop) return result;
    APMPScopePtr next = scope->createChildScope();
    for (const auto& name : names) next->addValue(iteration->valueForName(name), name);
    iteration = std::move(next);
    APMPEvaluator::evaluateStatement(a[2], iteration, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (!Truthy(a[1], iteration, error)) return APMPHasError(error) ? APMPUndefined() : result;
  }
}

APMPValuePtr ConditionLoop(const APMPValueList& a, const APMPScopePtr& scope,
                           APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 4, error)) return APMPUndefined();
  APMPValuePtr flag = APMPEvaluator::evaluateStatement(a[2], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  bool bodyFirst = flag->booleanValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  APMPValueList bodyScratch;  // stays empty for a code list in place
  const APMPValueList* bodyList = APMPEvaluateList(a[3], scope, error, bodyScratch);
  if (APMPHasError(error)) return APMPUndefined();
  if (bodyList == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  const APMPValueList& body = *bodyList;
  APMPValuePtr result = APMPUndefined();
  if (bodyFirst) {
    BodyOutcome outcome = RunBody(body, scope, result, error);
    if (outcome == BodyOutcome::Failed) return APMPUndefined();
    if (outcome == BodyOutcome::Stop) return result;
  }
  while (true) {
    bool truthy = Truthy(a[0], scope, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (!truthy) return result;
    BodyOutcome outcome = RunBody(body, scope, result, error);
    if (outcome == BodyOutcome::Failed) return APMPUndefined();
    if (outcome == BodyOutcome::Stop) return result;
    APMPEvaluator::evaluateStatement(a[1], scope, error);
    if (APMPHasError(error)) return APMPUndefined();
  }
}

}  // namespace

APMPLoopCommandEvaluator::APMPLoopCommandEvaluator() {
  handlers_ = {{u"42", ConditionLoop}, {u"47", ForInExisting}, {u"54", ForInConstant},
               {u"55", ForInVariable}, {u"63", ForLoop},       {u"64", ForOfExisting},
               {u"65", ForOfConstant}, {u"66", ForOfVariable}};
  indexHandlers();
  direct_ = true;
  argumentMode_ = ArgumentMode::Lazy;
}

APMPValuePtr APMPLoopCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                       const APMPValueList& arguments,
                                                       const APMPScopePtr& scope,
                                                       APMPErrorSlot* error) {
  return runHandler(command, arguments, scope, error, false);
}
