#pragma once

#include "AppMeasurement/script/APMPPropertyHolder.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

// A script function: parameter names, a body of statements and the scope it was defined in.
// Native functions are subclasses that replace `invokeWithArguments`.
class APMPFunctionValue : public APMPRuntimeValue, public APMPPropertyHolder {
 public:
  APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                    APMPValueList statements, APMPScopePtr definingScope);
  ~APMPFunctionValue() override;

  const std::u16string& functionName() const { return functionName_; }
  const std::vector<std::u16string>& parameterNames() const { return parameters_; }
  const APMPScopePtr& definingScope() const { return definingScope_; }

  // Evaluates the arguments in `scope`, then `invokeWithEvaluatedArguments`.
  virtual APMPValuePtr invokeWithArguments(const APMPValueList& arguments,
                                           const APMPScopePtr& scope, APMPErrorSlot* error);
  // Binds the parameters in a child scope of the defining scope and runs the body there; a
  // "return" control value gives its data, anything else the body's result.
  virtual APMPValuePtr invokeWithEvaluatedArguments(const APMPValueList& arguments,
                                                    APMPErrorSlot* error);

  std::u16string stringValueOrError(APMPErrorSlot* error) const override;
  double doubleValueOrError(APMPErrorSlot* error) const override;
  bool booleanValueOrError(APMPErrorSlot* error) const override;
  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot* error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;
  void sweep() override;
  uint64_t collectorEpoch() const override { return markEpoch(); }

 private:
  bool isSameClassOrSubclass(const APMPRuntimeValue& other) const;

  std::u16string functionName_;
  std::vector<std::u16string> parameters_;
  APMPValueList statements_;
  APMPScopePtr definingScope_;
};
