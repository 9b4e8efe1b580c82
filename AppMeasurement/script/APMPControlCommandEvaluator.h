#pragma once

#include "AppMeasurement/script/APMPCommandEvaluator.h"

// Branches, statement lists, blocks, functions, method calls, break, continue, return,
// switch (lazy: handlers evaluate what they need).
class APMPControlCommandEvaluator : public APMPCommandEvaluator {
 public:
  APMPControlCommandEvaluator();
  APMPValuePtr evaluateCommand(const std::u16string& command, const APMPValueList& arguments,
                               const APMPScopePtr& scope, APMPErrorSlot* error) override;
};
