#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCConfigFetcher.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCContext.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionServiceProtocol.h"

// Decides whether a matching attempt runs (at most until a match-found timestamp is stored,
// and only within 7 days of the first launch), runs one attempt for every waiting completion,
// persists the result and expires it after 90 days. Every method runs on the service's serial
// queue; completions are called on the global queue, aggregate ones first.
class ODCInstallationConversionService
    : public std::enable_shared_from_this<ODCInstallationConversionService> {
 public:
  using Completion = ODCConversionServiceProtocol::Completion;
  static constexpr double kMatchingWindow = 604800.0;  // 7 days
  static constexpr double kValueLifetime = 7776000.0;  // 90 days

  // The store may be null (it could not be made): nothing then runs and completions get
  // nothing, as if nothing were stored.
  static std::shared_ptr<ODCInstallationConversionService> initWithSerialQueue(
      std::shared_ptr<platform::DispatchQueue> serialQueue,
      std::shared_ptr<ODCConversionStore> conversionStore);
  static std::shared_ptr<OULNetwork> network();

  void fetchAggregateConversionInfoWithCompletion(Completion completion);
  void fetchMeasurementInfoWithCompletion(Completion completion);

  void retrievePSMValue();
  bool shouldStartPSMMatching();
  void completePSMMatchingWithError(const std::optional<OULError>& error);
  void persistPSMValue();
  void removeExpiredPSMValue();
  void notifyCompletionsWithError(const std::optional<OULError>& error);
  void resetPSMMatchingMembers();

  const std::shared_ptr<ODCContext>& context() const { return context_; }

 private:
  ODCInstallationConversionService() = default;

  std::shared_ptr<platform::DispatchQueue> serialQueue_;
  std::shared_ptr<ODCConversionStore> conversionStore_;
  std::shared_ptr<ODCContext> context_;
  std::shared_ptr<ODCAsyncTask> configFetcher_;
  std::vector<Completion> aggregateCompletions_;
  std::vector<Completion> measurementCompletions_;
  bool isMatching_ = false;
};
