#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// Calls the script function that the scope binds under the statement's name; undefined
// without error when the name holds no function.
class APMPFunctionEvaluator : public APMPCommandEvaluator {
 public:
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
