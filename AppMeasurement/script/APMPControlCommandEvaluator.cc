#include "AppMeasurement/script/APMPControlCommandEvaluator.h"

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

APMPValuePtr Evaluate(const APMPValuePtr& value, const APMPScopePtr& scope, APMPErrorSlot* error) {
  return APMPEvaluator::evaluateStatement(value, scope, error);
}

APMPValuePtr CodeList(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  return APMPObjectManager::arrayValueWithArray(a, scope);
}

APMPValuePtr StatementList(const APMPValueList& a, const APMPScopePtr& scope,
                           APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  APMPValueList scratch;  // stays empty, without storage, for a code list in place
  const APMPValueList* statements = APMPEvaluateList(a[0], scope, error, scratch);
  if (APMPHasError(error)) return APMPUndefined();
  if (statements == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  return APMPEvaluator::executeStatements(*statements, scope, error);
}

APMPValuePtr Block(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  return APMPEvaluator::executeStatements(a, scope->createChildScope(), error);
}

APMPValuePtr Break(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return APMPControlValue::breakValue();
}

APMPValuePtr Continue(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return APMPControlValue::continueValue();
}

APMPValuePtr Return(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckMaxArgumentCount(a, 1, error)) return APMPUndefined();
  if (a.empty()) return APMPControlValue::returnValueWithData(nullptr);
  // One argument at most: evaluated as APMPEvaluateArguments would, without making a list.
  APMPValuePtr value = Evaluate(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  return APMPControlValue::returnValueWithData(std::move(value));
}

APMPValuePtr Comma(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckMinArgumentCount(a, 1, error)) return APMPUndefined();
  APMPValuePtr result = APMPUndefined();
  for (const auto& argument : a) {
    result = Evaluate(argument, scope, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (result->kind() == APMPValueKind::Control) {
      APMPSetError(error, APMPErrorCodeArgumentType);
      return APMPUndefined();
    }
  }
  return result;
}

APMPValuePtr If(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (a.empty() || a.size() > 3) {
    APMPSetError(error, APMPErrorCodeArgumentCount);
    return APMPUndefined();
  }
  APMPValuePtr condition = Evaluate(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  bool truthy = condition->booleanValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  size_t branch = truthy ? 1 : 2;
  if (branch >= a.size()) return APMPUndefined();
  // A branch that is a code list runs as a statement list; any other value is the result.
  APMPValueList scratch;  // stays empty, without storage, for a code list in place
  APMPValuePtr value;
  const APMPValueList* list = APMPEvaluateList(a[branch], scope, error, scratch, &value);
  if (APMPHasError(error)) return APMPUndefined();
  if (list != nullptr) return APMPEvaluator::executeStatements(*list, scope, error);
  return value;
}

APMPValuePtr Conditional(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 3, error)) return APMPUndefined();
  APMPValuePtr condition = Evaluate(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  bool truthy = condition->booleanValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  APMPValuePtr value = Evaluate(a[truthy ? 1 : 2], scope, error);
  return APMPHasError(error) ? APMPUndefined() : value;
}

APMPValuePtr MethodCall(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 3, error)) return APMPUndefined();
  APMPValuePtr receiver = Evaluate(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  APMPValuePtr nameValue = Evaluate(a[1], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  // The argument list is normally an array literal in place: its elements are passed on
  // without making the array.
  APMPPooledList scratch;
  const APMPValueList* arguments = APMPEvaluateList(a[2], scope, error, scratch.values());
  if (APMPHasError(error)) return APMPUndefined();
  if (nameValue->kind() != APMPValueKind::String || arguments == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  std::u16string nameScratch;
  const std::u16string& name = static_cast<const APMPStringValue&>(*nameValue).text(nameScratch);
  return receiver->applyWithName(name, *arguments, scope, error);
}

std::shared_ptr<APMPFunctionValue> MakeFunction(const APMPValueList& a, const APMPScopePtr& scope,
                                                APMPErrorSlot* error) {
  if (!APMPCheckMinArgumentCount(a, 2, error)) return nullptr;
  std::u16string name = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return nullptr;
  APMPValuePtr parameterList = Evaluate(a[1], scope, error);
  if (APMPHasError(error)) return nullptr;
  APMPArrayValue* parameters = APMPAsArray(parameterList);
  if (parameters == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return nullptr;
  }
  std::vector<std::u16string> names;
  for (const auto& element : parameters->allElements()) {
    names.push_back(element->stringValueOrError(error));
    if (APMPHasError(error)) return nullptr;
  }
  APMPValueList body(a.begin() + 2, a.end());
  return APMPObjectManager::functionValueWithFunctionName(std::move(name), std::move(names),
                                                          std::move(body), scope);
}

APMPValuePtr FunctionExpression(const APMPValueList& a, const APMPScopePtr& scope,
                                APMPErrorSlot* error) {
  auto function = MakeFunction(a, scope, error);
  if (!function) return APMPUndefined();
  return function;
}

APMPValuePtr FunctionDeclaration(const APMPValueList& a, const APMPScopePtr& scope,
                                 APMPErrorSlot* error) {
  auto function = MakeFunction(a, scope, error);
  if (!function) return APMPUndefined();
  scope->setValue(function, function->functionName());
  return function;
}

APMPValuePtr Switch(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(a, scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  APMPArrayValue* caseArray = APMPAsArray(values[1]);
  APMPArrayValue* bodyArray = APMPAsArray(values[2]);
  if (caseArray == nullptr || bodyArray == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentCount);
    return APMPUndefined();
  }
  APMPValueList cases = caseArray->allElements();
  APMPValueList bodies = bodyArray->allElements();
  bool hasDefault = bodies.size() == cases.size() + 1;
  const APMPValuePtr& discriminant = values[0];
  bool matched = false;
  // Runs one body; true when the switch ends here (result set).
  APMPValuePtr result = APMPUndefined();
  auto runBody = [&](const APMPValuePtr& body) {
    APMPValuePtr value = Evaluate(body, scope, error);
    if (APMPHasError(error)) {
      result = APMPUndefined();
      return true;
    }
    if (value.get() == APMPControlValue::breakValue().get()) return true;
    if (value->kind() == APMPValueKind::Control) {
      result = value;
      return true;
    }
    return false;
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    if (!matched) {
      APMPValuePtr candidate = Evaluate(cases[i], scope, error);
      if (APMPHasError(error)) return APMPUndefined();
      bool equal = APMPStrictEquals(*candidate, *discriminant, error);
      if (APMPHasError(error)) return APMPUndefined();
      if (!equal) continue;
      matched = true;
    }
    // A case without a body (more cases than bodies) has nothing to run.
    if (i < bodies.size() && runBody(bodies[i])) return result;
  }
  if (hasDefault && runBody(bodies.back())) return result;
  return APMPUndefined();
}

}  // namespace

APMPControlCommandEvaluator::APMPControlCommandEvaluator() {
  handlers_ = {{u"2", MethodCall},
               {u"4", Break},
               {u"5", StatementList},
               {u"6", Continue},
               {u"9", StatementList},
               {u"13", Comma},
               {u"22", If},
               {u"36", Return},
               {u"38", Switch},
               {u"39", Conditional},
               {u"46", CodeList},
               {u"50", FunctionDeclaration},
               {u"51", FunctionExpression},
               {u"53", Block}};
  indexHandlers();
  direct_ = true;
  argumentMode_ = ArgumentMode::Lazy;
}

APMPValuePtr APMPControlCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                          const APMPValueList& arguments,
                                                          const APMPScopePtr& scope,
                                                          APMPErrorSlot* error) {
  return runHandler(command, arguments, scope, error, false);
}
