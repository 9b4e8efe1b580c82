#include "platform/adservices/AAAttribution.h"

#include "platform/runtime/ClassRegistry.h"

namespace platform {

std::shared_ptr<AAAttribution> AAAttribution::shared() {
  static const std::shared_ptr<AAAttribution>& instance =
      *new std::shared_ptr<AAAttribution>(std::make_shared<AAAttribution>());
  return instance;
}

absl::StatusOr<std::string> AAAttribution::attributionTokenWithError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return answer_;
}

void AAAttribution::setToken(std::string token) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(token);
}

void AAAttribution::setError(absl::Status error) {
  if (error.ok()) error = absl::InternalError("attribution token unavailable");
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = std::move(error);
}

void AAAttribution::registerInRuntime() {
  ClassRegistry::shared().registerClass(kClassName,
                                        [] { return std::shared_ptr<RuntimeObject>(shared()); });
}

void AAAttribution::unregisterFromRuntime() { ClassRegistry::shared().unregisterClass(kClassName); }

}  // namespace platform
