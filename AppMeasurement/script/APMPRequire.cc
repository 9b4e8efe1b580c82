#include "AppMeasurement/script/APMPRequire.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

APMPRequire::APMPRequire(std::shared_ptr<APMPDynamicProvider> provider)
    : APMPFunctionValue(u"require", {}, {}, APMPScope::make()), provider_(std::move(provider)) {}

APMPValuePtr APMPRequire::invokeWithArguments(const APMPValueList& arguments,
                                              const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(arguments, 1, error)) return APMPUndefined();
  APMPValuePtr nameValue = APMPEvaluator::evaluateStatement(arguments[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  std::u16string name = nameValue->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  auto cached = modules_.find(name);
  if (cached != modules_.end()) return cached->second;
  std::optional<APMPError> moduleError;
  APMPValuePtr module = provider_->moduleForName(name, &moduleError);
  if (moduleError) {
    // A failed creator is not cached; the call itself answers undefined.
    return APMPUndefined();
  }
  APMPNoteReachedWrite();
  modules_[name] = module;
  return module;
}

void APMPRequire::mark(APMPMarker& marker) {
  if (isMarkedBy(marker)) return;
  APMPFunctionValue::mark(marker);
  // Cached modules may hold script values (a module's properties); keep them intact.
  for (const auto& entry : modules_) APMPMarkValue(marker, entry.second);
}
