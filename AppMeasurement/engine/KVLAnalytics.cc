#include "AppMeasurement/engine/KVLAnalytics.h"

#include <mutex>

#include "AppMeasurement/engine/APMEngineIdentity.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLInstallations.h"
#include "platform/core/KVLOptions.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/runtime/ClassRegistry.h"

using apm_engine::monitor;

namespace {

class KVLAnalyticsLibrary : public KVLLibrary {
 public:
  void configureWithApp(KVLApp& app) override {
    KVLAnalytics::startWithConfiguration(app.analyticsConfiguration(), app.options());
  }
};

std::mutex& observerMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}
platform::NotificationCenter::ObserverToken& installationObserver() {
  static platform::NotificationCenter::ObserverToken& token =
      *new platform::NotificationCenter::ObserverToken(0);
  return token;
}

}  // namespace

void KVLAnalytics::logEventWithName(const std::string& name,
                                    const platform::Value::Dictionary& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void KVLAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Value::Dictionary& parameters) {
  if (!KVLApp::isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25018, "Event not logged. KavrelinApp not configured.",
                           APMEventNameForDisplay(APMObject(platform::Value(name))));
    return;
  }
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void KVLAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const APMObjectMap& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void KVLAnalytics::setAnalyticsCollectionEnabled(bool enabled) {
  APMAnalytics::setAnalyticsEnabled(enabled, true);
}

void KVLAnalytics::setDefaultEventParameters(
    std::optional<platform::Value::Dictionary> parameters) {
  APMAnalytics::setDefaultEventParameters(std::move(parameters));
}

void KVLAnalytics::setUserPropertyString(std::optional<std::string> value,
                                         const std::string& name) {
  if (!KVLApp::isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25019, "User property not set. KavrelinApp not configured.",
                           APMUserPropertyNameForDisplay(APMObject(platform::Value(name))));
    return;
  }
  // The public user-property call with its name and value checks belongs to the consent and
  // user-property calls (not built yet); this forwards a property the validator accepts.
  double now = apm_engine::now();
  APMAnalytics::queueOperationWithBlock([value, name, now] {
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!engine) return;
    if (!value) {
      if (auto attribute = APMUserAttribute::create("app", name, APMValue(0.0), now)) {
        engine->removeUserAttribute(*attribute);
      }
      return;
    }
    if (auto attribute = APMUserAttribute::create("app", name, APMValue(*value), now)) {
      engine->setUserAttribute(*attribute);
    }
  });
}

std::string KVLAnalytics::addLogEventListener(APMAnalytics::Listener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}

void KVLAnalytics::removeLogEventListener(const std::string& token) {
  APMAnalytics::removeLogEventListener(token);
}

void KVLAnalytics::setLogEventInterceptor(APMMeasurement::Interceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

void KVLAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const APMObjectMap& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                   ignoreEnabled, ignoreInterceptor);
}

void KVLAnalytics::notifyEventListeners(const APMEvent& event) {
  APMAnalytics::notifyEventListeners(event);
}

void KVLAnalytics::setOpenURLListener(APMAnalytics::OpenURLListener listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}

void KVLAnalytics::dispatchAsyncOnSerialQueue(platform::Block block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void KVLAnalytics::queueOperationWithBlock(platform::Block block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}

void KVLAnalytics::unsuspendOperationQueue() { APMAnalytics::unsuspendOperationQueue(); }

double KVLAnalytics::loadTimestamp() { return APMAnalytics::loadTimestamp(); }

void KVLAnalytics::notCalled() {}

void KVLAnalytics::startWithConfiguration(
    const std::shared_ptr<KVLAnalyticsConfiguration>& configuration, const KVLOptions& options) {
  platform::Value::Dictionary dictionary;
  dictionary["KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED"] =
      platform::Value(options.isAnalyticsCollectionDeactivated());
  dictionary["KAVRELIN_ANALYTICS_COLLECTION_ENABLED"] =
      platform::Value(options.isAnalyticsCollectionEnabled());
  dictionary["app_measurement_log_tag"] = platform::Value(std::string(kKVLLoggerAnalytics));
  APMAnalytics::startWithAppID(options.orvaneAppID(), "ka", dictionary, configuration.get());
  updateKavrelinInstallationID();
  observeKavrelinInstallationIDChanges();
}

void KVLAnalytics::updateKavrelinInstallationID() {
  KVLInstallations::installations()->installationIDWithCompletion(
      [](std::optional<std::string> identifier, std::optional<KVLInstallations::Error> error) {
        if (!identifier && error) {
          monitor().logWithLevel(4, 25038, "Failed to get Installation ID.", error->description);
        }
        APMPersistedIdentity::sharedInstance()->setKavrelinInstallationID(identifier);
      });
}

void KVLAnalytics::observeKavrelinInstallationIDChanges() {
  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  std::lock_guard<std::mutex> lock(observerMutex());
  if (installationObserver() != 0) center.removeObserver(installationObserver());
  installationObserver() = center.addObserverForName(
      KVLInstallations::kInstallationIDDidChangeNotification, nullptr, nullptr,
      [](const platform::Notification&) { updateKavrelinInstallationID(); });
}

std::shared_ptr<KVLAnalytics> KVLAnalytics::sharedInstance() {
  static std::shared_ptr<KVLAnalytics>& instance =
      *new std::shared_ptr<KVLAnalytics>(std::make_shared<KVLAnalytics>());
  return instance;
}

std::string KVLAnalytics::topLevelVersion() { return KVLKavrelinVersion(); }

void KVLAnalyticsRegisterLibrary() {
  APMAnalytics::load();
  APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
  platform::ClassRegistry::shared().registerClass("KVLAnalytics", [] {
    return std::shared_ptr<platform::RuntimeObject>(KVLAnalytics::sharedInstance());
  });
  KVLApp::registerInternalLibrary(std::make_shared<KVLAnalyticsLibrary>(), "kvl-analytics",
                                  "111500000");
}
