#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// The logical operators "1", "28", "30" (lazy).
class APMPLogicalCommandEvaluator : public APMPCommandEvaluator {
 public:
  APMPLogicalCommandEvaluator();
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
