#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/URLSession.h"
#include "platform/runtime/RuntimeObject.h"

class APMAlarm;
class APMPersistedConfig;
namespace platform {
class DispatchQueue;
}

// Finds out, once per installation, whether the app was installed from a search-ads campaign:
// asks AdServices ("AAAttribution", looked up by name) for an attribution token, posts it to
// the attribution service ("/api/v1/" of attributionServiceHost()) and, when the answer
// attributes the install, logs "_cmp" (origin "auto"). At most kMaxRetries lookups, about a
// day apart (the alarm "Search Ad campaign report alarm", by wall time); any stored answer
// ends the work for good.
//
// Threads: everything runs on the engine's worker queue; the request's completion arrives on
// the URL session's queue and hands the answer back to the worker queue. Storing the campaign
// value is serialised by the reporter's lock so "_cmp" is logged at most once.
class APMSearchAdReporter : public std::enable_shared_from_this<APMSearchAdReporter> {
 public:
  static constexpr int64_t kMaxRetries = 10;
  static constexpr double kRetryInterval = 86400;
  static constexpr double kRequestTimeout = 10;

  // initWithWorkerQueue:persistedConfig:. nullptr without a queue (32000) or a persisted
  // configuration (32001), after kMaxRetries lookups, and once a campaign value is stored
  // (32002).
  static std::shared_ptr<APMSearchAdReporter> create(
      std::shared_ptr<platform::DispatchQueue> workerQueue,
      std::shared_ptr<APMPersistedConfig> persistedConfig);
  APMSearchAdReporter(const APMSearchAdReporter&) = delete;
  APMSearchAdReporter& operator=(const APMSearchAdReporter&) = delete;

  // The attribution service: "host" or "host:port" (plain http only to this machine), the
  // local measurement service by default. Any thread.
  static void setAttributionServiceHost(std::string host);
  static std::string attributionServiceHost();
  static std::string attributionServiceURL();

  // Worker queue.
  void start();
  void scheduleSearchAdReport();
  void cancelScheduling();
  void maybeLogIAdCampaignEvent();
  void fetchAttributionDetails();
  void requestAttributionPayloadWithToken(const std::string& token);
  void logCampaignEventWithSearchAdCampaign(bool attributed, const std::string& campaign,
                                            const std::string& term);
  // The AdServices attribution class, or nullptr (absent, or a system before 14.3).
  static std::shared_ptr<platform::RuntimeObject> adClientInstance();

  void setSearchAdReporterEnabled(bool enabled) { enabled_.store(enabled); }
  bool isSearchAdReporterEnabled() const { return enabled_.load(); }
  // Whether the alarm exists and is armed (worker queue). For tests.
  bool isScheduled() const;
  // How many answers (or failures) of the service have been handled. Any thread; for tests,
  // which wait on the real network.
  int64_t handledAnswerCount() const { return handledAnswers_.load(); }

 private:
  APMSearchAdReporter(std::shared_ptr<platform::DispatchQueue> workerQueue,
                      std::shared_ptr<APMPersistedConfig> persistedConfig);
  // Worker queue: what the service answered.
  void handleAttributionAnswer(const std::optional<std::string>& data,
                               const std::optional<platform::HTTPURLResponse>& response,
                               const std::optional<platform::URLError>& error);

  const std::shared_ptr<platform::DispatchQueue> queue_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMAlarm> alarm_;  // worker queue; null once scheduling was cancelled
  std::atomic<bool> enabled_{false};
  std::atomic<int64_t> handledAnswers_{0};
  std::mutex campaignMutex_;  // serialises reading and storing the campaign value
};
