#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// The comparisons "12", "18" to "21", "23", "24", "29" (eager, count checked first).
class APMPComparisonCommandEvaluator : public APMPCommandEvaluator {
 public:
  APMPComparisonCommandEvaluator();
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
