#include "AppMeasurement/engine/APMFeatureServices.h"

#include <mutex>

#include "AppMeasurement/foundation/APMIdentity.h"

namespace {
std::mutex& servicesMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}
APMFeatureServices& installed() {
  static APMFeatureServices& services = *new APMFeatureServices(APMFeatureServices::neutral());
  return services;
}
}  // namespace

APMFeatureServices APMFeatureServices::neutral() {
  return {std::make_shared<APMAudienceEvaluating>(),
          std::make_shared<APMSessionReporting>(),
          std::make_shared<APMScreenViewReporting>(),
          std::make_shared<APMSearchAdReporting>(),
          std::make_shared<APMLifetimeValueRecording>(),
          std::make_shared<APMPurchaseReporting>(),
          nullptr};
}

APMFeatureServices APMFeatureServices::current() {
  std::lock_guard<std::mutex> lock(servicesMutex());
  return installed();
}

std::shared_ptr<APMScreenViewReporting> APMFeatureServices::currentScreenViewReporter() {
  std::lock_guard<std::mutex> lock(servicesMutex());
  return installed().screenViewReporter;
}

void APMFeatureServices::install(APMFeatureServices services) {
  APMFeatureServices neutralSet = neutral();
  if (!services.audience) services.audience = neutralSet.audience;
  if (!services.sessionReporter) services.sessionReporter = neutralSet.sessionReporter;
  if (!services.screenViewReporter) services.screenViewReporter = neutralSet.screenViewReporter;
  if (!services.searchAdReporter) services.searchAdReporter = neutralSet.searchAdReporter;
  if (!services.lifetimeValueRecorder) {
    services.lifetimeValueRecorder = neutralSet.lifetimeValueRecorder;
  }
  if (!services.purchaseReporter) services.purchaseReporter = neutralSet.purchaseReporter;
  std::lock_guard<std::mutex> lock(servicesMutex());
  installed() = std::move(services);
}

bool APMPurchaseReporting::isVersionSameAsOriginalVersion() {
  return APMIdentity::isFromAppStore();
}
