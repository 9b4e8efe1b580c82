#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/foundation/APMExperimentManaging.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/records/APMEvent.h"
#include "platform/storekit/SKPaymentTransaction.h"

class APMDatabase;
class APMEvent;
class APMEventAggregates;
class APMPBAudience;
class APMPBMeasurementBundle;
class APMPBUserAttribute;
class APMPersistedConfig;
namespace platform {
class DispatchQueue;
}

// What the engine asks of the measurement features subsystem (audiences, sessions, screens,
// search ads, lifetime value, in-app purchases, experiments). That subsystem is not built yet:
// each interface below has a neutral answer, installed by default, that keeps the engine's
// main road working without the feature. The features subsystem installs its own objects
// through APMFeatureServices::install before the engine starts.
//
// Every method is called on the engine's worker queue unless it says otherwise.

// Audience evaluation over the measurement database. Neutral: no audiences, nothing to
// evaluate, every call succeeds.
class APMAudienceEvaluating {
 public:
  virtual ~APMAudienceEvaluating() = default;
  // The engine's measurement database, handed over once it is open; it outlives every later
  // call. Null withdraws it (nothing is evaluated afterwards).
  virtual void setDatabase(APMDatabase* database) {}
  // Replaces the stored audience definitions with those of a new configuration. Runs inside
  // the engine's configuration transaction; false fails it.
  virtual bool updateAudiences(const std::vector<APMPBAudience>& audiences) { return true; }
  // Starts the evaluation pass of one bundle: a fresh timestamp cache that the bundle's event
  // evaluations and its property evaluations with the bundle's cache share.
  virtual void beginBundleEvaluation() {}
  // Evaluates the event filters for one bundled event, with the event's aggregates after it
  // was counted and the bundle's cache; false on a storage failure.
  virtual bool evaluateFiltersForEvent(const APMEvent& event,
                                       const APMEventAggregates& aggregates) {
    return true;
  }
  // Evaluates the property filters for one user property of a bundle; false on failure.
  virtual bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                              double evaluationTime) {
    return true;
  }
  // Evaluates the property filters for one user property as a bundle carries it: with the
  // bundle's cache when `withBundleCache`, else with a cache of its own; the evaluation time
  // (seconds) is `evaluationTime`, or the property's set time when none. false when its
  // results cannot be read or stored; a property without a value is logged and skipped.
  virtual bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                  bool withBundleCache,
                                                  std::optional<double> evaluationTime) {
    return true;
  }
  // Adds the stored filter results to the bundle's audience results when there are any,
  // ending the bundle's evaluation pass; false when they cannot be read or written.
  virtual bool addResultsForBundling(APMPBMeasurementBundle& bundle) { return true; }
  // At a session start (a bundle holding "_s"): forgets the results of session-scoped
  // filters. The engine then re-evaluates the bundle's user properties, before its events.
  virtual void clearEvaluationResultsForSessionScopedFilters() {}
};

// Sessions and engagement. Neutral: a session never expires and nothing is started.
class APMSessionReporting {
 public:
  virtual ~APMSessionReporting() = default;
  // The component block (and a data reset): the reporter starts over from the engine's
  // persisted configuration (session number, last activity, the app's one-time timeout).
  virtual void resetWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) {}
  virtual void setReportingEnabled(bool enabled) {}
  // The app's session timeout (seconds); negative counts as 0.
  virtual void setTimeoutSessionInterval(double seconds) {}
  virtual bool isSessionExpired() { return false; }
  virtual bool extendSession() { return true; }
  virtual void updatePropertiesForNewSessionStart() {}
  // "_sid" with the timestamp in whole seconds, and "_sno" with the persisted session number.
  virtual std::optional<APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) {
    return std::nullopt;
  }
  virtual std::optional<APMUserAttribute> sessionNumberProperty() { return std::nullopt; }
  // The session-start event "_s" for the persisted session number: "_aib" = 1 in the
  // background, else the current screen's parameters.
  virtual std::optional<APMEvent> sessionStartEvent(double timestamp, bool inBackground) {
    return std::nullopt;
  }
};

// The current screen and whether the app is active. Called from any thread. Neutral: no
// screen, the app reads as active, and a "screen_view" logged through the public calls is
// dropped (screen reporting is the features subsystem's).
class APMScreenViewReporting {
 public:
  virtual ~APMScreenViewReporting() = default;
  virtual bool isAppActive() { return true; }
  virtual APMObjectMap screenParameters() { return {}; }
  virtual void trackScreenWithParameters(const APMObjectMap& parameters, double timestamp) {}
  // The public setScreenName:screenClass: (main thread).
  virtual void setScreenName(const std::optional<std::string>& screenName,
                             const std::optional<std::string>& screenClass) {}
};

// Search-ads attribution. Neutral: never reports.
class APMSearchAdReporting {
 public:
  virtual ~APMSearchAdReporting() = default;
  // The component block: makes the reporter on the worker queue from the persisted
  // configuration (none once attribution is settled or the tries are used up).
  virtual void resetWithWorkerQueue(std::shared_ptr<platform::DispatchQueue> workerQueue,
                                    std::shared_ptr<APMPersistedConfig> persistedConfig) {}
  virtual void setSearchAdReporterEnabled(bool enabled) {}
  virtual void start() {}
};

// Lifetime value and in-app purchases. Neutral: no event is a purchase, so nothing is
// recorded.
class APMLifetimeValueRecording {
 public:
  virtual ~APMLifetimeValueRecording() = default;
  virtual bool isPurchaseEvent(const APMEvent& event) { return false; }
  // Runs inside the caller's transaction; `now` is the totals' set time. False on failure.
  virtual bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event,
                                             double now) {
    return true;
  }
};

// One StoreKit 2 transaction as the facade hands it over: its fields unchanged. Dates are
// seconds since 1970.
struct APMStoreKitTransaction {
  std::string productID;
  std::string transactionID;
  std::string originalTransactionID;
  std::optional<std::string> webOrderLineItemID;
  int64_t productType = 0;  // 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable
  bool isFreeTrial = false;
  bool isIntroductoryOffer = false;
  int64_t paymentQuantity = 1;
  std::optional<double> purchaseDate;
  std::optional<double> originalPurchaseDate;
  std::optional<double> subscriptionExpirationDate;
  std::optional<double> cancellationDate;
  std::optional<std::string> environment;
  bool isVerified = false;
};

// In-app purchases and the App Store receipt. Any thread. Neutral: no fingerprint, nothing
// reported, no device verification.
class APMPurchaseReporting {
 public:
  virtual ~APMPurchaseReporting() = default;
  // The duplicate-check key of a purchased transaction; nothing when none can be made.
  virtual std::optional<std::string> transactionFingerprint(
      const SKPaymentTransaction& transaction) {
    return std::nullopt;
  }
  // The payment queue's transactions the engine kept (purchased, not seen before).
  virtual void paymentQueueUpdatedFilteredTransactions(
      const std::vector<SKPaymentTransaction>& transactions) {}
  // A StoreKit 2 transaction from the facade.
  virtual void reportTransaction(const APMStoreKitTransaction& transaction) {}
  virtual bool verifyTransactionWithDeviceVerification(std::string_view deviceVerification,
                                                       const std::optional<std::string>& uuid,
                                                       const std::string& nonce) {
    return false;
  }
  // Whether the running app version is the one first installed (the receipt's word); read
  // when the first open is reported. Neutral: an App Store install counts as the original
  // version.
  virtual bool isVersionSameAsOriginalVersion();
  // Whether the app's store receipt is valid for this device (the "validated" parameter that
  // bundling gives an "_iap" without one). Neutral: no receipt is read, so NO.
  virtual bool isReceiptValid() { return false; }
};

// The installed feature objects. Thread-safe; install before the engine starts.
struct APMFeatureServices {
  std::shared_ptr<APMAudienceEvaluating> audience;
  std::shared_ptr<APMSessionReporting> sessionReporter;
  std::shared_ptr<APMScreenViewReporting> screenViewReporter;
  std::shared_ptr<APMSearchAdReporting> searchAdReporter;
  std::shared_ptr<APMLifetimeValueRecording> lifetimeValueRecorder;
  std::shared_ptr<APMPurchaseReporting> purchaseReporter;
  // The experiment manager handed to the remote configuration; null: no experiments (no
  // client, no experiment IDs).
  std::shared_ptr<APMExperimentManaging> experimentManager;

  // The neutral set described above.
  static APMFeatureServices neutral();
  // The installed set (the neutral one until something is installed). Never holds nulls,
  // except for the experiment manager.
  static APMFeatureServices current();
  // The installed screen-view reporter alone (what current() holds), without copying the set:
  // read on every logged event.
  static std::shared_ptr<APMScreenViewReporting> currentScreenViewReporter();
  // Installs a set; null members take the neutral object.
  static void install(APMFeatureServices services);
};
