#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// The loops "42", "47", "54", "55", "63" to "66" (lazy).
class APMPLoopCommandEvaluator : public APMPCommandEvaluator {
 public:
  APMPLoopCommandEvaluator();
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
