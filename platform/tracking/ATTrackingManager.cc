#include "platform/tracking/ATTrackingManager.h"

#include <memory>

#include "platform/runtime/ClassRegistry.h"

namespace platform {
namespace {
std::mutex mutex;
int status = 0;
int answer = 3;
}  // namespace

int ATTrackingManager::trackingAuthorizationStatus() {
  std::lock_guard<std::mutex> lock(mutex);
  return status;
}

void ATTrackingManager::requestTrackingAuthorization(
    const std::function<void(int status)>& completion) {
  int result;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (status == 0) status = answer;
    result = status;
  }
  if (completion) completion(result);
}

void ATTrackingManager::setTrackingAuthorizationStatus(int value) {
  std::lock_guard<std::mutex> lock(mutex);
  status = value;
}

void ATTrackingManager::setRequestAnswer(int value) {
  std::lock_guard<std::mutex> lock(mutex);
  answer = value;
}

void ATTrackingManager::registerInRuntime() {
  ClassRegistry::shared().registerClass(kClassName, [] {
    return std::shared_ptr<RuntimeObject>(std::make_shared<ATTrackingManager>());
  });
}

void ATTrackingManager::unregisterFromRuntime() {
  ClassRegistry::shared().unregisterClass(kClassName);
}

}  // namespace platform
