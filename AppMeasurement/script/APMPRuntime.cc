#include "AppMeasurement/script/APMPRuntime.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPRequire.h"
#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPRuntimePlatform.h"
#include "AppMeasurement/script/APMPScope.h"

APMPRuntime::APMPRuntime() {
  counter_ = std::make_shared<APMPInstructionCounter>();
  initScope_ = APMPScope::make();
  initScope_->setInstructionCounter(counter_);
  globalScope_ = initScope_->createChildScope();
  objectManager_ = std::make_shared<APMPObjectManager>();
  objectManager_->addRoot(initScope_);
  objectManager_->addRoot(globalScope_);
  initScope_->setObjectManager(objectManager_);
  apiProvider_ = std::make_shared<APMPDynamicProvider>();
  globalScope_->setValue(std::make_shared<APMPRequire>(apiProvider_), u"require");
  apiProvider_->setModuleCreator([] { return std::make_shared<APMPRuntimePlatform>(); },
                                 u"internal.platform");
  resetInstructionCount();
}

APMPRuntime::~APMPRuntime() {
  // Scripts make reference cycles (a function bound in the scope it was defined in); empty
  // every value this runtime made so that all of it is freed with the runtime.
  objectManager_->sweepAll();
  globalScope_->clear();
  initScope_->clear();
}

void APMPRuntime::setModuleCreator(APMPDynamicProvider::Creator creator,
                                   const std::u16string& name) {
  apiProvider_->setModuleCreator(std::move(creator), name);
}

APMPValuePtr APMPRuntime::executeStatements(const APMPValueList& statements, APMPErrorSlot* error) {
  APMPValuePtr result = APMPUndefined();
  for (const auto& statement : statements) {
    result = APMPEvaluator::evaluateStatement(statement, globalScope_, error);
    if (APMPHasError(error)) return APMPUndefined();
  }
  return result;
}

APMPValuePtr APMPRuntime::executeStatements(const std::vector<APMPBRuntimeEntity>& entities,
                                            APMPErrorSlot* error) {
  APMPValuePtr result = APMPUndefined();
  for (const auto& entity : entities) {
    result = executeEntity(entity, error);
    if (APMPHasError(error)) return APMPUndefined();
  }
  return result;
}

APMPValuePtr APMPRuntime::executeStatements(const std::vector<NANOMessageView>& entities,
                                            APMPErrorSlot* error) {
  APMPValuePtr result = APMPUndefined();
  for (const auto& entity : entities) {
    result = executeEntity(entity, error);
    if (APMPHasError(error)) return APMPUndefined();
  }
  return result;
}

APMPValuePtr APMPRuntime::executeEntity(const NANOMessageBase& entity, APMPErrorSlot* error) {
  APMPValuePtr statement = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, error);
  if (APMPHasError(error)) return APMPUndefined();
  return APMPEvaluator::evaluateStatement(statement, globalScope_, error);
}

APMPScopePtr APMPRuntime::getRunScope() { return globalScope_->createChildScope(); }

uint32_t APMPRuntime::getInstructionCount(APMPErrorSlot*) const { return counter_->count; }

void APMPRuntime::resetInstructionCount() { counter_->reset(); }

void APMPRuntime::addGarbageCollectionRoot(const std::shared_ptr<APMPMarkable>& root) {
  objectManager_->addRoot(root);
}

void APMPRuntime::collectGarbage() { objectManager_->collectGarbage(); }
