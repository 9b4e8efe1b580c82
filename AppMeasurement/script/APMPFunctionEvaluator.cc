#include "AppMeasurement/script/APMPFunctionEvaluator.h"

#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

APMPValuePtr APMPFunctionEvaluator::evaluateCommand(const std::u16string& command,
                                                    const APMPValueList& arguments,
                                                    const APMPScopePtr& scope,
                                                    APMPErrorSlot* error) {
  // Hold the function for the call: the call may rebind its name.
  std::shared_ptr<APMPFunctionValue> function = APMPSharedFunction(scope->valueForName(command));
  if (!function) return APMPUndefined();
  return function->invokeWithArguments(arguments, scope, error);
}
