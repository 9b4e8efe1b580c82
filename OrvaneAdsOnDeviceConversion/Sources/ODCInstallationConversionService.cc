#include "OrvaneAdsOnDeviceConversion/Sources/ODCInstallationConversionService.h"

#include "OrvaneAdsOnDeviceConversion/Sources/ODCCandidateFetcher.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCMatchValidator.h"
#include "platform/dispatch/Clock.h"

std::shared_ptr<OULNetwork> ODCInstallationConversionService::network() {
  return OULNetwork::create();
}

std::shared_ptr<ODCInstallationConversionService>
ODCInstallationConversionService::initWithSerialQueue(
    std::shared_ptr<platform::DispatchQueue> serialQueue,
    std::shared_ptr<ODCConversionStore> conversionStore) {
  std::shared_ptr<ODCInstallationConversionService> service(new ODCInstallationConversionService());
  service->serialQueue_ = serialQueue;
  service->conversionStore_ = conversionStore;
  service->context_ = std::make_shared<ODCContext>(network(), serialQueue, conversionStore);
  auto config = std::make_shared<ODCConfigFetcher>(service->context_);
  auto candidate = std::make_shared<ODCCandidateFetcher>(service->context_);
  auto validator = std::make_shared<ODCMatchValidator>(service->context_);
  config->setNextTask(candidate);
  candidate->setNextTask(validator);
  service->configFetcher_ = config;
  return service;
}

void ODCInstallationConversionService::fetchAggregateConversionInfoWithCompletion(
    Completion completion) {
  serialQueue_->assertCurrent(
      "ODCInstallationConversionService::fetchAggregateConversionInfoWithCompletion");
  if (completion) aggregateCompletions_.push_back(std::move(completion));
  if (!isMatching_) context_->isSourceOA4K = false;
  retrievePSMValue();
}

void ODCInstallationConversionService::fetchMeasurementInfoWithCompletion(Completion completion) {
  serialQueue_->assertCurrent(
      "ODCInstallationConversionService::fetchMeasurementInfoWithCompletion");
  if (completion) measurementCompletions_.push_back(std::move(completion));
  if (!isMatching_) context_->isSourceOA4K = true;
  retrievePSMValue();
}

void ODCInstallationConversionService::retrievePSMValue() {
  serialQueue_->assertCurrent("ODCInstallationConversionService::retrievePSMValue");
  if (isMatching_) return;
  if (shouldStartPSMMatching()) {
    isMatching_ = true;
    configFetcher_->startTaskWithCompletion(
        [weak = weak_from_this()](const std::optional<OULError>& error) {
          if (auto self = weak.lock()) self->completePSMMatchingWithError(error);
        });
    return;
  }
  completePSMMatchingWithError(std::nullopt);
}

bool ODCInstallationConversionService::shouldStartPSMMatching() {
  if (conversionStore_ && conversionStore_->matchFoundTimestamp()) {
    ODCLogDebug(8002, "Skipping aggregate fetch. Match already found.");
    return false;
  }
  std::optional<double> firstLaunch =
      conversionStore_ ? conversionStore_->firstLaunchTimestamp() : std::nullopt;
  if (!firstLaunch) {
    ODCLogDebug(8003, "Skipping aggregate fetch. No first launch timestamp found.");
    return false;
  }
  if (platform::Clock::current()->now() - *firstLaunch < kMatchingWindow) return true;
  ODCLogDebug(8004, "Skipping aggregate fetch. First launch timestamp is too old.");
  return false;
}

void ODCInstallationConversionService::completePSMMatchingWithError(
    const std::optional<OULError>& error) {
  serialQueue_->assertCurrent("ODCInstallationConversionService::completePSMMatchingWithError");
  if (!error) persistPSMValue();
  removeExpiredPSMValue();
  notifyCompletionsWithError(error);
  resetPSMMatchingMembers();
}

void ODCInstallationConversionService::persistPSMValue() {
  if (!conversionStore_) return;
  if (conversionStore_->matchFoundTimestamp()) {
    ODCLogDebug(8005, "Skip persisting PSM values. Already stored.");
    return;
  }
  conversionStore_->persistMatch(platform::Clock::current()->now(),
                                 context_->aggregateConversionInfo, context_->measurementInfo);
}

void ODCInstallationConversionService::removeExpiredPSMValue() {
  if (!conversionStore_) return;
  if (!conversionStore_->aggregateConversionInfo() && !conversionStore_->measurementInfo()) return;
  std::optional<double> matchFound = conversionStore_->matchFoundTimestamp();
  if (!matchFound || platform::Clock::current()->now() - *matchFound > kValueLifetime) {
    conversionStore_->setAggregateConversionInfo(std::nullopt);
    conversionStore_->setMeasurementInfo(std::nullopt);
  }
}

void ODCInstallationConversionService::notifyCompletionsWithError(
    const std::optional<OULError>& error) {
  std::optional<std::string> aggregate, measurement;
  if (conversionStore_) {
    aggregate = conversionStore_->aggregateConversionInfo();
    measurement = conversionStore_->measurementInfo();
  }
  auto aggregateCompletions = std::exchange(aggregateCompletions_, {});
  auto measurementCompletions = std::exchange(measurementCompletions_, {});
  platform::DispatchQueue::global()->async(
      [aggregateCompletions = std::move(aggregateCompletions),
       measurementCompletions = std::move(measurementCompletions), aggregate, measurement, error] {
        for (const auto& completion : aggregateCompletions) completion(aggregate, error);
        for (const auto& completion : measurementCompletions) completion(measurement, error);
      });
}

void ODCInstallationConversionService::resetPSMMatchingMembers() {
  context_->PSMClient.reset();
  context_->PSMRequest.reset();
  context_->extensionData.reset();
  context_->candidateRequestPayload.reset();
  context_->matchRequestPayload.reset();
  context_->aggregateConversionInfo.reset();
  context_->measurementInfo.reset();
  isMatching_ = false;
}
