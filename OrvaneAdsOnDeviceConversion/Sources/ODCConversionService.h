#pragma once

#include <memory>
#include <optional>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionServiceProtocol.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionStore.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCInstallationConversionService.h"

// The process-wide on-device conversion service: answers whether this installation counts as
// an ad conversion, with which strings. Its public operations only enqueue onto its serial
// queue "ODCConversionService"; all its state lives there. Thread-safe.
class ODCConversionService final : public ODCConversionServiceProtocol,
                                   public std::enable_shared_from_this<ODCConversionService> {
 public:
  static constexpr const char* kVersionString = "2.1.0";
  static constexpr int64_t kVersionNumber = 20100;

  // The one service, made on first use.
  static std::shared_ptr<ODCConversionService> sharedInstance();
  // A service of its own (tests; the shared one is made the same way).
  static std::shared_ptr<ODCConversionService> create();

  // When the program started (seconds since 1970, read at program start by the clock then
  // installed); the first-launch timestamp of a store that has none. Tests set it before
  // creating a service.
  static double processStartDate();
  static void setProcessStartDateForTesting(double date);

  void setFirstLaunchTime(std::optional<double> date) override;
  void fetchAggregateConversionInfoForInteraction(int64_t interaction,
                                                  Completion completion) override;
  void fetchMeasurementInfoForInteraction(int64_t interaction, Completion completion) override;
  std::string versionString() const override { return kVersionString; }
  int64_t versionNumber() const override { return kVersionNumber; }

  const std::shared_ptr<platform::DispatchQueue>& serialQueue() const { return serialQueue_; }

 private:
  ODCConversionService() = default;
  void setFirstLaunchTimeOnWorkerQueue(std::optional<double> date);
  void fetchAggregateConversionInfoOnWorkerQueueWithCompletion(Completion completion);
  void fetchMeasurementInfoOnWorkerQueueWithCompletion(Completion completion);

  std::shared_ptr<platform::DispatchQueue> serialQueue_;
  std::shared_ptr<ODCConversionStore> conversionStore_;  // null when it could not be made
  std::shared_ptr<ODCInstallationConversionService> installationConversionService_;
};

// A thin process-wide facade over the shared service.
class ODCConversionManager {
 public:
  static ODCConversionManager& sharedInstance();
  std::string versionString() const;
  void setFirstLaunchTime(std::optional<double> date);
  void fetchAggregateConversionInfoForInteraction(
      int64_t interaction, ODCConversionServiceProtocol::Completion completion);
};
