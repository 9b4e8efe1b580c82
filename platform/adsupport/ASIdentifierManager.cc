#include "platform/adsupport/ASIdentifierManager.h"

#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/runtime/ClassRegistry.h"

namespace platform {

std::shared_ptr<ASIdentifierManager> ASIdentifierManager::sharedManager() {
  static const auto& manager =
      *new std::shared_ptr<ASIdentifierManager>(std::make_shared<ASIdentifierManager>());
  return manager;
}

std::string ASIdentifierManager::advertisingIdentifier() const {
  double delay;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delay = delay_;
  }
  if (delay > 0) DispatchSemaphore().wait(delay);
  std::lock_guard<std::mutex> lock(mutex_);
  return identifier_.value_or(kZeroIdentifier);
}

bool ASIdentifierManager::isAdvertisingTrackingEnabled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return trackingEnabled_;
}

void ASIdentifierManager::setAdvertisingIdentifier(std::optional<std::string> identifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  identifier_ = std::move(identifier);
}

void ASIdentifierManager::setAdvertisingTrackingEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  trackingEnabled_ = enabled;
}

void ASIdentifierManager::setAnswerDelay(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = seconds;
}

void ASIdentifierManager::registerInRuntime() {
  ClassRegistry::shared().registerClass(
      kClassName, [] { return std::shared_ptr<RuntimeObject>(sharedManager()); });
}

void ASIdentifierManager::unregisterFromRuntime() {
  ClassRegistry::shared().unregisterClass(kClassName);
}

}  // namespace platform
