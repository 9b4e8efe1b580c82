#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "AppMeasurement/script/APMPRuntimeValue.h"

class APMPArrayValue;
class APMPFunctionValue;
class APMPMapValue;

// Tracks (without owning) every map, array and function that scripts make, and runs the
// mark-and-sweep collector that breaks the reference cycles among them.
class APMPObjectManager {
 public:
  APMPObjectManager() = default;
  ~APMPObjectManager();

  // Factories: the new value is registered with the scope's manager (untracked when the
  // scope chain has none).
  static std::shared_ptr<APMPFunctionValue> functionValueWithFunctionName(
      std::u16string functionName, std::vector<std::u16string> parameterNames,
      APMPValueList statements, const APMPScopePtr& definingScope);
  static std::shared_ptr<APMPMapValue> mapValueWithScope(const APMPScopePtr& scope);
  static std::shared_ptr<APMPArrayValue> arrayValueWithScope(const APMPScopePtr& scope);
  static std::shared_ptr<APMPArrayValue> arrayValueWithArray(APMPValueList elements,
                                                             const APMPScopePtr& scope);
  static std::shared_ptr<APMPArrayValue> subarrayWithArray(const APMPArrayValue& array,
                                                           uint64_t location, uint64_t length,
                                                           const APMPScopePtr& scope);

  void addRoot(const std::shared_ptr<APMPMarkable>& root);
  void addObject(const std::shared_ptr<APMPRuntimeValue>& object);

  // Mark from the roots, then sweep.
  void collectGarbage();
  void mark();
  void sweep();
  // Empties every tracked value, reachable or not: the end of a runtime.
  void sweepAll();

  const std::vector<std::weak_ptr<APMPRuntimeValue>>& trackedObjects() const { return objects_; }
  const std::vector<std::weak_ptr<APMPMarkable>>& roots() const { return roots_; }

 private:
  void sweepObjects(bool everything);

  std::vector<std::weak_ptr<APMPMarkable>> roots_;
  std::vector<std::weak_ptr<APMPRuntimeValue>> objects_;
  // Storage kept from one collection to the next: a collection runs after every event.
  std::vector<APMPMarkable*> markWork_;
  std::vector<std::shared_ptr<APMPMarkable>> liveRoots_;
  std::vector<std::shared_ptr<APMPRuntimeValue>> liveObjects_;
};
