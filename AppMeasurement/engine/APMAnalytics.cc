#include "AppMeasurement/engine/APMAnalytics.h"

#include <limits>
#include <map>
#include <mutex>

#include "AppMeasurement/engine/APMAppDelegateInterceptor.h"
#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMErrorEventSink.h"
#include "AppMeasurement/foundation/APMIdentifiers.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMNameUtil.h"
#include "AppMeasurement/foundation/APMNumericUtil.h"
#include "AppMeasurement/foundation/APMOrvaneServiceFileUtil.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "AppMeasurement/records/APMEvent.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/storekit/SKPaymentQueue.h"
#include "platform/utilities/OULAppDelegateSwizzler.h"
#include "platform/utilities/OULNetwork.h"

using apm_engine::monitor;

namespace {

constexpr const char* kSuiteName = "APMAnalyticsSuiteName";
constexpr const char* kSetEnabledNotification = "KVLAnalyticsConfigurationSetEnabledNotification";

// The internal error events of the validators go through the public-call layer.
class SerialiserErrorEventSink : public APMErrorEventSink {
 public:
  void logInternalEvent(const std::string& origin, const std::string& name,
                        const APMValueMap& parameters) override {
    APMObjectMap map;
    for (const auto& [key, value] : parameters) map.emplace(key, APMObject(value));
    APMAnalytics::logInternalEventWithOrigin(origin, name, map);
  }
};

// The payment queue's observer: purchases go, once the engine has dropped those it saw
// before, to the installed purchase reporter. Nothing while collection is off.
class PaymentObserver : public SKPaymentTransactionObserver {
 public:
  void paymentQueueUpdatedTransactions(
      SKPaymentQueue&, const std::vector<SKPaymentTransaction>& transactions) override;
};

struct State {
  State() { reset(); }
  void reset() {
    operationQueue = std::make_unique<platform::OperationQueue>("APMAnalyticsOperationQueue", true);
    started = false;
    deactivated = false;
    enabled = false;
    origin.clear();
    interceptor = nullptr;
    listeners.reset();
    listenersAddedOrQueued = 0;
    openURLListener = nullptr;
    nextListener = 0;
    appDelegateProxyCreated = false;
    if (observerToken != 0)
      platform::NotificationCenter::defaultCenter().removeObserver(observerToken);
    observerToken = 0;
  }

  // Read by every caller that queues a call; kept off the line of the mutex below, which the
  // serial queue takes for every event.
  std::unique_ptr<platform::OperationQueue> operationQueue;  // replaced only by resetForTesting
  alignas(64) std::mutex mutex;
  bool started = false;                     // guarded by mutex
  bool deactivated = false;                 // guarded by mutex
  bool enabled = false;                     // guarded by mutex
  std::string origin;                       // guarded by mutex
  APMMeasurement::Interceptor interceptor;  // guarded by mutex
  // Made by the first add; removals before it are told apart.
  std::optional<std::map<std::string, APMAnalytics::Listener>> listeners;  // guarded by mutex
  uint64_t nextListener = 0;                                               // guarded by mutex
  // Listeners stored or on their way to be (counted at the add call, before the store is
  // queued): while none is, an event has nobody to be handed to.
  size_t listenersAddedOrQueued = 0;                              // guarded by mutex
  APMAnalytics::OpenURLListener openURLListener;                  // guarded by mutex
  bool appDelegateProxyCreated = false;                           // guarded by mutex
  platform::NotificationCenter::ObserverToken observerToken = 0;  // guarded by mutex
  std::shared_ptr<PaymentObserver> paymentObserver = std::make_shared<PaymentObserver>();

  std::mutex loadMutex;
  double loadTimestamp = 0;  // guarded by loadMutex
};

State& state() {
  static State* s = [] {
    auto* made = new State();
    APMErrorEventSink::install(std::make_shared<SerialiserErrorEventSink>());
    return made;
  }();
  return *s;
}

// The screen the caller is on, read at the call (none when the parameters name one).
template <typename Map>
APMObjectMap callerScreenParameters(const Map& parameters) {
  if (APMHasScreenParameters(parameters)) return {};
  return APMFeatureServices::currentScreenViewReporter()->screenParameters();
}

// Queues a call that takes its timestamp when it joins the operation queue, in the same
// critical section: the order of queued calls is the order of their timestamps. The block
// runs on the serial queue.
template <typename Block>
void queueTimedOperation(Block block) {
  // One allocation on the caller's thread: the operation holds the block itself.
  state().operationQueue->addTimedOperation([block = std::move(block)](double timestamp) mutable {
    APMAnalytics::dispatchAsyncOnSerialQueue(
        [block = std::move(block), timestamp] { block(timestamp); });
  });
}

bool classExists(const char* name) { return platform::ClassRegistry::shared().contains(name); }

bool isValidSafelistedEventList(const platform::Value& value) {
  const platform::Value::Array* array = value.asArray();
  if (array == nullptr) {
    monitor().logWithLevel(0, 25034, "Invalid safelisted event parameter. Type must be an array");
    return false;
  }
  for (const platform::Value& element : *array) {
    if (!APMDataTypeValidator::isValidInternalEventName(APMObject(element))) {
      monitor().logWithLevel(0, 25035, "Invalid event name for safelisting. Name", element);
      return false;
    }
  }
  return true;
}

}  // namespace

// --- Queues ---

std::shared_ptr<platform::DispatchQueue> APMAnalytics::queue() {
  // Never destroyed, as every class-level slot here: operation-queue threads reach it while
  // the process exits.
  static std::shared_ptr<platform::DispatchQueue>& serial =
      *new std::shared_ptr<platform::DispatchQueue>(
          platform::DispatchQueue::createSerial("APMAnalyticsQueue"));
  return serial;
}

void PaymentObserver::paymentQueueUpdatedTransactions(
    SKPaymentQueue&, const std::vector<SKPaymentTransaction>& transactions) {
  APMAnalytics::queueOperationWithBlock([transactions] {
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      if (!state().enabled) return;
    }
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!engine) return;
    std::shared_ptr<APMPurchaseReporting> reporter = APMFeatureServices::current().purchaseReporter;
    engine->filterPurchaseTransactions(transactions,
                                       [reporter](const std::vector<SKPaymentTransaction>& kept) {
                                         reporter->paymentQueueUpdatedFilteredTransactions(kept);
                                       });
  });
}

void APMAnalytics::dispatchAsyncOnSerialQueue(platform::Block block) {
  queue()->async(std::move(block));
}

void APMAnalytics::queueOperationWithBlock(platform::Block block) {
  state().operationQueue->addOperation(
      [block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
}

void APMAnalytics::unsuspendOperationQueue() { state().operationQueue->setSuspended(false); }

void APMAnalytics::queueOperationWithBlockThenWait(platform::Block block) {
  platform::OperationQueue& operations = *state().operationQueue;
  queueOperationWithBlock(std::move(block));
  if (operations.isSuspended()) return;
  operations.waitUntilAllOperationsAreFinished();
  // Calls made in the next half second wait, so that what this call hands on goes first.
  operations.setSuspended(true);
  queue()->after(0.5, [] { unsuspendOperationQueue(); });
}

void APMAnalytics::waitForQueuedCalls() {
  platform::OperationQueue& operations = *state().operationQueue;
  if (operations.isSuspended()) return;
  // Each stage hands its work to the next before it ends: the operation queue to the serial
  // queue, the serial queue to the worker queue.
  operations.waitUntilAllOperationsAreFinished();
  queue()->sync([] {});
  if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("APMAnalytics:waitForQueuedCalls", [] {});
  }
}

bool APMAnalytics::isEnabled() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().enabled;
}

bool APMAnalytics::isCurrentQueueSerialQueue() {
  std::shared_ptr<platform::DispatchQueue> current = platform::DispatchQueue::current();
  return current && current->label() == "APMAnalyticsQueue";
}

double APMAnalytics::loadTimestamp() {
  std::lock_guard<std::mutex> lock(state().loadMutex);
  return state().loadTimestamp;
}

void APMAnalytics::setLoadTimestamp(double timestamp) {
  std::lock_guard<std::mutex> lock(state().loadMutex);
  state().loadTimestamp = timestamp;
}

void APMAnalytics::load() {
  std::lock_guard<std::mutex> lock(state().loadMutex);
  if (state().loadTimestamp == 0) state().loadTimestamp = apm_engine::now();
}

std::string APMAnalytics::origin() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().origin;
}

std::string APMAnalytics::topLevelVersion() {
  std::shared_ptr<platform::RuntimeObject> facade =
      classExists("KVLAnalytics") ? platform::ClassRegistry::shared().lookup("KVLAnalytics")()
                                  : nullptr;
  if (auto* versioned = dynamic_cast<APMTopLevelVersioned*>(facade.get())) {
    return versioned->topLevelVersion();
  }
  return "111500000";
}

// --- Start ---

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const platform::Value::Dictionary& options) {
  load();
  if (classExists("KVLADatabase")) {
    monitor().logWithLevel(1, 25029,
                           "Detected an older version of Orvane Analytics for Kavrelin framework. "
                           "Data collection will be disabled. Please upgrade to the latest version "
                           "of Orvane Analytics for Kavrelin");
    return;
  }
  bool facade = classExists("KVLAnalytics");
  if (facade && origin != "ka") {
    monitor().logWithLevel(3, 25026, "Deferring to Kavrelin for event data collection");
    return;
  }
  if (!facade && !APMOrvaneServiceFileUtil::orvaneServiceInfoPlistPath().value_or("").empty()) {
    monitor().logWithLevel(0, 25027,
                           "Deferring to Orvane Analytics for Kavrelin for event data collection. "
                           "See docs/measurement.md for the start through KVLAnalytics.");
    return;
  }
  if (!options.empty()) {
    auto tag = options.find("app_measurement_log_tag");
    if (tag != options.end() && tag->second.isString() && !tag->second.asString()->empty()) {
      monitor().setLogTag(*tag->second.asString());
    } else {
      monitor().logWithLevel(2, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().started) return;
    state().started = true;
  }
  if (APMConsentSettingsUtil::consentSource() == 100) loadPersistedConsentSettings();
  if (origin == "ka") {
    if (std::shared_ptr<APMIdentity> identity = APMIdentity::sharedInstance();
        identity && appID != identity->appIDFromRZQ()) {
      identity->setAppIDFromRZQ(appID);
    }
  }
  platform::NotificationCenter::defaultCenter().postNotificationName(
      "kKVLAnalyticsWillStartNotification");
  APMIdentifiers::sharedInstance().setOrigin(origin);
  bool enabled = true;
  bool deactivated = false;
  std::vector<std::string> safelist;
  // The observed sender is the configuration object itself (its most-derived address, the one
  // it posts with).
  const void* configuration = nullptr;
  if (!options.empty()) {
    auto value = options.find("KAVRELIN_ANALYTICS_COLLECTION_ENABLED");
    if (value != options.end() && value->second.isNumber()) {
      enabled = value->second.numberAsBool().value_or(true);
    }
    value = options.find("KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED");
    if (value != options.end() && value->second.isNumber()) {
      deactivated = value->second.numberAsBool().value_or(false);
    }
    value = options.find("KAVRELIN_ANALYTICS_CONFIGURATION");
    if (value != options.end() && value->second.isObject()) {
      configuration = dynamic_cast<const void*>(value->second.asObject()->get());
    }
    value = options.find("safelisted_events");
    if (value != options.end() && isValidSafelistedEventList(value->second)) {
      for (const platform::Value& name : *value->second.asArray())
        safelist.push_back(*name.asString());
    }
    platform::Value::Dictionary startConsent =
        APMConsentSettingsUtil::consentSettingsFromDictionary(options);
    if (!startConsent.empty())
      settings()->setObject(platform::Value(startConsent), "consent_settings_on_start");
  }
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().origin = origin;
    state().deactivated = deactivated;
  }
  dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
    APMMeasurement::initializeSharedInstance(appID, enabled, deactivated, safelist);
    if (OULAppDelegateSwizzler::isAppDelegateProxyEnabled()) {
      if (!deactivated) {
        platform::DispatchQueue::main()->async([] { createAppDelegateProxy(); });
      }
    } else {
      monitor().logWithLevel(6, 25036, "App Delegate Proxy is disabled");
    }
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      state().enabled = engine && engine->wasEnabledDuringInitialization();
    }
    maybeEnableVelquor();
  });
  if (configuration != nullptr) observeNotificationsForAnalyticsConfiguration(configuration);
  std::shared_ptr<PaymentObserver> observer = state().paymentObserver;
  platform::DispatchQueue::main()->async(
      [observer] { SKPaymentQueue::defaultQueue().addTransactionObserver(observer); });
  unsuspendOperationQueue();
}

void APMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    if (persistSetting)
      APMPersistedConfig::sharedInstance()->setMeasurementEnabledState(enabled ? 1 : 2);
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      if (state().deactivated && enabled) return;
      state().enabled = enabled;
    }
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->setEnabled(enabled);
    }
  });
}

void APMAnalytics::observeNotificationsForAnalyticsConfiguration(const void* configuration) {
  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  std::lock_guard<std::mutex> lock(state().mutex);
  if (state().observerToken != 0) center.removeObserver(state().observerToken);
  state().observerToken = 0;
  if (configuration == nullptr) return;
  state().observerToken = center.addObserverForName(kSetEnabledNotification, configuration, nullptr,
                                                    &APMAnalytics::handleSetEnabled);
}

void APMAnalytics::handleSetEnabled(const platform::Notification& notification) {
  const platform::Value::Dictionary* info = notification.userInfo.asDictionary();
  const platform::Value* value = nullptr;
  if (info != nullptr) {
    auto found = info->find(kSetEnabledNotification);
    if (found != info->end()) value = &found->second;
  }
  if (value == nullptr || !value->isNumber()) {
    monitor().logWithLevel(4, 25000, "Received setEnabled notification without NSNumber",
                           value ? *value : platform::Value());
    return;
  }
  setAnalyticsEnabled(value->numberAsBool().value_or(false), false);
}

void APMAnalytics::maybeEnableVelquor() {
  if (!classExists("Velquor")) return;
  std::shared_ptr<platform::RuntimeObject> velquor =
      platform::ClassRegistry::shared().lookup("Velquor")();
  // A class that answers the operation always has its implementation here, so 25016 ("Velquor
  // class doesn't define initializeSharedInstance") cannot occur; one that does not answer it is
  // left alone.
  if (auto* initializing = dynamic_cast<APMVelquorInitializing*>(velquor.get())) {
    initializing->initializeSharedInstance();
  }
}

std::shared_ptr<APMAnalytics> APMAnalytics::sharedInstance() {
  static std::shared_ptr<APMAnalytics>& instance =
      *new std::shared_ptr<APMAnalytics>(std::make_shared<APMAnalytics>());
  return instance;
}

// --- Event logging ---

void APMAnalytics::logEventWithName(const std::string& name,
                                    const platform::Value::Dictionary& parameters) {
  logEventWithOrigin("app", name, parameters);
}

namespace {

// The public-name check: false, with the error event logged, for a name the engine refuses.
bool acceptPublicEventName(const std::string& name) {
  int64_t failure = 0;
  APMObject nameObject{platform::Value(name)};
  if (APMDataTypeValidator::isValidPublicEventName(nameObject, &failure)) return true;
  APMLogErrorEventWithValue(failure == 4 ? 13 : 2, nameObject, 40, &nameObject);
  return false;
}

}  // namespace

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Value::Dictionary& parameters) {
  if (name == "screen_view") {
    // Goes to the screen reporter at once (the name passes the check).
    if (acceptPublicEventName(name)) {
      logEventWithOrigin(origin, true, name, APMObject::mapFromDictionary(parameters));
    }
    return;
  }
  // The name is checked at the call: a refused one's error event takes this call's time and
  // place in the queue, ahead of every later call.
  if (!acceptPublicEventName(name)) return;
  // The caller's part is also the screen it is on, a copy of the parameters, the timestamp and
  // the place in the operation queue; the parameters' conversion follows on the serial queue,
  // in call order, before anything else is done with the event.
  // Copies made by init-capture, not by capturing the references: those would be const
  // members, copied again (not moved) each time the block is handed on.
  queueTimedOperation([origin = std::string(origin), name = std::string(name),
                       parameters = platform::Value::Dictionary(parameters),
                       screen = callerScreenParameters(parameters)](double timestamp) {
    logEventOnSerialQueue(origin, true, name, APMObject::mapFromDictionary(parameters), timestamp,
                          false, false, screen);
  });
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const APMObjectMap& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

namespace {

// The integer part of a decimal number's text (sign, digits, optional fraction), saturated at
// the 64-bit limits, as the platform's string reading of a long long gives it.
int64_t integerPartOfDecimalText(std::string_view text) {
  bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    auto digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) {
      magnitude = limit;
      break;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(magnitude);
  return magnitude == uint64_t{1} << 63 ? std::numeric_limits<int64_t>::min()
                                        : -static_cast<int64_t>(magnitude);
}

}  // namespace

void APMAnalytics::logInternalEventWithOriginNameParameters(const std::string& origin,
                                                            const std::string& name,
                                                            const APMObjectMap& parameters) {
  if (origin == "am") {
    auto adEventID = parameters.find("_aeid");
    if (adEventID != parameters.end()) {
      if (const std::string* text = adEventID->second.asText()) {
        if (APMIsDecimalNumberString(*text)) {
          APMObjectMap copy = parameters;
          copy.insert_or_assign("_aeid", APMObject(APMValue(integerPartOfDecimalText(*text))));
          logInternalEventWithOrigin(origin, name, copy);
          return;
        }
        monitor().logWithLevel(2, 25024, "AdEvent ID string is not a number");
      }
    }
  }
  logInternalEventWithOrigin(origin, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const APMObjectMap& parameters) {
  if (name == "screen_view") {
    APMFeatureServices::current().screenViewReporter->trackScreenWithParameters(parameters,
                                                                                apm_engine::now());
    return;
  }
  queueTimedOperation([origin = std::string(origin), isPublicEvent, name = std::string(name),
                       parameters = APMObjectMap(parameters),
                       screen = callerScreenParameters(parameters)](double timestamp) {
    logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, false, false, screen);
  });
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              double timestamp, const APMObjectMap& parameters) {
  queueOperationWithBlock([origin = std::string(origin), name = std::string(name),
                           parameters = APMObjectMap(parameters), timestamp,
                           screen = callerScreenParameters(parameters)] {
    logEventOnSerialQueue(origin, false, name, parameters, timestamp, false, false, screen);
  });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const APMObjectMap& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  queueOperationWithBlock([origin = std::string(origin), isPublicEvent, name = std::string(name),
                           parameters = APMObjectMap(parameters), timestamp, ignoreEnabled,
                           ignoreInterceptor] {
    logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                          ignoreInterceptor, {});
  });
}

void APMAnalytics::logEventOnSerialQueue(const std::string& origin, bool isPublicEvent,
                                         const std::string& name, const APMObjectMap& parameters,
                                         double timestamp, bool ignoreEnabled,
                                         bool ignoreInterceptor,
                                         const APMObjectMap& addedScreenParameters) {
  APMObjectMap eventParameters = parameters;
  APMObjectMap screen = addedScreenParameters;
  if (ignoreInterceptor && screen.empty() &&
      APMDataTypeValidator::isValidForwardedEventOrigin(APMObject(platform::Value(origin)))) {
    screen = APMScreenParameters(parameters);
    for (const auto& [key, value] : screen) eventParameters.erase(key);
  }
  if (!APMMeasurement::hasSharedInstance()) return;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return;
  bool enabled;
  APMMeasurement::Interceptor interceptor;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    enabled = state().enabled;
    interceptor = state().interceptor;
  }
  engine->logEvent(origin, isPublicEvent, name, eventParameters, timestamp, enabled, ignoreEnabled,
                   ignoreInterceptor, std::move(interceptor), screen);
}

void APMAnalytics::setDefaultEventParameters(
    std::optional<platform::Value::Dictionary> parameters) {
  queueOperationWithBlock([parameters = std::move(parameters)] {
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->setDefaultEventParameters(parameters);
    }
  });
}

// --- Listeners, interceptor, URLs ---

void APMAnalytics::setLogEventInterceptor(APMMeasurement::Interceptor interceptor) {
  auto store = [interceptor = std::move(interceptor)]() mutable {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().interceptor = std::move(interceptor);
  };
  if (isCurrentQueueSerialQueue())
    store();
  else
    queueOperationWithBlock(std::move(store));
}

std::string APMAnalytics::addLogEventListener(Listener listener) {
  if (!listener) {
    monitor().logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
    return "";
  }
  // A fresh token per add, never reused: a removed listener's token cannot remove another.
  std::string token;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    token = "APMLogEventListener-" + std::to_string(++state().nextListener);
    ++state().listenersAddedOrQueued;
  }
  auto store = [token, listener = std::move(listener)]() mutable {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!state().listeners) state().listeners.emplace();
    state().listeners->emplace(token, std::move(listener));
  };
  if (isCurrentQueueSerialQueue())
    store();
  else
    queueOperationWithBlock(std::move(store));
  return token;
}

void APMAnalytics::removeLogEventListener(const std::string& token) {
  if (token.empty()) {
    monitor().logWithLevel(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  queueOperationWithBlock([token] {
    bool made;
    bool removed = false;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      made = state().listeners.has_value();
      if (made) removed = state().listeners->erase(token) > 0;
      if (removed) --state().listenersAddedOrQueued;
    }
    if (!made) {
      monitor().logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
    } else if (!removed) {
      monitor().logWithLevel(2, 25015,
                             "Attempted removal of log event listener with invalid token.");
    }
  });
}

void APMAnalytics::notifyEventListeners(const APMEvent& event) {
  {
    // A listener added after this check is queued behind where this hand-off would have gone,
    // so it would not have seen the event either.
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().listenersAddedOrQueued == 0) return;
  }
  queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void APMAnalytics::notifyEventListenersOnSerialQueue(const APMEvent& event) {
  std::vector<Listener> listeners;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().listeners) {
      for (const auto& [token, listener] : *state().listeners) listeners.push_back(listener);
    }
  }
  for (const Listener& listener : listeners) listener(event);
}

void APMAnalytics::setOpenURLListener(OpenURLListener listener) {
  dispatchAsyncOnSerialQueue([listener = std::move(listener)]() mutable {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().openURLListener = std::move(listener);
  });
}

// --- URLs, user activities and background sessions ---

void APMAnalytics::handleOpenURL(const std::string& url) {
  double now = apm_engine::now();
  APMMeasurement::handleSOTMDebugModeWithURL(url);
  dispatchAsyncOnSerialQueue([url, now] {
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance()) {
      engine->handleNonFirstOpenEventURL(url, now);
    }
    OpenURLListener listener;
    {
      std::lock_guard<std::mutex> lock(state().mutex);
      listener = state().openURLListener;
    }
    if (listener) listener(url);
  });
}

void APMAnalytics::handleUserActivity(const OULAppDelegateInterceptor::UserActivity& userActivity) {
  double now = apm_engine::now();
  dispatchAsyncOnSerialQueue([userActivity, now] {
    std::optional<std::string> link = APMMeasurement::deepLinkFromUserActivity(userActivity);
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (engine && link && !link->empty()) engine->handleNonFirstOpenEventURL(*link, now);
  });
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  OULNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

std::optional<std::string> APMAnalytics::deepLinkFromUserActivity(
    const OULAppDelegateInterceptor::UserActivity& userActivity) {
  return APMMeasurement::deepLinkFromUserActivity(userActivity);
}

void APMAnalytics::createAppDelegateProxy() {
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().appDelegateProxyCreated) return;
    state().appDelegateProxyCreated = true;
  }
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  OULAppDelegateSwizzler::registerAppDelegateInterceptor(
      APMAppDelegateInterceptor::sharedInstance());
}

// --- Settings suite ---

std::shared_ptr<APMUserDefaults> APMAnalytics::settings() {
  static std::shared_ptr<APMUserDefaults>& suite =
      *new std::shared_ptr<APMUserDefaults>(std::make_shared<APMUserDefaults>(kSuiteName));
  return suite;
}

int64_t APMAnalytics::resetRetryCount() { return settings()->integerForKey("reset_retry_count"); }

void APMAnalytics::setResetRetryCount(int64_t count) {
  if (count <= 0)
    settings()->removeObjectForKey("reset_retry_count");
  else
    settings()->setInteger(count, "reset_retry_count");
}

bool APMAnalytics::needFirstOpenAfterReset() {
  return settings()->boolForKey("need_first_open_after_reset");
}

void APMAnalytics::setNeedFirstOpenAfterReset(bool need) {
  if (need)
    settings()->setObject(platform::Value(true), "need_first_open_after_reset");
  else
    settings()->removeObjectForKey("need_first_open_after_reset");
}

std::optional<platform::Value> APMAnalytics::deferredAnalyticsCollection() {
  return settings()->objectForKey("deferred_analytics_collection");
}

void APMAnalytics::setDeferredAnalyticsCollectionIfUnset(bool disabling) {
  if (deferredAnalyticsCollection()) return;
  settings()->setObject(platform::Value(int64_t{disabling ? 1 : 0}),
                        "deferred_analytics_collection");
}

void APMAnalytics::resetForTesting() {
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().reset();
  }
  setLoadTimestamp(0);
  APMMeasurement::resetSharedInstanceForTesting();
}
