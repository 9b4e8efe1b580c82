#pragma once

#include <cstdint>
#include <memory>

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPPropertyMap.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

class APMPObjectManager;

// A link of the chain of name bindings: the runtime's initial scope, the global scope below
// it, and a child scope per function call, block and loop iteration. A scope holds its parent
// strongly, so it keeps all its ancestors alive.
class APMPScope : public APMPMarkable, public std::enable_shared_from_this<APMPScope> {
 public:
  explicit APMPScope(APMPScopePtr parentScope);
  // A scope is made and dropped for every call, block and loop iteration: its storage comes
  // from a few blocks that the thread keeps for the next ones.
  static APMPScopePtr make(APMPScopePtr parentScope = nullptr);

  APMPScopePtr createChildScope();
  const APMPScopePtr& parentScope() const { return parentScope_; }

  bool hasName(std::u16string_view name) const;
  void addValue(APMPValuePtr value, std::u16string_view name);
  void addImmutableValue(APMPValuePtr value, std::u16string_view name);
  // Updates the nearest binding of the chain, or creates the name here.
  void setValue(APMPValuePtr value, std::u16string_view name);
  const APMPValuePtr& valueForName(std::u16string_view name) const;
  void makeImmutable() { contents_.makeImmutable(); }

  void setObjectManager(std::shared_ptr<APMPObjectManager> objectManager);
  // The own manager, else the nearest ancestor's, else null.
  APMPObjectManager* objectManager() const;

  // The runtime's counter, inherited from the parent at creation; null outside a runtime.
  // Set once on the runtime's initial scope, before it has children: a child refers to the
  // counter without owning it, since the chain it holds alive reaches the scope that owns it.
  void setInstructionCounter(std::shared_ptr<APMPInstructionCounter> counter) {
    ownedCounter_ = std::move(counter);
    counter_ = ownedCounter_.get();
  }
  APMPInstructionCounter* instructionCounter() const { return counter_; }

  // Marks the values of the own table and then the ancestors: a live function keeps every
  // enclosing scope's values intact, not only those of the scope it was defined in.
  void mark(APMPMarker& marker) override;
  APMPPropertyMap& contents() { return contents_; }
  // Drops every binding (used when a runtime is torn down, to end reference cycles).
  void clear() { contents_.clear(); }

 private:
  APMPScopePtr parentScope_;
  APMPPropertyMap contents_;
  std::shared_ptr<APMPObjectManager> objectManager_;
  std::shared_ptr<APMPInstructionCounter> ownedCounter_;
  APMPInstructionCounter* counter_ = nullptr;
  uint64_t markEpoch_ = 0;
};
