#include "AppMeasurement/script/APMPFunctionValue.h"

#include <cmath>
#include <typeinfo>

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPScope.h"

APMPFunctionValue::APMPFunctionValue(std::u16string functionName,
                                     std::vector<std::u16string> parameterNames,
                                     APMPValueList statements, APMPScopePtr definingScope)
    : APMPRuntimeValue(APMPValueKind::Function),
      functionName_(std::move(functionName)),
      parameters_(std::move(parameterNames)),
      statements_(std::move(statements)),
      definingScope_(std::move(definingScope)) {}

APMPFunctionValue::~APMPFunctionValue() { APMPReleaseValues(statements_); }

APMPValuePtr APMPFunctionValue::invokeWithArguments(const APMPValueList& arguments,
                                                    const APMPScopePtr& scope,
                                                    APMPErrorSlot* error) {
  APMPPooledList scratch;
  const APMPValueList* evaluated = APMPEvaluateArgumentsInPlace(arguments, scope, error, scratch);
  if (evaluated == nullptr) return APMPUndefined();
  return invokeWithEvaluatedArguments(*evaluated, error);
}

APMPValuePtr APMPFunctionValue::invokeWithEvaluatedArguments(const APMPValueList& arguments,
                                                             APMPErrorSlot* error) {
  // A swept function has no defining scope left; it runs in a fresh top scope and does
  // nothing, since its body was dropped too.
  APMPScopePtr child = definingScope_ ? definingScope_->createChildScope() : APMPScope::make();
  for (size_t i = 0; i < parameters_.size(); ++i)
    child->addValue(i < arguments.size() ? arguments[i] : APMPUndefined(), parameters_[i]);
  // Keep the body alive while it runs: a statement may drop the last other reference to this
  // function (rebinding its name). Only a collection empties the body, and none runs while
  // a script does; a function that no shared pointer owns runs on a copy.
  APMPValuePtr self = weak_from_this().lock();
  APMPValueList copy;
  if (!self) copy = statements_;
  APMPValuePtr result = APMPEvaluator::executeStatements(self ? statements_ : copy, child, error);
  if (APMPHasError(error)) return result;
  if (result->kind() == APMPValueKind::Control) {
    const auto& control = static_cast<const APMPControlValue&>(*result);
    if (control.isReturn()) return control.data();
  }
  return result;
}

std::u16string APMPFunctionValue::stringValueOrError(APMPErrorSlot*) const { return functionName_; }
double APMPFunctionValue::doubleValueOrError(APMPErrorSlot*) const { return std::nan(""); }
bool APMPFunctionValue::booleanValueOrError(APMPErrorSlot*) const { return true; }

APMPValuePtr APMPFunctionValue::applyWithName(const std::u16string& name,
                                              const APMPValueList& arguments,
                                              const APMPScopePtr& scope, APMPErrorSlot* error) {
  auto self = shared_from_this();
  return APMPApplyToPropertyHolder(*this, propertyMap_, name, arguments, scope, error);
}

bool APMPFunctionValue::isEqualToRuntimeValue(const APMPRuntimeValue& other) const {
  if (this == &other) return true;
  const auto* o = dynamic_cast<const APMPFunctionValue*>(&other);
  if (o == nullptr || !isSameClassOrSubclass(other)) return false;
  return !functionName_.empty() && functionName_ == o->functionName_;
}

bool APMPFunctionValue::isSameClassOrSubclass(const APMPRuntimeValue& other) const {
  // The other must be of the receiver's class or a subclass: a plain function matches any
  // function, a native function only its own kind.
  return typeid(*this) == typeid(APMPFunctionValue) || typeid(*this) == typeid(other);
}

void APMPFunctionValue::mark(APMPMarker& marker) {
  if (!mark_.setBy(marker)) return;
  propertyMap_.noteReached();
  for (const auto& entry : propertyMap_.entries()) APMPMarkValue(marker, entry.second);
  for (const auto& statement : statements_) APMPMarkValue(marker, statement);
  marker.add(definingScope_.get());
}

void APMPFunctionValue::sweep() {
  if (mark_.clear()) return;
  APMPValueList statements = std::move(statements_);
  statements_.clear();
  APMPReleaseValues(statements);
  APMPScopePtr scope = std::move(definingScope_);
  definingScope_.reset();
  propertyMap_.clear();
}
