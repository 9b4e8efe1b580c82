#pragma once

#include "AppMeasurement/script/APMPRuntimeValue.h"

// Runs statements and statement lists.
class APMPEvaluator {
 public:
  // Charges the budget, then evaluates: statements go to their command or function, every
  // other value evaluates to itself.
  static APMPValuePtr evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                        APMPErrorSlot error);
  // Evaluates in order; stops at a failure (undefined) or at a control value (that value);
  // else the last result, undefined for an empty list.
  static APMPValuePtr executeStatements(const APMPValueList& statements, const APMPScopePtr& scope,
                                        APMPErrorSlot error);
};

// Evaluates each argument in order into a new list; stops at the first failure.
APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                    APMPErrorSlot error);

// Charges one evaluation to the runtime's counter reachable from `scope`; error 18 once
// 1000000 have been charged since the last reset. Outside a runtime nothing is charged.
bool APMPCountInstruction(const APMPScopePtr& scope, APMPErrorSlot error);
