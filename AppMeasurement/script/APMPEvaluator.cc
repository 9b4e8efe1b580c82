#include "AppMeasurement/script/APMPEvaluator.h"

#include <algorithm>

#include "AppMeasurement/script/APMPCommandRegistrar.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPStorageLedger.h"

APMPValuePtr APMPEvaluator::evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                              APMPErrorSlot* error) {
  return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

APMPValuePtr APMPEvaluator::executeStatements(const APMPValueList& statements,
                                              const APMPScopePtr& scope, APMPErrorSlot* error) {
  APMPValuePtr result = APMPUndefined();
  for (const auto& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (result->kind() == APMPValueKind::Control) return result;
  }
  return result;
}

APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                    APMPErrorSlot* error) {
  APMPValueList evaluated;
  APMPEvaluateArgumentsInto(arguments, scope, error, evaluated);
  return evaluated;
}

bool APMPEvaluateArgumentsInto(const APMPValueList& arguments, const APMPScopePtr& scope,
                               APMPErrorSlot* error, APMPValueList& out) {
  out.clear();
  out.reserve(arguments.size());
  APMPCommandRegistrar& registrar = APMPCommandRegistrar::sharedInstance();
  for (const auto& argument : arguments) {
    if (argument->kind() != APMPValueKind::Statement) {
      // A value that evaluates to itself, as evaluateStatement would: charged, then itself.
      if (!APMPCommandRegistrar::admit(scope, error)) {
        out.push_back(APMPUndefined());
        return false;
      }
      out.push_back(argument);
      continue;
    }
    out.push_back(registrar.evaluateStatement(argument, scope, error));
    if (APMPHasError(error)) return false;
  }
  return true;
}

const APMPValueList* APMPEvaluateArgumentsInPlace(const APMPValueList& arguments,
                                                  const APMPScopePtr& scope, APMPErrorSlot* error,
                                                  APMPPooledList& scratch) {
  bool values = std::none_of(arguments.begin(), arguments.end(), [](const APMPValuePtr& argument) {
    return argument->kind() == APMPValueKind::Statement;
  });
  if (!values) {
    if (!APMPEvaluateArgumentsInto(arguments, scope, error, scratch.values())) return nullptr;
    return &scratch.values();
  }
  for (size_t i = 0; i < arguments.size(); ++i)
    if (!APMPCommandRegistrar::admit(scope, error)) return nullptr;
  return &arguments;
}

const APMPValueList* APMPEvaluateList(const APMPValuePtr& value, const APMPScopePtr& scope,
                                      APMPErrorSlot* error, APMPValueList& scratch,
                                      APMPValuePtr* evaluated) {
  return APMPCommandRegistrar::sharedInstance().evaluateList(value, scope, error, scratch,
                                                             evaluated);
}

namespace {

// Frees the pooled lists of a thread when it ends.
struct ListPoolOwner {
  APMPListPool pool;
  ~ListPoolOwner() {
    for (size_t i = 0; i < pool.count; ++i) delete pool.lists[i];
    gAPMPListPool = nullptr;
  }
};

}  // namespace

constinit thread_local APMPListPool* gAPMPListPool = nullptr;

APMPListPool& APMPListPool::make() {
  thread_local ListPoolOwner owner;
  gAPMPListPool = &owner.pool;
  return owner.pool;
}

APMPValueList* APMPListPool::allocate() {
  auto* list = new APMPValueList();
  list->reserve(4);
  return list;
}

void APMPListPool::release(APMPValueList* list) {
  list->clear();
  if (count == kPooledLists || list->capacity() > kPooledCapacity) {
    delete list;
    return;
  }
  lists[count++] = list;
}

bool APMPCountInstruction(const APMPScopePtr& scope, APMPErrorSlot* error) {
  APMPInstructionCounter* counter = scope ? scope->instructionCounter() : nullptr;
  if (counter == nullptr) return true;
  if (counter->count >= APMPInstructionCounter::kBudget) {
    APMPSetError(error, APMPErrorCodeInstructionBudget);
    return false;
  }
  ++counter->count;
  return true;
}

constinit thread_local APMPInstructionCounter* gAPMPWorkCounter = nullptr;

bool APMPChargeWorkUnits(size_t units) {
  APMPInstructionCounter* counter = gAPMPWorkCounter;
  if (counter == nullptr) return true;
  if (counter->workExhausted) return false;
  if (units < APMPInstructionCounter::kWorkPerInstruction) return true;
  uint64_t count = counter->count + units / APMPInstructionCounter::kWorkPerInstruction;
  if (count > APMPInstructionCounter::kBudget) {
    counter->count = APMPInstructionCounter::kBudget;
    counter->workExhausted = true;
    return false;
  }
  counter->count = static_cast<uint32_t>(count);
  return true;
}

bool APMPChargeWork(size_t units, APMPErrorSlot* error) {
  if (APMPChargeWork(units)) return true;
  APMPSetError(error, APMPErrorCodeInstructionBudget);
  return false;
}

APMPInstructionCounter* APMPCurrentInstructionCounter() { return gAPMPWorkCounter; }

bool APMPWorkBudgetSpent() {
  APMPInstructionCounter* counter = gAPMPWorkCounter;
  return counter != nullptr && counter->workExhausted;
}

bool APMPWorkMeter::charge(size_t units, APMPErrorSlot* error) {
  pending_ += units;
  if (pending_ < APMPInstructionCounter::kWorkPerInstruction) {
    // A spent budget stops the loop at its next step, whatever is pending: a caller that
    // passed no error slot stops by the answer alone.
    if (!APMPWorkBudgetSpent()) return true;
    APMPSetError(error, APMPErrorCodeInstructionBudget);
    return false;
  }
  size_t whole = pending_ - pending_ % APMPInstructionCounter::kWorkPerInstruction;
  pending_ -= whole;
  if (!APMPChargeWork(whole, error)) return false;
  if (APMPStorageLedger::isExhausted()) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return false;
  }
  return true;
}
