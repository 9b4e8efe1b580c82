#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// The bitwise operators "56" to "62" (eager).
class APMPBitwiseCommandEvaluator : public APMPCommandEvaluator {
 public:
  APMPBitwiseCommandEvaluator();
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
