#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// Declarations, assignment, literals, property access and typeof (eager).
class APMPVariableCommandEvaluator : public APMPCommandEvaluator {
 public:
  APMPVariableCommandEvaluator();
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
