#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// The arithmetic commands "0", "10", "25" to "27", "32" to "35", "37" (eager).
class APMPMathCommandEvaluator : public APMPCommandEvaluator {
 public:
  APMPMathCommandEvaluator();
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
