// The deferred deep link: once per install, the ad service is asked which link brought the
// user; the answer goes to the application's delegate and becomes a campaign.
#include <algorithm>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/URL.h"
#include "platform/uikit/UIApplication.h"
#include "platform/utilities/OULHTTPURLResponse.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULNetworkConstants.h"

using apm_engine::monitor;

namespace {

bool hasLaunchArgument(const std::string& argument) {
  for (const std::string& given : platform::ProcessInfo::processInfo().arguments()) {
    if (given == argument) return true;
  }
  return false;
}

bool isAnsweredStatus(int64_t status) {
  return status == kOULNetworkHTTPStatusOK || status == kOULNetworkHTTPStatusCodeNotModified ||
         status == kOULNetworkHTTPStatusNoContent;
}

bool makesURL(const platform::Value& value) {
  const std::string* text = value.asString();
  return text && !text->empty() && platform::URL::URLWithString(*text).has_value();
}

}  // namespace

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  if (!config->isDeferredDeepLinkEnabled()) {
    monitor().logWithLevel(5, 23193, "Deferred Deep Link feature disabled");
    return false;
  }
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  std::optional<platform::Value> enabled =
      bundle ? bundle->objectForInfoDictionaryKey("ORVANE_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED")
             : std::nullopt;
  if (!enabled || !enabled->isNumber() || !enabled->numberAsBool().value_or(false)) return false;
  if (persistedConfig_->deferredDeepLinkRetrievalComplete()) {
    monitor().logWithLevel(7, 23194, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (persistedConfig_->deferredDeepLinkRetryCount() >= config->maxDeferredDeepLinkRetryCount()) {
    monitor().logWithLevel(3, 23195, "Failed to retrieve Deferred Deep Link. Reached retry limit");
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(platform::Value(int64_t{1}));
    return false;
  }
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    monitor().logWithLevel(3, 23252,
                           "IDFA unavailable to retrieve Deferred Deep Link due to denied ad "
                           "storage consent. Skipping");
    return false;
  }
  if (!identity_->hasLimitedAdTracking() || identity_->limitedAdTracking()) {
    monitor().logWithLevel(3, 23196, "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
  }
  monitor().logWithLevel(7, 23197, "Deferred Deep Link feature enabled");
  return true;
}

void APMMeasurement::requestDeferredDeepLink() {
  if (!network_) return;
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  auto encoded = [](const std::string& text) { return platform::URL::percentEncoded(text); };
  std::string url = APMRemoteConfig::baseURLWithHost(APMRemoteConfig::hosts().upload) +
                    "/pagead/conversion/app/deeplink?sdk_version=" +
                    std::to_string(APMIdentity::appMeasurementLibraryVersion()) +
                    "&rdid=" + encoded(identity_->resettableDeviceID().value_or("")) +
                    "&id_type=idfa&bundleid=" + encoded(appID_) +
                    "&retry=" + std::to_string(persistedConfig_->deferredDeepLinkRetryCount());
  if (hasLaunchArgument("-DebugDeferredDeepLink") && !APMAEU::isFAS()) url += "&ddl_test=1";
  std::string signals = APMConsentSettingsUtil::consentSignals();
  if (!signals.empty()) url += "&gcs=" + encoded(signals);
  bool isDMARegion = config->isDMARegion();
  url += std::string("&dma=") + (isDMARegion ? "1" : "0");
  if (APMConsentSettingsUtil::isAdUserDataDenied()) {
    url += "&dma_cps=-";
  } else if (std::set<std::string> services = config->corePlatformServices();
             isDMARegion && !services.empty()) {
    std::string joined;
    for (const std::string& service : services) joined += service;  // a set is sorted
    url += "&dma_cps=" + encoded(joined);
  }
  if (std::optional<int64_t> personalization = APMConsentSettingsUtil::adPersonalization()) {
    url += std::string("&npa=") + (*personalization == 1 ? "0" : "1");
  }
  if (!platform::URL::URLWithString(url)) {
    monitor().logWithLevel(3, 23198, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  uint64_t serial = beginNetworkRequest();
  network_->setTimeoutInterval(config->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  // A request that cannot start is answered with an error through the same completion.
  network_->getURL(
      url, OULNetwork::Headers{}, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak, serial](const std::optional<OULHTTPURLResponse>& response,
                     const std::optional<std::string>& data, const std::optional<OULError>& error) {
        if (std::shared_ptr<APMMeasurement> engine = weak.lock()) {
          engine->deferredDeepLinkCompletion(serial, response ? response->statusCode : 0, data,
                                             error);
        }
      });
}

void APMMeasurement::deferredDeepLinkCompletion(uint64_t requestSerial, int64_t status,
                                                const std::optional<std::string>& data,
                                                const std::optional<OULError>& error) {
  if (!endNetworkRequest(requestSerial)) return;
  if (!error && isAnsweredStatus(status)) {
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(platform::Value(int64_t{0}));
    std::optional<platform::Value::Dictionary> info =
        deepLinkInfoFromResponseData(data.value_or(""));
    if (info) {
      monitor().logWithLevel(7, 23200, "Successfully retrieved Deferred Deep Link");
      handleDeferredDeepLinkInfo(*info);
    } else {
      updateSchedule();
    }
    return;
  }
  monitor().logWithLevel(1, 23199,
                         "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, "
                         "error",
                         status, error ? APMLogContext(error->description) : APMLogContext());
  persistedConfig_->setDeferredDeepLinkRetryCount(persistedConfig_->deferredDeepLinkRetryCount() +
                                                  1);
  updateSchedule();
}

std::optional<platform::Value::Dictionary> APMMeasurement::deepLinkInfoFromResponseData(
    std::string_view data) {
  if (data.empty()) {
    monitor().logWithLevel(8, 23201, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  absl::StatusOr<platform::Value> parsed = platform::JSONSerialization::JSONObjectWithData(data);
  if (!parsed.ok()) {
    monitor().logWithLevel(1, 23202, "Failed to parse Deferred Deep Link from JSON. Error",
                           std::string(parsed.status().message()));
    return std::nullopt;
  }
  // JSON that is not an object (an array, a string, a number) holds no link.
  const platform::Value::Dictionary* object = parsed->asDictionary();
  if (!object) return std::nullopt;
  auto link = object->find("deeplink");
  if (link == object->end() || !makesURL(link->second)) return std::nullopt;
  return *object;
}

void APMMeasurement::handleDeferredDeepLinkInfo(const platform::Value::Dictionary& info) {
  auto link = info.find("deeplink");
  if (link == info.end() || !makesURL(link->second)) return;
  std::string url = *link->second.asString();
  platform::Value::Dictionary extraParameters{{"cis", platform::Value("ddp")}};
  for (const char* key : {"oclid", "obraid"}) {
    auto found = info.find(key);
    if (found == info.end()) continue;
    // A number the server sent is kept as its decimal text, as a link's query would carry it;
    // true and false are numbers too ("1" and "0").
    if (found->second.isString()) {
      extraParameters[key] = found->second;
    } else if (found->second.isInteger() || found->second.isBool()) {
      extraParameters[key] = platform::Value(std::to_string(*found->second.numberAsInteger()));
    } else if (found->second.isReal()) {
      extraParameters[key] =
          platform::Value(APMValue(*found->second.numberAsDouble()).description());
    }
  }
  std::optional<platform::Value::Dictionary> extraInfo;
  if (auto timestamp = info.find("timestamp"); timestamp != info.end()) {
    extraInfo = platform::Value::Dictionary{{"timestamp", timestamp->second}};
  }
  monitor().logWithLevel(8, 23203, "Sending Deferred Deep Link to app delegate");
  double now = apm_engine::now();
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  platform::DispatchQueue::main()->async([weak, url, extraInfo, extraParameters, now] {
    if (!sendDeepLinkURLToAppDelegateOnMainThread(url, extraInfo)) return;
    std::shared_ptr<APMMeasurement> engine = weak.lock();
    if (!engine) return;
    engine->schedule("APMMeasurement:424", [url, extraParameters, now](APMMeasurement& e) {
      e.handleOpenURLOnWorkerQueue(url, std::nullopt, now, extraParameters);
    });
  });
}

bool APMMeasurement::sendDeepLinkURLToAppDelegateOnMainThread(
    const std::string& url, const std::optional<platform::Value::Dictionary>& extraInfo) {
  std::shared_ptr<UIApplication> application = APMAEU::sharedApplication();
  std::shared_ptr<UIApplicationDelegate> delegate = application ? application->delegate() : nullptr;
  auto* opener = dynamic_cast<UIApplicationOpenURLDelegate*>(delegate.get());
  if (!opener) {
    monitor().logWithLevel(3, 23204, "App delegate not configured to handle Deferred Deep Link",
                           url);
    return false;
  }
  // What the delegate answers does not matter: the link reached the app.
  opener->applicationOpenURL(url, extraInfo.value_or(platform::Value::Dictionary{}));
  return true;
}
