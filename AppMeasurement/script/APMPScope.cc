#include "AppMeasurement/script/APMPScope.h"

#include "AppMeasurement/script/APMPBlockStorage.h"
#include "AppMeasurement/script/APMPObjectManager.h"

APMPScopePtr APMPScope::make(APMPScopePtr parentScope) {
  return APMPMakeRecycled<APMPScope>(std::move(parentScope));
}

APMPScope::APMPScope(APMPScopePtr parentScope) : parentScope_(std::move(parentScope)) {
  if (parentScope_) counter_ = parentScope_->counter_;
}

APMPScopePtr APMPScope::createChildScope() { return make(shared_from_this()); }

bool APMPScope::hasName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get())
    if (scope->contents_.hasName(name)) return true;
  return false;
}

void APMPScope::addValue(APMPValuePtr value, std::u16string_view name) {
  contents_.setValue(std::move(value), name);
}

void APMPScope::addImmutableValue(APMPValuePtr value, std::u16string_view name) {
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::setValue(APMPValuePtr value, std::u16string_view name) {
  APMPScope* scope = this;
  // Walk up while the current table is open, lacks the name and an ancestor has it.
  while (true) {
    if (scope->contents_.isImmutable()) return;
    if (!scope->contents_.hasName(name) && scope->parentScope_ &&
        scope->parentScope_->hasName(name)) {
      scope = scope->parentScope_.get();
      continue;
    }
    scope->contents_.setValue(std::move(value), name);
    return;
  }
}

const APMPValuePtr& APMPScope::valueForName(std::u16string_view name) const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get())
    if (const APMPValuePtr* value = scope->contents_.findValue(name)) return *value;
  return APMPUndefined();
}

void APMPScope::setObjectManager(std::shared_ptr<APMPObjectManager> objectManager) {
  objectManager_ = std::move(objectManager);
}

APMPObjectManager* APMPScope::objectManager() const {
  for (const APMPScope* scope = this; scope != nullptr; scope = scope->parentScope_.get())
    if (scope->objectManager_) return scope->objectManager_.get();
  return nullptr;
}

void APMPScope::mark(APMPMarker& marker) {
  if (markEpoch_ == marker.epoch()) return;
  markEpoch_ = marker.epoch();
  contents_.noteReached();
  for (const auto& entry : contents_.entries()) APMPMarkValue(marker, entry.second);
  marker.add(parentScope_.get());
}
