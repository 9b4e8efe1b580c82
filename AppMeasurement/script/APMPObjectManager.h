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

  // Held weakly. Values, scopes, module caches and the callback registry count their own
  // writes; a host root whose `mark` hands on something else after a change must call
  // APMPNoteReachedWrite when it changes, or a collection may reuse a mark that missed it.
  void addRoot(const std::shared_ptr<APMPMarkable>& root);
  void addObject(const std::shared_ptr<APMPRuntimeValue>& object);

  // Mark from the roots, then sweep. When nothing that the last mark reached has been written
  // since (gAPMPReachedWrites), no root has gone and no other collection has run in the
  // process, the roots still reach exactly what that mark reached: the mark is not repeated,
  // and the tracked values it did not reach are swept, as a new mark would have left them.
  void collectGarbage();
  void mark();
  void sweep();
  // Empties every tracked value, reachable or not: the end of a runtime.
  void sweepAll();

  const std::vector<std::weak_ptr<APMPRuntimeValue>>& trackedObjects() const { return objects_; }
  const std::vector<std::weak_ptr<APMPMarkable>>& roots() const { return roots_; }

 private:
  // Sweeps every tracked value; with `reachedEpoch`, the values that the mark of that epoch
  // reached are kept as marked ones would be.
  void sweepObjects(bool everything, uint64_t reachedEpoch = 0);
  bool lastMarkStillHolds();

  // The last mark: its collection's number (0: none, or it no longer holds), the reached
  // writes counted before it began, and how many roots it started from.
  uint64_t lastEpoch_ = 0;
  uint64_t reachedWritesAtLastMark_ = 0;
  size_t rootsAtLastMark_ = 0;

  std::vector<std::weak_ptr<APMPMarkable>> roots_;
  std::vector<std::weak_ptr<APMPRuntimeValue>> objects_;
  // Storage kept from one collection to the next: a collection runs after every event.
  std::vector<APMPMarkable*> markWork_;
  std::vector<std::shared_ptr<APMPMarkable>> liveRoots_;
  std::vector<std::shared_ptr<APMPRuntimeValue>> liveObjects_;
};
