// Links that open the app (URLs, universal links, the launch link) become campaign events and
// the stored campaign record; the tag-manager debug switch rides on the same links.
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMDeepLinkCache.h"
#include "AppMeasurement/foundation/APMDictionaryAdditions.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

using apm_engine::monitor;

namespace {

using Parameters = std::map<std::string, std::string, std::less<>>;

// URL query key -> event parameter name.
const std::map<std::string, std::string, std::less<>>& campaignParameterMap() {
  static const auto* map = new std::map<std::string, std::string, std::less<>>{
      {"aclid", "aclid"},
      {"anid", "anid"},
      {"utm_campaign", "campaign"},
      {"cis", "_cis"},
      {"utm_content", "content"},
      {"cp1", "cp1"},
      {"vclid", "vclid"},
      {"oad_source", "oad_source"},
      {"oclid", "oclid"},
      {"obraid", "obraid"},
      {"utm_medium", "medium"},
      {"utm_source", "source"},
      {"srsltid", "srsltid"},
      {"utm_term", "term"},
      {"utm_id", "campaign_id"},
      {"utm_creative_format", "creative_format"},
      {"utm_marketing_tactic", "marketing_tactic"},
      {"utm_source_platform", "source_platform"},
      {"sfmc_id", "sfmc_id"},
  };
  return *map;
}

constexpr const char* kRequiredKeys[] = {"utm_campaign", "oclid",   "utm_medium",
                                         "utm_source",   "obraid",  "utm_id",
                                         "vclid",        "srsltid", "sfmc_id"};

// The preview headers: one value replaced whole, so a reader sees the old or the new one.
struct PreviewHeaders {
  std::mutex mutex;
  std::shared_ptr<const platform::Value::Dictionary> headers;  // guarded by mutex
};

PreviewHeaders& previewHeaders() {
  static auto* instance = new PreviewHeaders;
  return *instance;
}

Parameters queryParameters(const std::string& url) {
  std::optional<platform::URL> parsed = platform::URL::URLWithString(url);
  if (!parsed) return {};
  return apm_dictionaryWithHttpArgumentsString(parsed->query());
}

// An event parameter's text: a string as it is, a number as its decimal form.
std::optional<std::string> textOf(const APMValue& value) {
  if (const std::string* text = value.stringValue()) return *text;
  if (value.isInt64() || value.isDouble()) return value.description();
  return std::nullopt;
}

bool isNumberOne(const APMValue& value) {
  return (value.isInt64() && value.int64Value() == 1) ||
         (value.isDouble() && value.doubleValue() == 1.0);
}

}  // namespace

// --- Class operations ---

std::optional<std::string> APMMeasurement::deepLinkFromUserActivity(
    const std::optional<OULAppDelegateInterceptor::UserActivity>& userActivity) {
  if (!userActivity) {
    monitor().logWithLevel(7, 23003, "User Activity is empty. User Activity", APMLogContext());
    return std::nullopt;
  }
  if (!OULAppEnvironmentUtil::isSystemVersionAtLeast(9, 0)) {
    monitor().logWithLevel(3, 23004, "Deep Link is only supported on iOS 9 and above");
    return std::nullopt;
  }
  // The platform's activity type always has a web-page URL and an activity type, so the
  // lookup by class name the phone needs has nothing to refuse here.
  if (userActivity->activityType == "NSUserActivityTypeBrowsingWeb" &&
      !userActivity->webpageURL.empty()) {
    return userActivity->webpageURL;
  }
  monitor().logWithLevel(3, 23006, "User Activity does not have Deep Link. User Activity",
                         userActivity->activityType + " " + userActivity->webpageURL);
  return std::nullopt;
}

void APMMeasurement::handleStoredURLAfterAppLaunchWithUserInfo(const platform::Value& userInfo) {
  const platform::Value::Dictionary* info = userInfo.asDictionary();
  if (!info) return;
  std::shared_ptr<APMUserDefaults> defaults = APMUserDefaults::sharedUserDefaults();
  bool cached = false;
  auto activities = info->find("UIApplicationLaunchOptionsUserActivityDictionaryKey");
  if (activities != info->end() && activities->second.asDictionary() &&
      !activities->second.asDictionary()->empty()) {
    const platform::Value::Dictionary& map = *activities->second.asDictionary();
    auto activity = map.find("UIApplicationLaunchOptionsUserActivityKey");
    // A map without an activity is a nil activity: the link lookup logs it (23003).
    std::optional<OULAppDelegateInterceptor::UserActivity> parsed;
    if (activity != map.end() && activity->second.asDictionary()) {
      const platform::Value::Dictionary& fields = *activity->second.asDictionary();
      parsed.emplace();
      auto type = fields.find("activityType");
      auto page = fields.find("webpageURL");
      if (type != fields.end() && type->second.isString())
        parsed->activityType = *type->second.asString();
      if (page != fields.end() && page->second.isString())
        parsed->webpageURL = *page->second.asString();
    }
    std::optional<std::string> link = deepLinkFromUserActivity(parsed);
    if (link && !link->empty() && defaults) {
      APMCacheDeepLink(*defaults, *link);
      cached = true;
    }
  }
  auto url = info->find("UIApplicationLaunchOptionsURLKey");
  if (url != info->end() && url->second.isString() && !url->second.asString()->empty()) {
    if (!cached && defaults) APMCacheDeepLink(*defaults, *url->second.asString());
    handleSOTMDebugModeWithURL(*url->second.asString());
  }
}

void APMMeasurement::handleSOTMDebugModeWithURL(const std::string& url) {
  Parameters query = queryParameters(url);
  if (query.empty()) return;
  auto enable = query.find("sotm_debug_enable");
  if (enable == query.end()) return;
  if (enable->second == "1") {
    monitor().setSOTMDebugModeEnabled(true);
    auto key = query.find("sotm_preview_key");
    if (key != query.end() && !key->second.empty()) {
      setSOTMPreviewHeaders(
          platform::Value::Dictionary{{"X-Otm-Server-Preview", platform::Value(key->second)}});
    } else {
      setSOTMPreviewHeaders(std::nullopt);
    }
  } else if (enable->second == "0") {
    monitor().setSOTMDebugModeEnabled(false);
    setSOTMPreviewHeaders(std::nullopt);
  }
}

std::optional<platform::Value::Dictionary> APMMeasurement::SOTMPreviewHeaders() {
  std::shared_ptr<const platform::Value::Dictionary> headers;
  {
    std::lock_guard<std::mutex> lock(previewHeaders().mutex);
    headers = previewHeaders().headers;
  }
  if (!headers) return std::nullopt;
  return *headers;
}

void APMMeasurement::setSOTMPreviewHeaders(std::optional<platform::Value::Dictionary> headers) {
  auto replacement =
      headers ? std::make_shared<const platform::Value::Dictionary>(std::move(*headers)) : nullptr;
  std::lock_guard<std::mutex> lock(previewHeaders().mutex);
  previewHeaders().headers = std::move(replacement);
}

bool APMMeasurement::isValidCampaignURLParamDictionary(const Parameters& parameters) {
  for (const char* key : kRequiredKeys) {
    auto found = parameters.find(key);
    if (found != parameters.end() && !found->second.empty()) return true;
  }
  for (const auto& [key, value] : parameters) {
    if (key.starts_with("oad_")) return true;
  }
  return false;
}

// --- Entry from the public-call queue ---

void APMMeasurement::handleNonFirstOpenEventURL(const std::string& url,
                                                double eventTimestampInSeconds) {
  std::shared_ptr<platform::DispatchQueue> current = platform::DispatchQueue::current();
  if (current && current->label() == scheduler_->workerQueue()->label()) {
    monitor().logWithLevel(2, 23163,
                           "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, std::nullopt, eventTimestampInSeconds);
}

void APMMeasurement::handleOpenURL(const std::string& url,
                                   std::optional<int64_t> clickTimestampInMs,
                                   double eventTimestampInSeconds) {
  if (url.empty()) return;
  schedule("APMMeasurement:502",
           [url, clickTimestampInMs, eventTimestampInSeconds](APMMeasurement& engine) {
             engine.handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds,
                                               std::nullopt);
           });
}

// --- The campaign algorithm ---

bool APMMeasurement::shouldAllowClickID() {
  if (!APMIdentity::iOS14OrAbove()) return true;
  std::optional<std::string> advertisingID = identity_->resettableDeviceID();
  if (advertisingID && !advertisingID->empty()) return true;
  return identity_->appleConsentStatus() == 3;
}

void APMMeasurement::handleOpenURLOnWorkerQueue(
    const std::string& url, std::optional<int64_t> clickTimestampInMs,
    double eventTimestampInSeconds,
    const std::optional<platform::Value::Dictionary>& extraParameters) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:");
  // 1-2. Extras by type; the query wins over a string extra of the same name.
  Parameters parameters;
  APMValueMap numberExtras;
  if (extraParameters) {
    for (const auto& [key, value] : *extraParameters) {
      if (const std::string* text = value.asString()) {
        parameters[key] = *text;
      } else if (value.isInteger() || value.isBool()) {
        numberExtras.insert_or_assign(key, APMValue(value.numberAsInteger().value_or(0)));
      } else if (value.isReal()) {
        numberExtras.insert_or_assign(key, APMValue(*value.numberAsDouble()));
      }
    }
  }
  for (const auto& [key, value] : queryParameters(url)) parameters.insert_or_assign(key, value);
  // 3-4.
  if (parameters.empty()) {
    monitor().logWithLevel(7, 23000, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(parameters)) {
    platform::Value::Dictionary context;
    for (const auto& [key, value] : parameters) context[key] = platform::Value(value);
    monitor().logWithLevel(3, 23001, "Deep Link does not contain valid required params. URL params",
                           platform::Value(std::move(context)));
    return;
  }
  // 5-7. Event parameters.
  APMValueMap eventParameters;
  for (const auto& [key, value] : parameters) {
    if (value.empty()) continue;
    auto mapped = campaignParameterMap().find(key);
    if (mapped != campaignParameterMap().end()) {
      eventParameters.insert_or_assign(mapped->second, APMValue(value));
    } else if (key.starts_with("oad_")) {
      eventParameters.insert_or_assign(key, APMValue(value));
    }
  }
  if (!shouldAllowClickID()) {
    for (const char* name : {"oclid", "vclid", "srsltid"}) eventParameters.erase(name);
  }
  for (const auto& [key, value] : numberExtras) eventParameters.insert_or_assign(key, value);
  if (clickTimestampInMs) {
    eventParameters.insert_or_assign("click_timestamp", APMValue(*clickTimestampInMs));
  }
  // 8-9.
  double eventTime =
      std::max(static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000.0,
               eventTimestampInSeconds);
  auto cc = eventParameters.find("_cc");
  std::string name = cc != eventParameters.end() && isNumberOne(cc->second) ? "_cmpx" : "_cmp";
  // The event is made first: making it sanitises the parameters (a value past the internal
  // length limit, a name no parameter may have and public parameters past the count limit are
  // left out, with the error parameters). The campaign record and "_obraid" read what the event
  // keeps, so a link's query is bounded for them as for the event, whatever its size.
  std::optional<APMEvent> event =
      APMEvent::create("auto", false, name, eventTime, 0, eventParameters);
  if (!event) return;
  const APMValueMap& kept = event->parameters();
  // 10-11. The campaign record, replaced only by a link that identifies a click.
  std::vector<APMPBDeepLinkOadParamsEntry> entries;
  for (const auto& [key, value] : kept) {
    if (!key.starts_with("oad_")) continue;
    std::optional<std::string> text = textOf(value);
    if (!text) continue;
    APMPBDeepLinkOadParamsEntry entry;
    NANOSetString(entry, APMPBDeepLinkOadParamsEntry::kKey, key);
    NANOSetString(entry, APMPBDeepLinkOadParamsEntry::kValue, *text);
    entries.push_back(entry);
  }
  auto textParameter = [&](const char* key) -> std::optional<std::string> {
    auto found = kept.find(key);
    return found == kept.end() ? std::nullopt : textOf(found->second);
  };
  std::optional<std::string> oclid = textParameter("oclid");
  std::optional<std::string> obraid = textParameter("obraid");
  if (oclid || obraid || !entries.empty()) {
    APMPBAdCampaignInfo info;
    NANOSetInt64(info, APMPBAdCampaignInfo::kDeepLinkTimestampMillis,
                 apm_engine::saturatedMillis(eventTime));
    if (oclid) NANOSetString(info, APMPBAdCampaignInfo::kDeepLinkOclid, *oclid);
    if (obraid) NANOSetString(info, APMPBAdCampaignInfo::kDeepLinkObraid, *obraid);
    if (std::optional<std::string> source = textParameter("oad_source")) {
      NANOSetString(info, APMPBAdCampaignInfo::kDeepLinkOadSource, *source);
    }
    if (!entries.empty())
      NANOSetMessageArray(info, APMPBAdCampaignInfo::kDeepLinkOadParams, entries);
    if (std::optional<std::string> bytes = info.protoBuffer()) {
      persistedConfig_->setAdCampaignInfoBuffer(platform::Value::bytes(std::move(*bytes)));
    }
  }
  // 12.
  if (obraid && !obraid->empty()) {
    if (std::optional<APMUserAttribute> attribute =
            APMUserAttribute::create("auto", "_obraid", APMValue(*obraid), eventTime)) {
      setUserPropertyInDatabaseOnWorkerQueue(*attribute);
    }
  }
  // 13. The internal-event path tells the listeners; telling them here as well would make
  // every listener hear one campaign twice.
  handleInternalEventOnWorkerQueue(std::move(*event));
}
