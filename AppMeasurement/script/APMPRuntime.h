#pragma once

#include <cstdint>
#include <memory>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/messages/NANOMessageView.h"
#include "AppMeasurement/script/APMPDynamicProvider.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

class APMPObjectManager;
struct APMPInstructionCounter;

// One script world: its scopes, object manager, module registry and instruction counter.
// Used by one caller at a time.
class APMPRuntime {
 public:
  static int64_t runtimeVersion() { return 0; }

  APMPRuntime();
  ~APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  void setModuleCreator(APMPDynamicProvider::Creator creator, const std::u16string& name);

  // Evaluates each value in order in the global scope; the result is the last one's. A
  // failure stops the run with undefined. Control values do not stop the list.
  APMPValuePtr executeStatements(const APMPValueList& statements, APMPErrorSlot* error);
  // The same over program entities: each is converted, then evaluated, in order; a failed
  // conversion stops the run like a failed evaluation.
  APMPValuePtr executeStatements(const std::vector<APMPBRuntimeEntity>& entities,
                                 APMPErrorSlot* error);
  // The same over views of entities that a program holds (NANOViewMessageArray): nothing is
  // copied; the program must outlive the call.
  APMPValuePtr executeStatements(const std::vector<NANOMessageView>& entities,
                                 APMPErrorSlot* error);

  // A new child scope of the global scope.
  APMPScopePtr getRunScope();
  uint32_t getInstructionCount(APMPErrorSlot* error) const;
  void resetInstructionCount();

  const APMPScopePtr& initialScope() const { return initScope_; }
  const APMPScopePtr& globalScope() const { return globalScope_; }
  APMPObjectManager& objectManager() { return *objectManager_; }

  // APMPObjectManager::addRoot (a root that changes what it hands on counts the change).
  void addGarbageCollectionRoot(const std::shared_ptr<APMPMarkable>& root);
  void collectGarbage();

 private:
  APMPScopePtr initScope_;
  APMPScopePtr globalScope_;
  std::shared_ptr<APMPDynamicProvider> apiProvider_;
  std::shared_ptr<APMPObjectManager> objectManager_;
  std::shared_ptr<APMPInstructionCounter> counter_;

  // Converts, then evaluates, one entity in the global scope.
  APMPValuePtr executeEntity(const NANOMessageBase& entity, APMPErrorSlot* error);
};
