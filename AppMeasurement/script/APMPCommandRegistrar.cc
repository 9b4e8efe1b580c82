#include "AppMeasurement/script/APMPCommandRegistrar.h"

#include "AppMeasurement/script/APMPBitwiseCommandEvaluator.h"
#include "AppMeasurement/script/APMPComparisonCommandEvaluator.h"
#include "AppMeasurement/script/APMPControlCommandEvaluator.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPLogicalCommandEvaluator.h"
#include "AppMeasurement/script/APMPLoopCommandEvaluator.h"
#include "AppMeasurement/script/APMPMathCommandEvaluator.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPVariableCommandEvaluator.h"

namespace {

// Nesting of evaluations on this thread.
thread_local int evaluationDepth = 0;

struct DepthScope {
  DepthScope() { ++evaluationDepth; }
  ~DepthScope() { --evaluationDepth; }
};

}  // namespace

APMPCommandRegistrar& APMPCommandRegistrar::sharedInstance() {
  static APMPCommandRegistrar& instance = *new APMPCommandRegistrar();
  return instance;
}

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
    if (probe.commandCode() >= 0)
      byCode_[static_cast<size_t>(probe.commandCode())] = evaluator.get();
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
  if (!APMPCountInstruction(scope, error)) return APMPUndefined();
  if (APMPStorageLedger::isExhausted()) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return APMPUndefined();
  }
  if (value->kind() != APMPValueKind::Statement) return value;
  APMPWorkCounterScope workCounter(scope ? scope->instructionCounter() : nullptr);
  if (evaluationDepth >= kMaximumDepth) {
    APMPSetError(error, APMPErrorCodeNestingTooDeep);
    return APMPUndefined();
  }
  DepthScope depth;
  // Hold the statement: evaluating it may drop the last other reference (a code list
  // element replaced by the script).
  APMPValuePtr keep = value;
  const auto& statement = static_cast<const APMPStatementValue&>(*value);
  APMPCommandEvaluator* evaluator = evaluatorForName(statement);
  if (evaluator == nullptr)
    return functionEvaluator_.evaluateCommand(statement.functionName(), statement.arguments(),
                                              scope, error);
  return evaluator->evaluateCommand(statement.functionName(), statement.arguments(), scope, error);
}
