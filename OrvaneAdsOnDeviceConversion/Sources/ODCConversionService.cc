#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionService.h"

#include <atomic>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"
#include "platform/dispatch/Clock.h"

namespace {

// Read while the program starts, before any service exists.
std::atomic<double> gProcessStartDate{platform::Clock::current()->now()};

}  // namespace

double ODCConversionService::processStartDate() { return gProcessStartDate.load(); }

void ODCConversionService::setProcessStartDateForTesting(double date) { gProcessStartDate = date; }

std::shared_ptr<ODCConversionService> ODCConversionService::sharedInstance() {
  static const std::shared_ptr<ODCConversionService>& instance =
      *new std::shared_ptr<ODCConversionService>(create());
  return instance;
}

std::shared_ptr<ODCConversionService> ODCConversionService::create() {
  std::shared_ptr<ODCConversionService> service(new ODCConversionService());
  service->serialQueue_ = platform::DispatchQueue::createSerial("ODCConversionService");
  service->conversionStore_ = ODCConversionStore::create();
  if (service->conversionStore_ && !service->conversionStore_->firstLaunchTimestamp()) {
    service->conversionStore_->setFirstLaunchTimestamp(processStartDate());
  }
  service->installationConversionService_ = ODCInstallationConversionService::initWithSerialQueue(
      service->serialQueue_, service->conversionStore_);
  return service;
}

void ODCConversionService::setFirstLaunchTime(std::optional<double> date) {
  serialQueue_->async(
      [self = shared_from_this(), date] { self->setFirstLaunchTimeOnWorkerQueue(date); });
}

void ODCConversionService::setFirstLaunchTimeOnWorkerQueue(std::optional<double> date) {
  if (date && conversionStore_) conversionStore_->setFirstLaunchTimestamp(date);
}

void ODCConversionService::fetchAggregateConversionInfoForInteraction(int64_t interaction,
                                                                      Completion completion) {
  serialQueue_->async(
      [self = shared_from_this(), interaction, completion = std::move(completion)]() mutable {
        if (interaction != 0) {
          ODCLogError(8000, "Skipping aggregate fetch. Unknown ODCInteractionType value %ld.",
                      static_cast<long>(interaction));
          return;
        }
        self->fetchAggregateConversionInfoOnWorkerQueueWithCompletion(std::move(completion));
      });
}

void ODCConversionService::fetchMeasurementInfoForInteraction(int64_t interaction,
                                                              Completion completion) {
  serialQueue_->async(
      [self = shared_from_this(), interaction, completion = std::move(completion)]() mutable {
        if (interaction != 0) {
          ODCLogError(8001, "Skipping measurement fetch. Unknown ODCInteractionType value %ld.",
                      static_cast<long>(interaction));
          return;
        }
        self->fetchMeasurementInfoOnWorkerQueueWithCompletion(std::move(completion));
      });
}

void ODCConversionService::fetchAggregateConversionInfoOnWorkerQueueWithCompletion(
    Completion completion) {
  installationConversionService_->fetchAggregateConversionInfoWithCompletion(std::move(completion));
}

void ODCConversionService::fetchMeasurementInfoOnWorkerQueueWithCompletion(Completion completion) {
  installationConversionService_->fetchMeasurementInfoWithCompletion(std::move(completion));
}

ODCConversionManager& ODCConversionManager::sharedInstance() {
  static ODCConversionManager& manager = *new ODCConversionManager();
  return manager;
}

std::string ODCConversionManager::versionString() const {
  return ODCConversionService::sharedInstance()->versionString();
}

void ODCConversionManager::setFirstLaunchTime(std::optional<double> date) {
  ODCConversionService::sharedInstance()->setFirstLaunchTime(date);
}

void ODCConversionManager::fetchAggregateConversionInfoForInteraction(
    int64_t interaction, ODCConversionServiceProtocol::Completion completion) {
  ODCConversionService::sharedInstance()->fetchAggregateConversionInfoForInteraction(
      interaction, std::move(completion));
}
