#include "AppMeasurement/script/APMPCommandRegistrar.h"

#include <algorithm>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPBitwiseCommandEvaluator.h"
#include "AppMeasurement/script/APMPComparisonCommandEvaluator.h"
#include "AppMeasurement/script/APMPControlCommandEvaluator.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPLogicalCommandEvaluator.h"
#include "AppMeasurement/script/APMPLoopCommandEvaluator.h"
#include "AppMeasurement/script/APMPMathCommandEvaluator.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPValueFunctions.h"
#include "AppMeasurement/script/APMPVariableCommandEvaluator.h"

namespace {

// Nesting of evaluations on this thread.
thread_local int evaluationDepth = 0;

constexpr int kArrayLiteral = 7;
constexpr int kReadVariable = 15;
constexpr int kCodeList = 46;

struct DepthScope {
  DepthScope() { ++evaluationDepth; }
  ~DepthScope() { --evaluationDepth; }
};

}  // namespace

APMPCommandRegistrar::APMPCommandRegistrar() {
  registerEvaluator(std::make_shared<APMPBitwiseCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPComparisonCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPControlCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPLogicalCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPLoopCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPMathCommandEvaluator>());
  registerEvaluator(std::make_shared<APMPVariableCommandEvaluator>());
}

void APMPCommandRegistrar::registerEvaluator(std::shared_ptr<APMPCommandEvaluator> evaluator) {
  for (const auto& command : evaluator->allSupportedCommands()) {
    commandEvaluators_[command] = evaluator.get();
    APMPStatementValue probe(command, {});
    int code = probe.commandCode();
    if (code >= 0) {
      byCode_[static_cast<size_t>(code)] = evaluator.get();
      routes_[static_cast<size_t>(code)] = {evaluator->directHandlerForCode(code),
                                            evaluator->argumentMode()};
    }
  }
  owned_.push_back(std::move(evaluator));
}

APMPCommandEvaluator* APMPCommandRegistrar::evaluatorForName(
    const APMPStatementValue& statement) const {
  int code = statement.commandCode();
  if (code >= 0) return byCode_[static_cast<size_t>(code)];
  auto it = commandEvaluators_.find(statement.functionName());
  return it == commandEvaluators_.end() ? nullptr : it->second;
}

APMPValuePtr APMPCommandRegistrar::evaluateStatement(const APMPValuePtr& value,
                                                     const APMPScopePtr& scope,
                                                     APMPErrorSlot* error) {
  APMPInstructionCounter* counter = scope ? scope->instructionCounter() : nullptr;
  if (!admit(counter, error)) return APMPUndefined();
  if (value->kind() != APMPValueKind::Statement) return value;
  APMPWorkCounterScope workCounter(counter);
  if (evaluationDepth >= kMaximumDepth) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return APMPUndefined();
  }
  DepthScope depth;
  // Hold the statement: evaluating it may drop the last other reference (a code list
  // element replaced by the script).
  APMPValuePtr keep = value;
  const auto& statement = static_cast<const APMPStatementValue&>(*value);
  int code = statement.commandCode();
  if (code >= 0) {
    const Route& route = routes_[static_cast<size_t>(code)];
    if (code == kReadVariable && route.handler != nullptr) {
      // The commonest statement, a variable read by a name written in place: the name is
      // evaluated (and charged) as the general path would, then looked up directly.
      const APMPValueList& arguments = statement.arguments();
      if (arguments.size() == 1 && arguments[0]->kind() == APMPValueKind::String) {
        if (!admit(counter, error)) return APMPUndefined();
        return scope->valueForName(static_cast<const APMPStringValue&>(*arguments[0]).value());
      }
    }
    if (route.handler != nullptr) {
      using Mode = APMPCommandEvaluator::ArgumentMode;
      if (route.mode == Mode::Lazy) return route.handler(statement.arguments(), scope, error);
      if (route.mode == Mode::EagerPair && !APMPCheckArgumentCount(statement.arguments(), 2, error))
        return APMPUndefined();
      APMPPooledList scratch;
      const APMPValueList* evaluated =
          APMPEvaluateArgumentsInPlace(statement.arguments(), scope, error, scratch);
      if (evaluated == nullptr) return APMPUndefined();
      return route.handler(*evaluated, scope, error);
    }
  }
  APMPCommandEvaluator* evaluator = evaluatorForName(statement);
  if (evaluator == nullptr)
    return functionEvaluator_.evaluateCommand(statement.functionName(), statement.arguments(),
                                              scope, error);
  return evaluator->evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
}

const APMPValueList* APMPCommandRegistrar::evaluateList(const APMPValuePtr& value,
                                                        const APMPScopePtr& scope,
                                                        APMPErrorSlot* error,
                                                        APMPValueList& scratch,
                                                        APMPValuePtr* evaluated) {
  if (evaluated != nullptr) *evaluated = APMPUndefined();
  int code = value->kind() == APMPValueKind::Statement
                 ? static_cast<const APMPStatementValue&>(*value).commandCode()
                 : -1;
  // Only while the codes are the built-in code list and array literal.
  bool inPlace = (code == kCodeList || code == kArrayLiteral) &&
                 routes_[static_cast<size_t>(code)].handler != nullptr;
  if (!inPlace) {
    APMPValuePtr result = evaluateStatement(value, scope, error);
    if (APMPHasError(error)) return nullptr;
    if (result->kind() != APMPValueKind::Array) {
      if (evaluated != nullptr) *evaluated = std::move(result);
      return nullptr;
    }
    scratch = static_cast<const APMPArrayValue&>(*result).allElements();
    return &scratch;
  }
  // What evaluateStatement does for the statement, up to making the array.
  if (!admit(scope, error)) return nullptr;
  APMPWorkCounterScope workCounter(scope ? scope->instructionCounter() : nullptr);
  if (evaluationDepth >= kMaximumDepth) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return nullptr;
  }
  const auto& statement = static_cast<const APMPStatementValue&>(*value);
  const APMPValueList* elements = &statement.arguments();
  {
    DepthScope depth;
    if (code == kArrayLiteral) {
      if (!APMPEvaluateArgumentsInto(statement.arguments(), scope, error, scratch)) return nullptr;
      if (scratch.size() > APMPArrayValue::kMaximumLength) {
        APMPSetError(error, APMPErrorCodeTooLarge);
        return nullptr;
      }
      elements = &scratch;
    }
  }
  // Making the array and reading its elements back charge what they would (nothing below
  // one evaluation's worth of elements).
  APMPChargeWork(elements->size());
  APMPChargeWork(elements->size());
  const APMPValuePtr& hole = APMPArrayValue::emptyValue();
  if (std::find(elements->begin(), elements->end(), hole) != elements->end()) {
    if (elements != &scratch) scratch = *elements;
    std::replace(scratch.begin(), scratch.end(), hole, APMPUndefined());
    elements = &scratch;
  }
  return elements;
}
