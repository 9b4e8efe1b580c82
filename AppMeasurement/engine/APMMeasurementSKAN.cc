// SKAdNetwork conversion values: the measurement service says which postback value the app
// reports; the answer goes to StoreKit and is recorded as the event "_skan".
#include <algorithm>
#include <cmath>
#include <limits>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/engine/APMPSMContext.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "platform/storekit/SKAdNetwork.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "platform/utilities/OULGzip.h"
#include "platform/utilities/OULHTTPURLResponse.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULNetworkConstants.h"

using apm_engine::monitor;

namespace {

using Response = APMPBSkAdNetworkConversionValueResponse;

constexpr int64_t kFirstWindowMillis = 172800000;  // 2 days
constexpr int64_t kAllWindowsMillis = 3024000000;  // 35 days
constexpr size_t kMaxInflatedBytes = 1 << 20;      // an answer is a few dozen bytes

int64_t nowMillis() { return static_cast<int64_t>(std::floor(apm_engine::now() * 1000)); }

// a + b without overflow: the server's numbers may lie anywhere in int64.
int64_t saturatingAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return sum;
}

}  // namespace

std::string APMMeasurement::SKANVersion() {
  if (OULAppEnvironmentUtil::isSystemVersionAtLeast(16, 1)) return "4.0";
  if (OULAppEnvironmentUtil::isSystemVersionAtLeast(14, 6)) return "3.0";
  if (OULAppEnvironmentUtil::isSystemVersionAtLeast(14, 5)) return "2.2";
  if (OULAppEnvironmentUtil::isSystemVersionAtLeast(14, 0)) return "2.1";
  if (OULAppEnvironmentUtil::isSystemVersionAtLeast(13, 7)) return "1.0";
  return "0";
}

bool APMMeasurement::isInFirstSKANPostbackWindow() {
  return nowMillis() <=
         saturatingAdd(persistedConfig_->firstOpenTimestampMilliseconds(), kFirstWindowMillis);
}

bool APMMeasurement::isPastAllSKANPostbackWindows() {
  return nowMillis() >
         saturatingAdd(persistedConfig_->firstOpenTimestampMilliseconds(), kAllWindowsMillis);
}

bool APMMeasurement::isValidFineConversionValue(int64_t fineValue) {
  return fineValue >= 0 && fineValue <= 63;
}

std::string APMMeasurement::convertCoarseConversionValueFromProtoValue(int32_t coarseValue) {
  if (coarseValue == 3) return SKAdNetworkCoarseConversionValueHigh;
  if (coarseValue == 2) return SKAdNetworkCoarseConversionValueMedium;
  return SKAdNetworkCoarseConversionValueLow;
}

int32_t APMMeasurement::SKANFetchRetryLimit() {
  int64_t eventTime = persistedConfig_->SKANEvaluationEventTimeMillis();
  int64_t backoff = persistedConfig_->SKANEvaluationUpdateBackoffMillis();
  if (eventTime >= 1 && backoff >= 1 && saturatingAdd(eventTime, backoff) >= nowMillis()) return 1;
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  return isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryLimit()
                                       : config->SKANCVFetchRetryLimit();
}

bool APMMeasurement::shouldFetchSKANConversionValue() {
  return OULAppEnvironmentUtil::isSystemVersionAtLeast(16, 1) &&
         currentConfig()->SKANUpdateConversionValueEnabled() && !isPastAllSKANPostbackWindows() &&
         !isSKANRequestInProgress_ && !identity_->appInstanceID().value_or("").empty();
}

void APMMeasurement::scheduleSKANCVFetchAfterDataUpload() {
  if (!shouldFetchSKANConversionValue()) return;
  if (!SKANDelayAlarm_) {
    SKANDelayAlarm_ =
        APMAlarm::create(scheduler_->workerQueue(), "SKAN conversion value delay fetch");
  }
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  double delay = isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchDelay()
                                               : config->SKANInitialCVFetchDelay();
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  SKANDelayAlarm_->runAfterDelay(delay, [weak] {
    if (std::shared_ptr<APMMeasurement> engine = weak.lock()) engine->fetchSKANCV();
  });
}

void APMMeasurement::fetchSKANCV() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("fetchSKANCV");
  if (!network_ || !shouldFetchSKANConversionValue()) return;
  if (!isNetworkReadyForRequest()) {
    monitor().logWithLevel(7, 23240,
                           "Network operation is pending. Request to fetch SKAdNetwork "
                           "conversion value postponed.");
    return;
  }
  if (!network_->isNetworkConnected()) {
    fetchSKANWhenNetworkConnected_ = true;
    return;
  }
  isSKANRequestInProgress_ = true;
  fetchSKANWhenNetworkConnected_ = false;
  uint64_t serial = beginNetworkRequest();
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  network_->setTimeoutInterval(config->networkTimeout());
  if (SKANDelayAlarm_) SKANDelayAlarm_->cancel();
  if (SKANRetryAlarm_) SKANRetryAlarm_->cancel();

  using Request = APMPBSkAdNetworkConversionValueRequest;
  Request request;
  NANOSetInt64(request, Request::kLibraryVersion, APMIdentity::appMeasurementLibraryVersion());
  NANOSetString(request, Request::kAppId, appID_);
  NANOSetString(request, Request::kAppInstanceId, identity_->appInstanceID().value_or(""));
  NANOSetString(request, Request::kSkanVersion, SKANVersion());
  NANOSetInt64(request, Request::kEvaluationEventTimeMillis,
               persistedConfig_->SKANEvaluationEventTimeMillis());
  NANOSetInt64(request, Request::kLastUploadedEventTimestampMillis,
               persistedConfig_->lastUploadedEventTimestampMillis());
  std::string body = request.protoBuffer().value_or("");
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  // A request that cannot start is answered with an error through the same completion.
  network_->postURL(
      APMRemoteConfig::baseURLWithHost(APMRemoteConfig::hosts().upload) + "/skan",
      OULNetwork::Headers{{"Accept-Encoding", "gzip"}}, std::move(body), scheduler_->workerQueue(),
      false,
      [weak, serial](const std::optional<OULHTTPURLResponse>& response,
                     const std::optional<std::string>& data, const std::optional<OULError>& error) {
        std::shared_ptr<APMMeasurement> engine = weak.lock();
        if (!engine || !engine->endNetworkRequest(serial)) return;
        engine->isSKANRequestInProgress_ = false;
        engine->fetchSKANWhenNetworkConnected_ = false;
        engine->handleSKANFetchResponse(
            response ? response->statusCode : 0,
            response ? response->valueForHTTPHeaderField("Content-Encoding") : std::nullopt, data,
            error);
      });
}

void APMMeasurement::handleSKANFetchResponse(int64_t status,
                                             const std::optional<std::string>& contentEncoding,
                                             const std::optional<std::string>& data,
                                             const std::optional<OULError>& error) {
  if (status == kOULNetworkHTTPStatusCodeNotModified) {
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  if (status != kOULNetworkHTTPStatusOK) {
    monitor().logWithLevel(7, 23241,
                           "Network request failed to fetch SKAN conversion value. Code, Error",
                           status, error ? APMLogContext(error->description) : APMLogContext());
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  std::string body = data.value_or("");
  std::string encoding = contentEncoding.value_or("");
  std::transform(encoding.begin(), encoding.end(), encoding.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (encoding == "gzip") {
    OULError inflateError;
    // Bounded: a small bomb must not take the process's memory. A failure keeps the body.
    std::optional<std::string> inflated =
        oul_dataByInflatingGzippedDataWithLimit(body, kMaxInflatedBytes, &inflateError);
    if (inflated) body = std::move(*inflated);
  }
  if (body.empty()) {
    monitor().logWithLevel(1, 23242, "No SKAdNetwork conversion value data returned.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  std::optional<Response> response = Response::initWithBuffer(std::string_view(body));
  if (!response) {
    monitor().logWithLevel(1, 23243, "Invalid SKAdNetwork conversion value data returned.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  if (!NANOHasField(*response, Response::kStatus)) {
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  int32_t answer = NANOGetInt32(*response, Response::kStatus);
  if (answer == 1) {
    updateSKANPostbackConversionValueFromResponse(*response);
  } else if (answer == 2) {
    stopProcessingSKANResponseAndResetRetryCount();
  } else {
    maybeScheduleSKANCVFetchRetry();
  }
}

void APMMeasurement::updateSKANPostbackConversionValueFromResponse(const Response& response) {
  if (!OULAppEnvironmentUtil::isSystemVersionAtLeast(16, 1)) return;
  if (!NANOHasField(response, Response::kEvaluationEventTimeMillis)) {
    monitor().logWithLevel(1, 23244, "SKAdNetwork conversion value data missing event time field.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  bool hasFine = NANOHasField(response, Response::kFineValue);
  bool hasCoarse = NANOHasField(response, Response::kCoarseValue);
  if (!hasFine && !hasCoarse) {
    monitor().logWithLevel(1, 23251, "SKAdNetwork fine and coarse conversion values missing.");
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  int32_t fine = hasFine ? NANOGetInt32(response, Response::kFineValue) : 0;
  if (!isValidFineConversionValue(fine)) {
    monitor().logWithLevel(1, 23245, "Invalid SKAdNetwork fine conversion value. Fine value",
                           int64_t{fine});
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  int32_t coarse = hasCoarse ? NANOGetInt32(response, Response::kCoarseValue) : 1;
  bool lockWindow =
      NANOHasField(response, Response::kLockWindow) && NANOGetBool(response, Response::kLockWindow);
  if (!NANOHasField(response, Response::kExpiryTimestampMillis)) {
    monitor().logWithLevel(1, 23255,
                           "SKAdNetwork conversion value data missing result time field.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  int64_t expirySeconds = NANOGetInt64(response, Response::kExpiryTimestampMillis) / 1000;
  if (apm_engine::now() > static_cast<double>(expirySeconds)) {
    monitor().logWithLevel(4, 23246, "SKAdNetwork conversion value expired.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  int64_t eventTime = NANOGetInt64(response, Response::kEvaluationEventTimeMillis);
  if (eventTime < persistedConfig_->lastUploadedEventTimestampMillis()) {
    monitor().logWithLevel(4, 23247, "Received outdated SKAdNetwork conversion value.");
    maybeScheduleSKANCVFetchRetry();
    return;
  }
  SKANRetryCount_ = 0;
  persistedConfig_->setSKANEvaluationEventTimeMillis(eventTime);
  persistedConfig_->setSKANEvaluationUpdateBackoffMillis(
      NANOHasField(response, Response::kUpdateBackoffMillis)
          ? NANOGetInt64(response, Response::kUpdateBackoffMillis)
          : 0);
  monitor().logWithLevel(7, 23248, "Updating SKAdNetwork postback conversion value.");
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  SKAdNetwork::updatePostbackConversionValue(
      fine, convertCoarseConversionValueFromProtoValue(coarse), lockWindow,
      [weak, response](const std::optional<SKTransactionError>& error) {
        std::shared_ptr<APMMeasurement> engine = weak.lock();
        if (!engine) return;
        engine->schedule("APMMeasurement:429", [response, error](APMMeasurement& e) {
          e.handleSKANUpdatePostbackCompletion(response, error);
        });
      });
}

void APMMeasurement::handleSKANUpdatePostbackCompletion(
    const Response& response, const std::optional<SKTransactionError>& error) {
  if (error && !(error->domain == SKANErrorDomain && error->code == 10 &&
                 OULAppEnvironmentUtil::isSystemVersionAtLeast(16, 1))) {
    monitor().logWithLevel(1, 23249, "SKAdNetwork postback conversion value update failed. Error",
                           error->domain + " " + std::to_string(error->code));
    // A fetch answered while StoreKit was busy may have counted retries since the accept.
    stopProcessingSKANResponseAndResetRetryCount();
    return;
  }
  APMValueMap parameters;
  if (std::optional<std::string> detail = NANOGetString(response, Response::kDetail)) {
    parameters.insert_or_assign("_skanm", APMValue(*detail));
  }
  if (NANOHasField(response, Response::kFineValue)) {
    parameters.insert_or_assign("_skanf",
                                APMValue(int64_t{NANOGetInt32(response, Response::kFineValue)}));
  }
  if (NANOHasField(response, Response::kCoarseValue)) {
    parameters.insert_or_assign("_skanc",
                                APMValue(int64_t{NANOGetInt32(response, Response::kCoarseValue)}));
  }
  if (NANOHasField(response, Response::kLockWindow)) {
    parameters.insert_or_assign(
        "_skanl", APMValue(int64_t{NANOGetBool(response, Response::kLockWindow) ? 1 : 0}));
  }
  if (NANOHasField(response, Response::kEvaluationEventTimeMillis)) {
    parameters.insert_or_assign(
        "_skane", APMValue(NANOGetInt64(response, Response::kEvaluationEventTimeMillis)));
  }
  std::optional<APMEvent> event =
      APMEvent::create("auto", false, "_skan", apm_engine::now(), 0, parameters);
  if (event) handleInternalEventOnWorkerQueue(std::move(*event));
}

void APMMeasurement::maybeScheduleSKANCVFetchRetry() {
  ++SKANRetryCount_;
  if (SKANRetryCount_ > SKANFetchRetryLimit()) {
    monitor().logWithLevel(4, 23250, "Reached retry limit for SKAdNetwork conversion value fetch.");
    return;
  }
  if (!SKANRetryAlarm_) {
    SKANRetryAlarm_ =
        APMAlarm::create(scheduler_->workerQueue(), "SKAN conversion value fetch timer");
  }
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  double interval = isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryInterval()
                                                  : config->SKANCVFetchRetryInterval();
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  SKANRetryAlarm_->runAfterDelay(interval, [weak] {
    if (std::shared_ptr<APMMeasurement> engine = weak.lock()) engine->fetchSKANCV();
  });
}

void APMMeasurement::stopProcessingSKANResponseAndResetRetryCount() { SKANRetryCount_ = 0; }

void APMMeasurement::maybeFetchSKANCVAfterReachabilityChange() {
  if (fetchSKANWhenNetworkConnected_ && network_ && network_->isNetworkConnected()) fetchSKANCV();
}
