#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/engine/APMEventMemoryInputs.h"
#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/engine/APMRawEventMetadataInputs.h"
#include "AppMeasurement/foundation/APMError.h"
#include "AppMeasurement/foundation/APMMeasurementEngineState.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/records/APMEvent.h"
#include "platform/uikit/UIApplication.h"
#include "platform/utilities/OULAppDelegateInterceptor.h"
#include "platform/utilities/OULError.h"
#include "platform/utilities/OULNetworkLoggerDelegate.h"
#include "platform/utilities/OULNetworkReachabilityDelegate.h"

class APMAlarm;
class APMPSMContext;
class APMPrivateSetMembershipClient;
class APMPrivateSetMembershipClientClass;
class ODCConversionServiceProtocol;
struct SKTransactionError;
class APMDailyCounts;
class APMDatabase;
struct APMConditionalUserPropertySchedule;
class APMIdentity;
class APMPersistedConfig;
class APMPBMeasurementBundle;
class APMPBSkAdNetworkConversionValueResponse;
class APMRawEventData;
class APMRemoteConfig;
class APMScheduler;
class APMTCFClient;
class APMUserAttribute;
class OULHTTPURLResponse;
class OULNetwork;
namespace platform {
struct Notification;
}
struct APMQueuedBundle;

// The measurement engine: one object per process owning the database, identity, remote and
// persisted configuration, feature reporters, the network object and the worker queue. Every
// event, user property, upload and configuration fetch passes through it.
//
// Creation is two-phase: create() builds the object, then the component block runs on the
// worker queue when the engine is first enabled. Blocks handed to queues, the alarm and the
// network hold the engine weakly and do nothing once it is gone.
//
// Threads: the class operations and setEnabled/logEvent/setDefaultEventParameters may be
// called from any thread and only hand work to the worker queue; every ...OnWorkerQueue
// operation, handling, writing, bundling and upload run on the worker queue ("com.orvane.
// kvla.worker"). Delays (upload alarm, back-off, suspension) follow platform::Clock: wall time
// for the alarm and the upload times, uptime for the suspension.
class APMMeasurement : public OULNetworkLoggerDelegate,
                       public OULNetworkReachabilityDelegate,
                       public std::enable_shared_from_this<APMMeasurement> {
 public:
  // The interceptor of public events: origin, name, parameters, timestamp.
  using Interceptor = std::function<void(const std::string& origin, const std::string& name,
                                         const APMObjectMap& parameters, double timestamp)>;

  // Everything the full creator is given; the convenience creator fills the defaults.
  struct Collaborators {
    std::string databaseName = "orvane-app-measurement.sql";
    std::shared_ptr<APMPersistedConfig> persistedConfig;
    std::shared_ptr<OULNetwork> network;
    std::shared_ptr<APMScheduler> scheduler;
    std::shared_ptr<APMAlarm> alarm;
    // The engine's identity; null takes APMIdentity::sharedInstance().
    std::shared_ptr<APMIdentity> identity;
    APMFeatureServices features = APMFeatureServices::current();
  };

  // --- Process-wide instance ---

  // One creation attempt per process, flagged even when it fails; an empty app identifier
  // leaves the process without an engine for good.
  static void initializeSharedInstance(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                       bool isAnalyticsCollectionDeactivated,
                                       std::vector<std::string> safelistedEvents);
  static bool hasSharedInstance();
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // The engine's remote configuration, else the defaults instance. Never null.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();
  // Forgets the shared engine and the creation attempt (tests only; the old engine's blocks
  // keep running until they find it gone).
  static void resetSharedInstanceForTesting();

  // The convenience creator: nullptr (23170) for an empty app identifier.
  static std::shared_ptr<APMMeasurement> create(const std::string& appID,
                                                bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                std::vector<std::string> safelistedEvents);
  // The full creator; every collaborator is given (null members get their defaults).
  static std::shared_ptr<APMMeasurement> create(Collaborators collaborators,
                                                const std::string& appID,
                                                bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                std::vector<std::string> safelistedEvents);
  ~APMMeasurement() override;

  // --- Enabling and start-up (worker queue unless noted) ---

  bool shouldEnableMeasurement();
  // Any thread: hands the change to the worker queue.
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool startMeasurementOnWorkerQueue();
  bool shouldWipeDataWithAppIDFromRZQ(const std::string& appIDFromRZQ,
                                      const std::string& persistedAppIDFromRZQ);
  void updatePersistedAppIDFromRZQ();
  // Chooses, by source priority, the consent settings that take effect at start: the TCF set,
  // the Info.plist defaults, the app-set settings or the start options' settings.
  void setProspectiveConsentSettings();
  // The server's consent defaults, delegations and regional defaults into the consent state
  // (worker queue; at start and after each applied configuration).
  void updateConsentSettingsUtilWithRemoteConfig();
  // The IAB TCF values into the consent state when they changed (worker queue; at start and
  // before each upload pass). Nothing before the component block made the client.
  void tcfClientSetConsentFromData();
  void reachabilityDidChange() override;
  void OULNetwork_logWithLevel(OULLoggerLevel level, int64_t messageCode,
                               const std::string& message,
                               const std::vector<platform::Value>& contexts) override;

  // --- Event logging (any thread) and default parameters ---

  void logEvent(const std::string& origin, bool isPublicEvent, const std::string& name,
                const APMObjectMap& parameters, double timestamp, bool enabled, bool ignoreEnabled,
                bool ignoreInterceptor, Interceptor interceptor,
                const APMObjectMap& addedScreenParameters);
  void logEventOnWorkerQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                             const APMObjectMap& parameters, double timestamp, bool enabled,
                             bool ignoreEnabled, bool ignoreInterceptor,
                             const Interceptor& interceptor,
                             const APMObjectMap& addedScreenParameters);
  void logEventOnWorkerQueue(APMEvent event, bool notifyEventListeners);
  // Runs a group of logged events' blocks with their transactions in one commit group.
  void writeEventGroup(const std::function<void()>& runEvents);
  // For callers that already hold an event; no defaults, screen, interceptor or listeners.
  void logEvent(APMEvent event);
  // Any thread; nullopt clears every default.
  void setDefaultEventParameters(std::optional<platform::Value::Dictionary> parameters);
  void handleSetDefaultEventParametersOnWorkerQueue(
      const std::optional<platform::Value::Dictionary>& parameters, bool backfillEvents);
  bool shouldBackfillEvents();
  APMObjectMap parametersWithAddedDefaultEventParameters(const APMObjectMap& parameters);
  // Which stored events a backfill updates: the stored record and the event read from it.
  using BackfillEventFilter = std::function<bool(const APMRawEventData&, const APMEvent&)>;
  void backfillEventsWithParameters(const APMObjectMap& parameters, bool isPublic,
                                    const BackfillEventFilter& eventFilter);
  // At a session start: "_sid" and "_sno" into the stored events from the session's start
  // time on whose metadata carried no session identifier.
  void backfillSessionID(const APMValue& sessionID, const APMValue& sessionNumber);
  // The session identifier's whole seconds less 15 s, or the time of the first stored "_f".
  double backfillStartTimestampForSessionID(const APMValue& sessionID);
  // Whether the session backfill updates the stored event. `fingerprintToSessionIDExistence`
  // remembers, per metadata fingerprint read during one backfill, whether that metadata
  // carried "_sid".
  bool shouldBackfillSessionID(const APMValue& sessionID, double startTimestamp,
                               std::map<int64_t, bool>& fingerprintToSessionIDExistence,
                               const APMRawEventData& event, const APMEvent& decoded);

  // --- Event handling and writing (worker queue) ---

  void handleInternalEventOnWorkerQueue(APMEvent event);
  void handleEventOnWorkerQueue(APMEvent event);
  std::optional<APMEvent> eventAfterSafelistingEvent(const APMEvent& event);
  // true keeps the event.
  bool dedupeSubscriptionEvent(const APMEvent& event);
  bool shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event);
  void writeEventOnWorkerQueue(APMEvent event);
  void writeFilteredEventOnWorkerQueue(APMEvent event);
  // The event's write transaction; it may run more than once (see writeFilteredEvent...). Its
  // first run takes `memory` (eventMemoryInputs), and every run decides with it.
  bool writeEventTransaction(APMEvent& event, bool isPublicEvent, APMEventMemoryInputs& memory,
                             bool firstRun);
  // What an event's write transaction reads from memory, as it is now.
  APMEventMemoryInputs eventMemoryInputs();
  // Whether this run of an event's write transaction sets "_lair": the request as the event
  // found it, or, when nothing but event writing changed it since, as the runs before this one
  // left it.
  bool lairRequestForRun(const APMEventMemoryInputs& memory, bool firstRun);
  void processSessionFromEvent(const APMEvent& event);
  bool shouldProcessEvent(const APMEvent& event, APMDailyCounts& dailyCounts, bool isPublicEvent,
                          const APMEventMemoryInputs& memory);
  bool isRealtimeEvent(APMEvent& event, APMDailyCounts& dailyCounts,
                       const APMEventMemoryInputs& memory);
  bool writeEvent(const APMEvent& event, bool isPublicEvent, bool isRealtime,
                  APMEventMemoryInputs& memory, bool lairRequested);
  APMPBMeasurementBundle createRawEventMetadataWithUserAttributes(
      const std::vector<APMUserAttribute>& userAttributes);
  // What the metadata of an event written now is made of.
  APMRawEventMetadataInputs rawEventMetadataInputsWithUserAttributes(
      const std::vector<APMUserAttribute>& userAttributes);
  // The metadata's fields that come from memory (the identity, consent, the device, the
  // session and the stored campaign), into `memory`.
  void readRawEventMetadataMemoryInputs(APMEventMemoryInputs& memory);
  // The rest of the metadata inputs, into the fields of `stored` that hold them: what the
  // database holds now, and the stitching token, made the first time and kept in `memory`.
  void readRawEventMetadataStoredInputs(std::vector<APMUserAttribute> userAttributes,
                                        APMEventMemoryInputs& memory,
                                        APMRawEventMetadataInputs& stored);
  // The metadata record of an event written now: the bundle, its bytes and their fingerprint,
  // and the inputs it was made of.
  struct RawEventMetadata {
    APMPBMeasurementBundle bundle;
    std::string encoded;
    int64_t fingerprint = 0;
    std::shared_ptr<const APMRawEventMetadataInputs> memoryInputs;
    APMRawEventMetadataInputs storedInputs;
  };
  // Reads the inputs for every event, but builds the bundle only when they differ from the
  // last event's, and encodes and hashes it only when it differs from the last one built.
  // Valid until the next call. Worker queue.
  const RawEventMetadata& rawEventMetadataWithUserAttributes(
      std::vector<APMUserAttribute> userAttributes, APMEventMemoryInputs& memory);
  // A real-time "_fx" with "_pfo" and "_uwa", for a first open written before an advertising
  // identifier existed.
  void logFirstOpenConsentedEvent(double timestamp);
  // Inside the event's write transaction: the flag changed with an undo should it roll back.
  void setUnmatchedFirstOpenWithoutIDFAUndoable(bool unmatched);
  // The error event once the current transaction's outcome is final.
  void logErrorEventWhenSettled(int64_t code, const std::string& name);
  // The conditional user properties' step of writing: timed-out and expired events are
  // written, the triggered ones answered (written after the event); nullopt on a failure.
  std::optional<std::vector<APMEvent>> processConditionalUserProperties(const APMEvent& event);
  // When the stored conditional user properties can next be met; null while unknown (after any
  // change to them). Worker queue only.
  std::shared_ptr<APMConditionalUserPropertySchedule>& conditionalUserPropertySchedule() {
    return conditionalUserPropertySchedule_;
  }

  // --- User properties ---

  // Any thread: hand the property to the worker queue.
  void setUserAttribute(APMUserAttribute attribute);
  void removeUserAttribute(APMUserAttribute attribute);
  // Any thread: the callback gets name -> string or number on a global queue.
  void userPropertiesIncludingInternal(bool includeInternal,
                                       std::function<void(platform::Value::Dictionary)> callback);
  // Any thread: the callback gets the stored property (nothing when absent or unreadable) on
  // a global queue.
  void userAttributeWithName(const std::string& name,
                             std::function<void(std::optional<APMUserAttribute>)> callback);
  // Any thread: the callback gets 25, the limit of non-public properties per origin, on a
  // global queue.
  void maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int32_t)> callback);
  // Any thread: the completion gets "_sid", or 0 and an error (code 13), on the worker queue.
  void sessionIDWithCompletion(std::function<void(int64_t, std::optional<APMError>)> completion);
  void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
  void removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute);
  bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute);
  void setPersonalizedAdsUserPropertyOnWorkerQueue();
  // Ad-personalisation consent follows a written "_npa" (1 denied, 0 or nothing granted).
  void updateAdPersonalizationConsentFromNPAValue(std::optional<int64_t> npa);
  // Info.plist "ORVANE_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED" when a number, else true.
  bool shouldAllowAdNetworkRegistration();
  // "_lair" = 1, set at `now`, once "_id" exists and the advertising identifier was reset.
  // Inside an event's write transaction.
  void setLastAdvertisingIDResetUserPropertyOnWorkerQueue(double now);
  bool hasUserPropertyUserIDOnWorkerQueue();
  // 1 (personalised ads off), 0 (on) or nothing, from the first source that has a value.
  std::optional<int64_t> shouldDisableAdPersonalization();
  void setShouldUpdateNPAUserProperty(bool update) { shouldUpdateNPAUserProperty_ = update; }
  bool shouldUpdateNPAUserProperty() const { return shouldUpdateNPAUserProperty_; }

  // --- Automatic start-up events and life cycle (worker queue) ---

  void reportFirstOpenOnWorkerQueue();
  // The "_obraid" property's campaign information restored into the persisted buffer.
  void updateCachedAdCampaignInfoWithExistingOBRAIDProperty();
  // The persisted session number, when 0, from the lifetime count of "_s".
  void backfillSessionNumber();
  // Whether the running app version is the one first installed: the purchase reporter's answer
  // from the App Store receipt (its neutral stand-in: an App Store install counts as the
  // original version).
  bool isVersionSameAsOriginalVersion();
  // The count of earlier first opens, kept in the keychain under "_pfo" for the app's bundle
  // identifier so that it survives a reinstall; nullopt deletes it.
  std::optional<platform::Value> previousFirstOpenCount();
  void setPreviousFirstOpenCount(const std::optional<platform::Value>& count);
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  // The first-open time "_fot" is given to the hour: milliseconds rounded up to the start of
  // the next hour, a value exactly on an hour included.
  static int64_t timestampMillisRoundedUpToNextHour(int64_t millis);
  // The file system's attributes of `path` ("NSFileType", "NSFileSize",
  // "NSFilePosixPermissions", "NSFileModificationDate"); nullopt for an empty path, and,
  // with a line at level 5, when they cannot be read. Any thread.
  static std::optional<platform::Value::Dictionary> fileAttributesForPath(std::string_view path);
  // Starts a session when the session reporter says the last one expired: the next session
  // number, "_sid" and "_sno" set, and "_s" handled ("_aib" = 1 in the background when the
  // remote setting allows it). Worker queue.
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground);
  // Schedules a session start with the init timestamp, in the foreground.
  void reportSessionStart();
  // The session start of a launch that is not the first open: now when the app is active, or,
  // for a prewarmed scene-based app, when its scene connects.
  void reportSessionStartAtLaunchOnWorkerQueue();
  void reportSessionStartWhenSceneWillConnectOnWorkerQueue();
  // The app's session timeout for the session reporter. Any thread: handed to the worker queue.
  void setSessionTimeoutInterval(double seconds);

  // --- Application life cycle and background uploads ---

  // Observes the application's did-finish-launching for the class, once per process (the
  // composition root calls it when it registers the library). Main thread.
  static void subscribeForAppDidFinishLaunchingNotifications();
  static void handleAppDidFinishLaunching(const platform::Notification& notification);
  // Observes did-become-active, will-resign-active and will-enter-foreground (component block).
  void subscribeForAppForegroundBackgroundNotifications();
  // The notifications' handlers, on the main thread; engine work goes to the worker queue.
  void handleAppDidBecomeActiveEvent();
  // Fetches the configuration when its last update is 7 days or more away (worker queue block).
  void refreshStaleConfiguration();
  // Saves the settings, begins the background task "APMAnalyticsMeasurementBackgroundTask"
  // and uploads after every public call already queued.
  void handleAppWillResignActiveEvent();
  void handleAppWillEnterForegroundNotification();
  // Saves the persisted settings and ends the background task held, if any. Any thread.
  void terminateBackgroundTask();
  // Installs the identifier (one atomic exchange) and ends the task held before. Any thread.
  void swapBackgroundTaskWithNewTaskID(UIBackgroundTaskIdentifier taskID);
  // The background task held, UIBackgroundTaskInvalid when none.
  UIBackgroundTaskIdentifier backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
  // Whether uploads go through the background session: the server allows it and a background
  // task is held.
  bool shouldUseBackgroundSession();

  // --- Bundling, upload and configuration fetch (worker queue) ---

  // Makes at most one bundle, in one transaction. true when the transaction committed and made
  // a bundle or dropped a whole group (every event sampled out, or rows that can never be
  // bundled); false otherwise, a transaction that did not commit included.
  bool bundleRawEvents();
  // Session start and engagement of one group: a "_s" clears the session-scoped audience
  // results, re-evaluates the bundle's user properties (before any of its events) and clears
  // the session counts; the group's "_et" (rejected events included, "_fr" ones not) is added
  // to "_lte", then to "_se", which a session start first deletes. false when the property
  // evaluation or the clearing of the session counts failed, which ends this step and not the
  // bundle.
  bool evaluationTimeFromRawEvents(const std::vector<APMEvent>& rawEvents,
                                   APMPBMeasurementBundle& bundle);
  // An "_iap" gets "sandbox" = 1 when the store receipt is a sandbox one and "validated" = the
  // receipt's validity (1 or 0), each only when the event has none; other events pass as they
  // are.
  APMEvent validatePurchaseEvent(APMEvent event);
  // Adds the milliseconds to "_se" (session-scoped) or "_lte", stored and in the bundle.
  bool updateUserEngagement(int64_t engagementMillis, APMPBMeasurementBundle& bundle,
                            bool sessionScoped);
  // Snapshot or restore of the event aggregates when analytics storage denial changes, inside
  // the bundle's transaction. Answers the bundle's consent-signal string when it differs from
  // the one of the last bundle made: the caller stores it once the transaction commits, so that
  // it never outlives a rolled-back snapshot or restore. nullopt when they are equal.
  std::optional<std::string> handleAnalyticsStorageConsentTransitions(
      const APMPBMeasurementBundle& bundle);
  // A purchase with "_ct" "new" or "returning", when the customer type setting is on.
  APMEvent purchaseEventWithCustomerTypeParam(const APMEvent& event);
  // Experiments, health data, configuration version, app id and the bundle's times.
  void addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle, double bundleStartTimestamp,
                                   double bundleEndTimestamp);
  // Sampling of a bundle's events (worker queue): the kept ones, or nothing on a storage error.
  std::optional<std::vector<APMPBEvent>> sampleEvents(std::vector<APMPBEvent> events,
                                                      APMErrorSlot* error);
  bool canEventBeSampled(const APMPBEvent& event);
  // true with probability 1/rate.
  bool isEventBundledAfterRoll(uint32_t rate);
  void setSamplingRollForTesting(std::function<bool(uint32_t)> roll);
  void updateSchedule();
  double nextUploadingTime();
  bool hasDataToUpload();
  bool isNetworkReadyForRequest();
  void uploadData();
  void fetchRemoteConfig();
  bool wipeoutAnalyticsDataAndResetComponents();
  // At start: an upload whose answer never came because the process ended leaves no failure
  // behind (its bundles stay queued and go out on the ordinary schedule).
  void restoreUploadCutByExit();
  // Any thread except the worker queue (runs the wipe there synchronously): wipes every
  // measurement datum and takes the new app instance identifier (none or empty only while
  // analytics storage is denied). Answers the wipe's result.
  bool resetAnalyticsDataWithAppInstanceID(const std::optional<std::string>& appInstanceID);
  // The set time of "_fot", else the earliest set time of any property, else 0 (worker queue).
  double firstOpenTimestamp();
  // The largest configuration body the engine applies; a larger one is refused (23135) and the
  // previous configuration kept.
  static constexpr size_t kMaxRemoteConfigBytes = 256 * 1024;
  // The most logged events written under one commit: bounds how long other connections wait
  // for the file and how much a killed process loses of what it had handled.
  static constexpr size_t kMaxEventsPerCommit = 64;
  bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
  void setSuspendedUploadTimestamp(double uptime) { suspendedUploadTimestamp_ = uptime; }

  // --- Purchases (any thread) ---

  // Keeps the purchased transactions whose fingerprint is new to the database (one without a
  // fingerprint, or whose fingerprint cannot be stored, is kept unchecked) and hands them to
  // the callback on the global queue. The check runs on the worker queue.
  void filterPurchaseTransactions(
      std::vector<SKPaymentTransaction> transactions,
      std::function<void(const std::vector<SKPaymentTransaction>&)> callback);
  // --- Attribution: deep links and campaigns, SKAdNetwork values, on-device conversion ---
  // Worker queue unless noted. Every request here shares isNetworkRequestPending with the
  // upload and the configuration fetch; a request the network object cannot start is answered
  // as a failure through its completion (never a flag left set).

  // The component block's deep-link step, after the first-open report: the stored launch link
  // as a campaign, else the deferred deep link (now, or after the configuration fetch).
  void startDeepLinksOnWorkerQueue();
  // The successful-upload step when nothing more is sent: a postponed private-set-membership
  // request goes now; otherwise the schedule is updated and the SKAdNetwork fetch follows.
  void continueAfterSuccessfulUpload();
  // The answered configuration fetch: on-device conversion, then the deferred deep link when it
  // waited for the configuration. True when that request took the place of the upload step.
  bool continueAfterAnsweredConfigFetch();

  // Deep links and campaigns.
  // The web-page link of a browsing activity, else nullopt (logged). Any thread.
  static std::optional<std::string> deepLinkFromUserActivity(
      const std::optional<OULAppDelegateInterceptor::UserActivity>& userActivity);
  // The app-did-finish-launching notification's user info: caches the launch link and applies
  // the tag-manager debug switch. A launch activity is the dictionary {"activityType",
  // "webpageURL"} under the user-activity key. Any thread.
  static void handleStoredURLAfterAppLaunchWithUserInfo(const platform::Value& userInfo);
  // "sotm_debug_enable" / "sotm_preview_key" of a link's query. Any thread.
  static void handleSOTMDebugModeWithURL(const std::string& url);
  // The process-wide preview headers, replaced whole; nullopt when none. Any thread.
  static std::optional<platform::Value::Dictionary> SOTMPreviewHeaders();
  static void setSOTMPreviewHeaders(std::optional<platform::Value::Dictionary> headers);
  // From APMAnalytics' serial queue (never the worker queue): hops to the worker queue.
  void handleNonFirstOpenEventURL(const std::string& url, double eventTimestampInSeconds);
  void handleOpenURL(const std::string& url, std::optional<int64_t> clickTimestampInMs,
                     double eventTimestampInSeconds);
  void handleOpenURLOnWorkerQueue(
      const std::string& url, std::optional<int64_t> clickTimestampInMs,
      double eventTimestampInSeconds,
      const std::optional<platform::Value::Dictionary>& extraParameters);
  static bool isValidCampaignURLParamDictionary(
      const std::map<std::string, std::string, std::less<>>& parameters);
  bool shouldAllowClickID();
  bool shouldAllowRequestDeferredDeepLink();
  void requestDeferredDeepLink();
  // The response object when its "deeplink" member is a string that makes a URL; any body.
  static std::optional<platform::Value::Dictionary> deepLinkInfoFromResponseData(
      std::string_view data);
  void handleDeferredDeepLinkInfo(const platform::Value::Dictionary& info);
  // Main queue: asks the application's delegate to open the link; false when it cannot.
  static bool sendDeepLinkURLToAppDelegateOnMainThread(
      const std::string& url, const std::optional<platform::Value::Dictionary>& extraInfo);
  // The launch link cached before start, as a campaign (the click time, or nullopt).
  void reportStoredCampaignEventOnWorkerQueue(std::optional<int64_t> clickTimeMillis);
  bool shouldRequestDeferredDeepLinkAfterConfigFetch() const {
    return shouldRequestDeferredDeepLinkAfterConfigFetch_;
  }

  // SKAdNetwork conversion values.
  static std::string SKANVersion();
  bool isInFirstSKANPostbackWindow();
  bool isPastAllSKANPostbackWindows();
  static bool isValidFineConversionValue(int64_t fineValue);
  static std::string convertCoarseConversionValueFromProtoValue(int32_t coarseValue);
  int32_t SKANFetchRetryLimit();
  bool shouldFetchSKANConversionValue();
  void scheduleSKANCVFetchAfterDataUpload();
  void fetchSKANCV();
  void handleSKANFetchResponse(int64_t status, const std::optional<std::string>& contentEncoding,
                               const std::optional<std::string>& data,
                               const std::optional<OULError>& error);
  void updateSKANPostbackConversionValueFromResponse(
      const APMPBSkAdNetworkConversionValueResponse& response);
  void handleSKANUpdatePostbackCompletion(const APMPBSkAdNetworkConversionValueResponse& response,
                                          const std::optional<SKTransactionError>& error);
  void maybeScheduleSKANCVFetchRetry();
  void stopProcessingSKANResponseAndResetRetryCount();
  void maybeFetchSKANCVAfterReachabilityChange();
  int32_t SKANRetryCount() const { return SKANRetryCount_; }
  bool isSKANRequestInProgress() const { return isSKANRequestInProgress_; }

  // On-device conversion over private set membership (the older flow).
  // Any thread: the user data ("email_address", "phone_number", "hashed_email_address",
  // "hashed_phone_number") goes to the worker queue as block "APMMeasurement:3367".
  void setUserData(platform::Value::Dictionary userData);
  void setUserDataOnWorkerQueue(const platform::Value::Dictionary& userData);
  void checkPSMDependencyOnWorkerQueue();
  void maybeDeleteExpiredPSMValueOnWorkerQueue();
  void initiateODM1ProtocolWithUserData(const platform::Value::Dictionary& userData);
  static std::shared_ptr<APMPrivateSetMembershipClientClass> PSMClientClass();
  static bool isAPMPrivateSetMembershipClientLinked();
  bool shouldRetrievePSMResponse();
  bool shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress);
  bool shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber);
  bool shouldRetrievePSMResponseWithHashedIdentifier(const std::string& hashedIdentifier);
  std::shared_ptr<APMPrivateSetMembershipClient> PSMClientWithEmailAddress(const std::string& e);
  std::shared_ptr<APMPrivateSetMembershipClient> PSMClientWithPhoneNumber(const std::string& p);
  std::shared_ptr<APMPrivateSetMembershipClient> PSMClientWithHashedEmailAddress(
      const std::string& digest);
  std::shared_ptr<APMPrivateSetMembershipClient> PSMClientWithHashedPhoneNumber(
      const std::string& digest);
  std::optional<std::string> PSMRequestURL();
  void retrievePSMResponse();
  void maybeSchedulePSMRetry();
  void handlePSMValueOnWorkerQueue(const std::string& value, bool isSessionValue);
  void incrementPSMCountOnWorkerQueueWithName(const std::string& name);
  // The engine's context of the older flow; null when no client class was linked at start.
  APMPSMContext* ODM1Context() const { return ODM1Context_.get(); }

  // The on-device conversion service (the current flow).
  static bool isAdsOnDeviceConversionLinked();
  static std::shared_ptr<ODCConversionServiceProtocol> conversionServiceFromReflection();
  static bool isAlphaAppAdsOnDeviceConversionLinked();
  static bool isOrvaneAdsOnDeviceConversionLinked();
  bool isAdsOnDeviceConversionEnabled();
  std::optional<double> firstLaunchDate();
  void checkODM2DependencyOnWorkerQueue();
  void updateAdsOnDeviceConversionMeasurement();
  void handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                        const std::optional<OULError>& error);
  // The stored campaign and the linked components of a new metadata record.
  void readRawEventAttribution(APMRawEventMetadataInputs& inputs);
  // Its on-device values, from the database.
  void readRawEventODMValues(APMRawEventMetadataInputs& inputs);

  // --- Accessors ---

  const std::string& appID() const { return appID_; }
  bool isEnabled() const { return enabled_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_; }
  bool didInitializeComponents() const { return didInitializeComponents_.load(); }
  double initTimestamp() const { return initTimestamp_; }
  const std::shared_ptr<APMScheduler>& scheduler() const { return scheduler_; }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<OULNetwork>& network() const { return network_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
  // The database once the component block made it; worker queue only.
  APMDatabase* database() const { return database_.get(); }
  std::shared_ptr<APMRemoteConfig> remoteConfigInstance() const;
  // This engine's remote configuration, else the defaults instance. Never null.
  std::shared_ptr<APMRemoteConfig> currentConfig() const;
  // The engine's identity, fixed at creation; any thread.
  const std::shared_ptr<APMIdentity>& engineIdentity() const { return identity_; }
  // The IAB TCF reader once the component block made it; worker queue only.
  APMTCFClient* tcfClient() const { return tcfClient_.get(); }
  const std::vector<std::string>& safelistedEvents() const { return safelistedEvents_; }

 private:
  APMMeasurement(Collaborators collaborators, const std::string& appID,
                 bool isAnalyticsCollectionEnabled, bool isAnalyticsCollectionDeactivated,
                 std::vector<std::string> safelistedEvents);
  void schedule(const char* blockID, std::function<void(APMMeasurement&)> block);
  bool initializeComponentsOnWorkerQueue();
  // Steps after the component block at every start: first open after reset, schedule.
  void onStartMeasurement();
  void networkUploadCompletion(uint64_t requestSerial,
                               const std::optional<OULHTTPURLResponse>& response,
                               const std::optional<OULError>& networkError);
  void configFetchCompletion(uint64_t requestSerial,
                             const std::optional<OULHTTPURLResponse>& response,
                             const std::string& body, const std::optional<OULError>& networkError,
                             const std::string& libraryVersion);
  // A request that could not be sent counts as a failed answer (one rule for POST and GET).
  void failRequestThatWasNotSent();
  std::vector<APMQueuedBundle> prepareBatch(std::vector<APMQueuedBundle> queued);
  int32_t currentDayNumber() const;
  int32_t dayNumberAt(double now) const;
  // The database file and its companions removed while no database is open (wipe).
  bool deleteDatabaseFiles();

  const std::string databaseName_;
  std::atomic<bool> didInitializeComponents_{false};
  std::mutex initializeComponentsLock_;
  std::shared_ptr<APMAlarm> alarm_;
  std::unique_ptr<APMDatabase> database_;
  std::shared_ptr<APMIdentity> identity_;
  std::shared_ptr<APMTCFClient> tcfClient_;
  std::shared_ptr<class APMTCFAnalyticsSink> tcfSink_;
  std::shared_ptr<OULNetwork> network_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  mutable std::mutex remoteConfigMutex_;  // guards remoteConfig_ (read from any thread)
  std::shared_ptr<APMRemoteConfig> remoteConfig_;
  std::shared_ptr<class APMRemoteConfigStore> remoteConfigStore_;
  std::shared_ptr<APMScheduler> scheduler_;
  // Events logged one after another reach the worker as one block and are written under one
  // commit (see writeEventGroup).
  std::unique_ptr<class APMBlockGrouper> eventGrouper_;
  APMFeatureServices features_;
  double initTimestamp_ = 0;
  const std::string appID_;
  const std::vector<std::string> safelistedEvents_;
  std::atomic<bool> enabled_{false};
  // Worker queue: the last metadata record built, and where the app came from (read at start).
  std::optional<RawEventMetadata> lastRawEventMetadata_;
  // The last metadata inputs and stitching token read from memory, shared with the events that
  // read the same.
  std::shared_ptr<const APMRawEventMetadataInputs> lastMetadataMemoryInputs_;
  std::shared_ptr<const std::optional<std::string>> lastStitchingToken_;
  std::optional<bool> isFromAppStore_;
  // Worker queue: the identity's request for "_lair" as the last run of an event's write
  // transaction left it (see lairRequestForRun).
  bool lairRequestLeft_ = false;
  // The group rollback whose transactions run again last set lairRequestLeft_.
  uint64_t lairRequestRollback_ = 0;
  // Upload and fetch state, worker queue only.
  bool isNetworkRequestPending_ = false;
  uint64_t pendingRequestSerial_ = 0;  // the request whose answer is awaited
  uint64_t nextRequestSerial_ = 0;
  std::vector<int64_t> uploadingBundleIDs_;
  int64_t lastEventEndTimestampMsec_ = 0;
  double suspendedUploadTimestamp_ = 0;
  std::vector<uint64_t> lifecycleObservers_;
  // Replaced only by an atomic exchange: the main thread, the worker queue and the expiration
  // handler all replace it.
  std::atomic<UIBackgroundTaskIdentifier> backgroundUpdateTask_{UIBackgroundTaskInvalid};
  std::string previousRZQAppID_;
  std::atomic<bool> shouldUpdateNPAUserProperty_{false};  // set by configuration changes
  // The "_npa" default came from the Info.plist (read on the worker and the public-call queue).
  std::atomic<bool> adPersonalizationFromInfoPlist_{false};
  std::function<bool(uint32_t)> samplingRoll_;
  bool wasEnabledDuringInitialization_ = false;
  std::shared_ptr<APMConditionalUserPropertySchedule> conditionalUserPropertySchedule_;
  const bool isAnalyticsCollectionEnabled_;
  const bool isAnalyticsCollectionDeactivated_;
  // Attribution state, worker queue only.
  // Marks a request of this engine as the one out; its completion ends it with the serial.
  uint64_t beginNetworkRequest();
  bool endNetworkRequest(uint64_t requestSerial);
  void deferredDeepLinkCompletion(uint64_t requestSerial, int64_t status,
                                  const std::optional<std::string>& data,
                                  const std::optional<OULError>& error);
  void handlePSMAnswer(APMPrivateSetMembershipClient& client, bool isSessionValue, int64_t status,
                       const std::optional<std::string>& data,
                       const std::optional<OULError>& error);
  // The first-open time in seconds, 0 when none is stored.
  double firstOpenSeconds();
  bool shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
  int32_t SKANRetryCount_ = 0;
  bool isSKANRequestInProgress_ = false;
  bool fetchSKANWhenNetworkConnected_ = false;
  std::shared_ptr<APMAlarm> SKANDelayAlarm_;
  std::shared_ptr<APMAlarm> SKANRetryAlarm_;
  std::shared_ptr<APMPSMContext> ODM1Context_;
  std::shared_ptr<ODCConversionServiceProtocol> conversionService_;
};
