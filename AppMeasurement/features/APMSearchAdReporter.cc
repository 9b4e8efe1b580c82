#include "AppMeasurement/features/APMSearchAdReporter.h"

#include <cmath>
#include <cstdio>

#include "AppMeasurement/features/APMReporterFacade.h"
#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "platform/adservices/AAAttribution.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/URL.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

double now() { return platform::Clock::current()->now(); }

std::mutex& hostMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::string& hostSlot() {
  static auto* host = new std::string("127.0.0.1:8970");
  return *host;
}

// An id of the answer as its string value: text as it is, a JSON integer as its digits, true
// and false (numbers on the platform) as "1" and "0"; anything else counts as absent.
std::string idText(const platform::Value* value) {
  if (value == nullptr) return "";
  if (const std::string* text = value->asString()) return *text;
  if (value->isInteger() || value->isBool()) return std::to_string(*value->numberAsInteger());
  if (std::optional<double> number = value->numberAsDouble()) {
    if (std::isfinite(*number) && std::trunc(*number) == *number && std::fabs(*number) < 9.0e15) {
      return std::to_string(static_cast<int64_t>(*number));
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", *number);
    return text;
  }
  return "";
}

}  // namespace

void APMSearchAdReporter::setAttributionServiceHost(std::string host) {
  std::lock_guard<std::mutex> lock(hostMutex());
  hostSlot() = std::move(host);
}

std::string APMSearchAdReporter::attributionServiceHost() {
  std::lock_guard<std::mutex> lock(hostMutex());
  return hostSlot();
}

std::string APMSearchAdReporter::attributionServiceURL() {
  std::string host = attributionServiceHost();
  return platform::URL::schemePrefixForHost(host) + host + "/api/v1/";
}

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::create(
    std::shared_ptr<platform::DispatchQueue> workerQueue,
    std::shared_ptr<APMPersistedConfig> persistedConfig) {
  if (!workerQueue) {
    monitor().logWithLevel(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    monitor().logWithLevel(2, 32001,
                           "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > kMaxRetries - 1) return nullptr;
  if (persistedConfig->searchAdCampaignValue()) {
    monitor().logWithLevel(7, 32002,
                           "Search Ad campaign attribution was already reported. Do not start "
                           "Search Ad Reporter.");
    return nullptr;
  }
  return std::shared_ptr<APMSearchAdReporter>(
      new APMSearchAdReporter(std::move(workerQueue), std::move(persistedConfig)));
}

APMSearchAdReporter::APMSearchAdReporter(std::shared_ptr<platform::DispatchQueue> workerQueue,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig)
    : queue_(std::move(workerQueue)),
      persistedConfig_(std::move(persistedConfig)),
      alarm_(APMAlarm::create(queue_, "Search Ad campaign report alarm")) {}

std::shared_ptr<platform::RuntimeObject> APMSearchAdReporter::adClientInstance() {
  // AdServices' first release.
  if (!OULAppEnvironmentUtil::isSystemVersionAtLeast(14, 3)) return nullptr;
  return platform::ClassRegistry::shared().create(platform::AAAttribution::kClassName);
}

bool APMSearchAdReporter::isScheduled() const { return alarm_ && alarm_->hasActiveTimer(); }

void APMSearchAdReporter::start() {
  if (!adClientInstance()) {
    monitor().logWithLevel(7, 32014,
                           "AdServices framework is not linked. Search Ad Attribution Reporter is "
                           "disabled.");
    return;
  }
  if (APMAEU::isNOD()) {
    monitor().logWithLevel(7, 32019, "Search Ad Attribution Reporter is disabled on the simulator");
    return;
  }
  scheduleSearchAdReport();
}

void APMSearchAdReporter::scheduleSearchAdReport() {
  if (!alarm_) {
    monitor().logWithLevel(5, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!enabled_.load()) {
    alarm_->cancel();
    return;
  }
  if (persistedConfig_->searchAdCampaignValue()) {
    monitor().logWithLevel(7, 32004,
                           "Search Ad report not scheduled. Search Ad campaign attribution was "
                           "already reported.");
    cancelScheduling();
    return;
  }
  if (alarm_->hasActiveTimer()) {
    monitor().logWithLevel(5, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() >= kMaxRetries) {
    monitor().logWithLevel(5, 32007,
                           "Search Ad Campaign attribution exceeds the max number of retries. Do "
                           "not schedule again.");
    cancelScheduling();
    return;
  }
  monitor().logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
  double delay =
      kRetryInterval - std::fabs(now() - persistedConfig_->lastSearchAdLookUpTimestamp());
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    if (std::shared_ptr<APMSearchAdReporter> self = weak.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void APMSearchAdReporter::cancelScheduling() {
  if (alarm_) alarm_->cancel();
  alarm_.reset();
}

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  persistedConfig_->setLastSearchAdLookUpTimestamp(now());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
  // Counted before anything can fail, so a crash mid-lookup still uses up a try.
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  auto client =
      std::dynamic_pointer_cast<platform::AAAttributionTokenProviding>(adClientInstance());
  if (!client) return;
  absl::StatusOr<std::string> token = client->attributionTokenWithError();
  if (!token.ok()) {
    monitor().logWithLevel(1, 32018,
                           "Cannot send request for Search Ad campaign attribution. Error",
                           std::string(token.status().message()));
    return;
  }
  // An empty token without an error sends nothing; the try is spent all the same.
  if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void APMSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
  if (token.empty()) return;
  platform::URLRequest request;
  request.url = attributionServiceURL();
  request.httpMethod = "POST";
  request.headers = {{"cache-control", "no-cache"}, {"Content-Type", "text/plain"}};
  request.body = token;
  request.timeoutInterval = kRequestTimeout;
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  std::shared_ptr<platform::DispatchQueue> queue = queue_;
  platform::URLSession::sharedSession()
      ->dataTaskWithRequest(
          std::move(request),
          [weak, queue](std::optional<std::string> data,
                        std::optional<platform::HTTPURLResponse> response,
                        std::optional<platform::URLError> error) {
            // The alarm and the stored values belong to the worker queue.
            queue->async([weak, data = std::move(data), response = std::move(response),
                          error = std::move(error)] {
              if (std::shared_ptr<APMSearchAdReporter> self = weak.lock()) {
                self->handleAttributionAnswer(data, response, error);
                self->handledAnswers_.fetch_add(1);
              }
            });
          })
      ->resume();
}

void APMSearchAdReporter::handleAttributionAnswer(
    const std::optional<std::string>& data,
    const std::optional<platform::HTTPURLResponse>& response,
    const std::optional<platform::URLError>& error) {
  constexpr const char* kSendFailure =
      "Cannot send request for Search Ad campaign attribution. Error";
  constexpr const char* kParseFailure = "Search Ad Reporter failed to parse JSON data. Error";
  if (error || !response) {
    monitor().logWithLevel(1, 32015, kSendFailure, error ? error->description : "no answer");
    scheduleSearchAdReport();
    return;
  }
  if (response->statusCode < 200 || response->statusCode > 299) {
    // Not an answer: the service failed, so this try failed too.
    monitor().logWithLevel(1, 32015, kSendFailure,
                           "HTTP status " + std::to_string(response->statusCode));
    scheduleSearchAdReport();
    return;
  }
  absl::StatusOr<platform::Value> parsed =
      platform::JSONSerialization::JSONObjectWithData(data.value_or(""));
  if (!parsed.ok() || !parsed->isDictionary()) {
    monitor().logWithLevel(
        1, 32017, kParseFailure,
        parsed.ok() ? "not a JSON object" : std::string(parsed.status().message()));
    scheduleSearchAdReport();
    return;
  }
  const platform::Value::Dictionary& answer = *parsed->asDictionary();
  if (answer.empty()) {
    scheduleSearchAdReport();
    return;
  }
  auto field = [&](const char* key) -> const platform::Value* {
    auto found = answer.find(key);
    return found == answer.end() ? nullptr : &found->second;
  };
  std::string campaign = idText(field("campaignId"));
  if (idText(field("adId")) == "1234567890" && campaign == "1234567890") {
    monitor().logWithLevel(7, 32016,
                           "Search Ad Reporter returned test data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  bool attributed = false;
  if (const platform::Value* flag = field("attribution"); flag && !flag->isNull()) {
    std::optional<bool> truth = flag->numberAsBool();
    if (!truth) {
      // A flag of another type is a malformed answer, never a stored "not attributed".
      monitor().logWithLevel(1, 32017, kParseFailure, "\"attribution\" is not a boolean");
      scheduleSearchAdReport();
      return;
    }
    attributed = *truth;
  }
  logCampaignEventWithSearchAdCampaign(attributed, campaign, idText(field("keywordId")));
  cancelScheduling();
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attributed,
                                                               const std::string& campaign,
                                                               const std::string& term) {
  bool storedBefore = false;
  {
    std::lock_guard<std::mutex> lock(campaignMutex_);
    storedBefore = persistedConfig_->searchAdCampaignValue().has_value();
    if (storedBefore) {
      monitor().logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
    } else {
      persistedConfig_->setSearchAdCampaignValue(platform::Value(attributed));
    }
  }
  if (storedBefore || !attributed) return;
  APMObjectMap parameters{{"source", APMObject(APMValue("Apple"))},
                          {"medium", APMObject(APMValue("search"))}};
  if (!campaign.empty()) parameters.emplace("campaign", APMObject(APMValue(campaign)));
  if (!term.empty()) parameters.emplace("term", APMObject(APMValue(term)));
  int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen >= 2) {
    parameters.emplace("click_timestamp", APMObject(APMValue(firstOpen - 1)));
  } else {
    monitor().logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
  }
  APMReporterFacade::current()->logInternalEvent("auto", "_cmp", parameters);
}
