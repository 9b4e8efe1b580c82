#pragma once

#include "AppMeasurement/script/APMPRuntimeValue.h"

// Runs statements and statement lists.
struct APMPInstructionCounter;

class APMPEvaluator {
 public:
  // Charges the budget, then evaluates: statements go to their command or function, every
  // other value evaluates to itself.
  static APMPValuePtr evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                        APMPErrorSlot* error);
  // Evaluates in order; stops at a failure (undefined) or at a control value (that value);
  // else the last result, undefined for an empty list.
  static APMPValuePtr executeStatements(const APMPValueList& statements, const APMPScopePtr& scope,
                                        APMPErrorSlot* error);
};

// Evaluates each argument in order into a new list; stops at the first failure.
APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                    APMPErrorSlot* error);

// Charges one evaluation to the runtime's counter reachable from `scope`; error 18 once
// 1000000 have been charged since the last reset. Outside a runtime nothing is charged.
bool APMPCountInstruction(const APMPScopePtr& scope, APMPErrorSlot* error);

// Charges bulk work of the evaluation that is running on this thread (one evaluation per
// APMPInstructionCounter::kWorkPerInstruction elements or code units copied, searched or
// built; less than that is free), so that the budget bounds time and not only steps: one step on a
// maximal array or string costs millions of elementary operations. Outside an evaluation nothing is
// charged. An exhausted budget fails the next evaluation with error 18.
void APMPChargeWork(size_t units);

// Makes `counter` the one that APMPChargeWork charges on this thread for its lifetime (a
// null counter keeps the current one).
class APMPWorkCounterScope {
 public:
  explicit APMPWorkCounterScope(APMPInstructionCounter* counter);
  ~APMPWorkCounterScope();
  APMPWorkCounterScope(const APMPWorkCounterScope&) = delete;
  APMPWorkCounterScope& operator=(const APMPWorkCounterScope&) = delete;

 private:
  APMPInstructionCounter* previous_;
};
