// Where the attribution flows meet the rest of the engine: start-up, the answered upload and
// configuration fetch, the one pending-request flag, and the campaign and on-device values
// every raw-event metadata record carries.
#include <cmath>
#include <limits>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/engine/APMPSMContext.h"
#include "AppMeasurement/foundation/APMDeepLinkCache.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMSOTMPreviewHeadersSource.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/utilities/OULNetwork.h"

using apm_engine::monitor;
using apm_engine::saturatedMillis;

namespace {

// The remote configuration reads the preview headers through this (they are process-wide).
class PreviewHeadersSource : public APMSOTMPreviewHeadersSource {
 public:
  std::optional<platform::Value::Dictionary> SOTMPreviewHeaders() override {
    return APMMeasurement::SOTMPreviewHeaders();
  }
};

const std::shared_ptr<PreviewHeadersSource>& previewHeadersSource() {
  static auto* source = new std::shared_ptr<PreviewHeadersSource>(new PreviewHeadersSource);
  return *source;
}

std::optional<APMPBOnDeviceMeasurementValue> storedODMValue(APMDatabase& database, const char* name,
                                                            int64_t code, const char* message) {
  APMErrorSlot error;
  std::optional<APMSqliteRecord> row = database.ODMValueWithName(name, &error);
  if (!row) {
    if (error) monitor().logWithLevel(4, code, message, APMLogContext(*error));
    return std::nullopt;
  }
  auto set = row->find("set_timestamp");
  auto value = row->find("value");
  if (set == row->end() || value == row->end() || !set->second.isNumber() ||
      !value->second.isString()) {
    return std::nullopt;
  }
  APMPBOnDeviceMeasurementValue stored;
  NANOSetInt64(stored, APMPBOnDeviceMeasurementValue::kSetTimestampMillis,
               saturatedMillis(*set->second.numberAsDouble()));
  NANOSetString(stored, APMPBOnDeviceMeasurementValue::kValue, *value->second.asString());
  return stored;
}

}  // namespace

// --- One request at a time ---

uint64_t APMMeasurement::beginNetworkRequest() {
  isNetworkRequestPending_ = true;
  uint64_t serial = ++nextRequestSerial_;
  pendingRequestSerial_ = serial;
  return serial;
}

bool APMMeasurement::endNetworkRequest(uint64_t requestSerial) {
  // A late answer of a request that is no longer the one out changes nothing.
  if (requestSerial != pendingRequestSerial_) return false;
  isNetworkRequestPending_ = false;
  pendingRequestSerial_ = 0;
  return true;
}

double APMMeasurement::firstOpenSeconds() {
  return static_cast<double>(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000.0;
}

// --- Start-up ---

void APMMeasurement::startDeepLinksOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startDeepLinksOnWorkerQueue");
  currentConfig()->setSOTMPreviewHeadersSource(previewHeadersSource());
  std::shared_ptr<APMUserDefaults> defaults = APMUserDefaults::sharedUserDefaults();
  if (defaults && defaults->objectForKey(kAPMDeepLinkKey)) {
    reportStoredCampaignEventOnWorkerQueue(std::nullopt);
  } else if (shouldAllowRequestDeferredDeepLink()) {
    if (currentConfig()->isExpired()) {
      shouldRequestDeferredDeepLinkAfterConfigFetch_ = true;
    } else {
      requestDeferredDeepLink();
    }
  }
}

void APMMeasurement::reportStoredCampaignEventOnWorkerQueue(
    std::optional<int64_t> clickTimeMillis) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportStoredCampaignEventOnWorkerQueue:");
  std::shared_ptr<APMUserDefaults> defaults = APMUserDefaults::sharedUserDefaults();
  if (!defaults) return;
  std::optional<platform::Value> link = defaults->objectForKey(kAPMDeepLinkKey);
  if (!link) return;
  // A link that is no text, or has no usable time (one written without its time, or a time that
  // is no number), is not reported; it goes with its keys, or every later start would find it
  // again instead of asking for the deferred deep link. A boolean is a number here, as on the
  // platform.
  std::optional<platform::Value> stored = defaults->numberForKey(kAPMDeepLinkTimestampKey);
  std::optional<double> storedTime = stored ? stored->numberAsDouble() : std::nullopt;
  if (!link->isString() || link->asString()->empty() || !storedTime ||
      !std::isfinite(*storedTime)) {
    APMClearCachedDeepLink(*defaults);
    return;
  }
  double storedSeconds = *storedTime;
  std::string text = *link->asString();
  platform::Value::Dictionary extras;
  if (APMIsCachedDeepLinkExpired(*defaults, currentConfig()->attributionCacheTTLInterval())) {
    text = "(not set)";
    extras = {{"utm_source", platform::Value("(not set)")},
              {"utm_medium", platform::Value("(not set)")},
              {"_cc", platform::Value(int64_t{1})}};
  } else {
    extras = {{"_cc", platform::Value(APMPreviousHourStartMillis(saturatedMillis(storedSeconds)))}};
  }
  APMClearCachedDeepLink(*defaults);
  handleOpenURLOnWorkerQueue(text, clickTimeMillis, storedSeconds, extras);
}

// --- After answers ---

void APMMeasurement::continueAfterSuccessfulUpload() {
  if (ODM1Context_ && ODM1Context_->isPSMRequestPostponed && !currentConfig()->isExpired()) {
    ODM1Context_->isPSMRequestPostponed = false;
    retrievePSMResponse();
    return;
  }
  updateSchedule();
  if (!currentConfig()->isExpired()) scheduleSKANCVFetchAfterDataUpload();
}

bool APMMeasurement::continueAfterAnsweredConfigFetch() {
  updateAdsOnDeviceConversionMeasurement();
  if (!shouldRequestDeferredDeepLinkAfterConfigFetch_) return false;
  shouldRequestDeferredDeepLinkAfterConfigFetch_ = false;
  requestDeferredDeepLink();
  return true;
}

// --- Raw-event metadata ---

void APMMeasurement::readRawEventAttribution(APMRawEventMetadataInputs& inputs) {
  std::optional<platform::Value> buffer = persistedConfig_->adCampaignInfoBuffer();
  if (buffer && buffer->asBytes()) inputs.adCampaignInfo = buffer->asBytes()->data;
  int32_t linked = 0;
  // The tracking manager being there is what counts, not the status it gives.
  if (identity_->hasAppDataConsentStatus()) linked |= 1;
  if (isAPMPrivateSetMembershipClientLinked()) linked |= 2;
  if (isAlphaAppAdsOnDeviceConversionLinked()) linked |= 4;
  if (isOrvaneAdsOnDeviceConversionLinked()) linked |= 8;
  inputs.linkedComponents = linked;
}

void APMMeasurement::readRawEventODMValues(APMRawEventMetadataInputs& inputs) {
  inputs.odm1Value =
      storedODMValue(*database_, "odm1_value", 23287, "Failed to query ODM value. Error");
  inputs.odm1SessionValue = storedODMValue(*database_, "odm1_session_value", 23288,
                                           "Failed to query ODM session value. Error");
  inputs.odm2Value =
      storedODMValue(*database_, "odm2_value", 23291, "Failed to query ODM value. Error");
}
