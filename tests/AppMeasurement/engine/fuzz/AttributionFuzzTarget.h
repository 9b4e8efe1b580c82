#pragma once

// Untrusted input of the attribution flows, one target each: an opened link (query, extras),
// a deferred deep-link answer body, a SKAdNetwork answer (status, Content-Encoding, body).
// None may throw, abort or leave state that does not read back: a stored campaign record
// decodes, a deep-link answer holds a usable link, the pending-request flag is clear.

#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace attributionfuzz {

// Under libFuzzer only (LLVMFuzzerInitialize): the process ends at once when the fuzzer is
// done, without waiting for the monitor's queued sample saves (one synchronised file write per
// logged refusal). The replay program leaves it off, so its exit status stands.
inline bool& exitWithoutDrainingQueues() {
  static bool enabled = false;
  return enabled;
}

// One engine for the process, in a container of its own, on a system that has SKAdNetwork.
inline std::shared_ptr<APMMeasurement> engine() {
  static std::shared_ptr<APMMeasurement> instance = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-fuzz-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    if (!platform::AppContainer::setRoot(pattern).ok()) std::abort();
    OULAppEnvironmentUtil::Configuration configuration =
        OULAppEnvironmentUtil::defaultConfiguration();
    configuration.systemVersion = "17.0";
    OULAppEnvironmentUtil::setConfiguration(configuration);
    APMMeasurement::Collaborators collaborators;
    collaborators.persistedConfig = APMPersistedConfig::create("attribution-fuzz");
    std::shared_ptr<APMMeasurement> made =
        APMMeasurement::create(std::move(collaborators), "1:1234567890:ios:fuzz", true, false, {});
    made->scheduler()->dispatchSyncOnWorkerQueueBlockID("fuzz", [] {});
    if (!made->didInitializeComponents()) std::abort();
    // Registered after the monitor's own exit handler, so it runs first.
    if (exitWithoutDrainingQueues()) std::atexit([] { std::_Exit(0); });
    return made;
  }();
  return instance;
}

inline void onWorker(const std::function<void()>& block) {
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("fuzz", block);
}

// The link is the input's text; its first byte chooses a click time and number extras.
inline void fuzzCampaignURL(const uint8_t* data, size_t size) {
  if (size == 0) return;
  uint8_t mode = data[0];
  std::string url(reinterpret_cast<const char*>(data + 1), size - 1);
  std::optional<platform::Value::Dictionary> extras;
  if (mode & 1) {
    extras = platform::Value::Dictionary{{"_cc", platform::Value(int64_t{mode >> 4})},
                                         {"obraid", platform::Value(int64_t{mode} * 1000003)},
                                         {"utm_source", platform::Value("extra")}};
  }
  std::optional<int64_t> click;
  if (mode & 2) click = int64_t{mode} << 40;
  std::shared_ptr<APMMeasurement> measurement = engine();
  onWorker([&] {
    measurement->handleOpenURLOnWorkerQueue(url, click, (mode & 4) ? 1e300 : 1.7e9, extras);
    std::optional<platform::Value> buffer = measurement->persistedConfig()->adCampaignInfoBuffer();
    if (buffer && buffer->asBytes() &&
        !APMPBAdCampaignInfo::initWithBuffer(std::string_view(buffer->asBytes()->data))) {
      std::abort();
    }
  });
}

inline void fuzzDeepLinkResponse(const uint8_t* data, size_t size) {
  engine();  // the process set up as for the other targets (logs silenced)
  std::optional<platform::Value::Dictionary> info = APMMeasurement::deepLinkInfoFromResponseData(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!info) return;
  auto link = info->find("deeplink");
  if (link == info->end() || !link->second.isString() ||
      !platform::URL::URLWithString(*link->second.asString())) {
    std::abort();
  }
}

// The first byte: the status (200, 304, 500, 204), whether the answer says gzip and in which
// case; the rest is the body as received.
inline void fuzzSKANResponse(const uint8_t* data, size_t size) {
  if (size == 0) return;
  static const int64_t kStatuses[] = {200, 200, 304, 500, 204, 200, 200, 200};
  uint8_t mode = data[0];
  int64_t status = kStatuses[mode & 7];
  std::optional<std::string> encoding;
  if (mode & 8) encoding = (mode & 16) ? "GZIP" : "gzip";
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  std::shared_ptr<APMMeasurement> measurement = engine();
  onWorker([&] {
    measurement->stopProcessingSKANResponseAndResetRetryCount();
    measurement->persistedConfig()->setLastUploadedEventTimestampMillis(0);
    measurement->handleSKANFetchResponse(status, encoding, body, std::nullopt);
    if (measurement->SKANRetryCount() < 0 || measurement->isNetworkRequestPending()) std::abort();
  });
}

}  // namespace attributionfuzz
