// The current on-device conversion flow: after every answered configuration fetch the
// on-device conversion service (found by class name) is asked for the installation's
// measurement value, kept as "_psmvalue_oads", the row "odm2_value" and a real-time "_fx".
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionServiceProtocol.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Exception.h"
#include "platform/runtime/ClassRegistry.h"

using apm_engine::monitor;

namespace {

constexpr const char* kServiceClassName = "ODCConversionService";
constexpr int64_t kOlderGenerationMaximum = 10000;

}  // namespace

bool APMMeasurement::isAdsOnDeviceConversionLinked() {
  return platform::ClassRegistry::shared().contains(kServiceClassName);
}

std::shared_ptr<ODCConversionServiceProtocol> APMMeasurement::conversionServiceFromReflection() {
  return platform::ClassRegistry::shared().create<ODCConversionServiceProtocol>(kServiceClassName);
}

bool APMMeasurement::isAlphaAppAdsOnDeviceConversionLinked() {
  std::shared_ptr<ODCConversionServiceProtocol> service = conversionServiceFromReflection();
  return service && service->versionNumber() <= kOlderGenerationMaximum;
}

bool APMMeasurement::isOrvaneAdsOnDeviceConversionLinked() {
  std::shared_ptr<ODCConversionServiceProtocol> service = conversionServiceFromReflection();
  return service && service->versionNumber() > kOlderGenerationMaximum;
}

bool APMMeasurement::isAdsOnDeviceConversionEnabled() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  if (!currentConfig()->adsOnDeviceConversionFeatureEnabled()) {
    monitor().logWithLevel(7, 23275,
                           "Conversion service disabled. Remote config disabled. Check ads account "
                           "linked to Orvane Analytics.");
    return false;
  }
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    monitor().logWithLevel(7, 23276, "Conversion service disabled. Ad storage consent is denied.");
    return false;
  }
  monitor().logWithLevel(7, 23277, "Conversion service enabled");
  return true;
}

std::optional<double> APMMeasurement::firstLaunchDate() {
  double seconds = firstOpenSeconds();
  if (seconds == 0) return std::nullopt;
  return seconds;
}

void APMMeasurement::checkODM2DependencyOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("checkODM2DependencyOnWorkerQueue");
  if (isAdsOnDeviceConversionLinked()) {
    if (isOrvaneAdsOnDeviceConversionLinked() && isAPMPrivateSetMembershipClientLinked()) {
      // Both generations in one app cannot work together: the app stops, as on the phone.
      platform::DispatchQueue::main()->async([] {
        throw platform::Exception(
            "MeasurementDeprecatedOnDeviceConversionException",
            "OrvaneAppMeasurementOnDeviceConversion (deprecated) framework and "
            "OrvaneAdsOnDeviceConversion framework are both linked into the app. Remove the "
            "OrvaneAppMeasurementOnDeviceConversion (deprecated) framework, which is no longer "
            "recommended for new development.");
      });
    }
    monitor().logWithLevel(7, 23278,
                           "Conversion service OrvaneAdsOnDeviceConversion framework is linked");
  } else {
    monitor().logWithLevel(7, 23279,
                           "Conversion service disabled. OrvaneAdsOnDeviceConversion framework is "
                           "not linked.");
    if (isAPMPrivateSetMembershipClientLinked()) {
      monitor().logWithLevel(4, 23292,
                             "OrvaneAppMeasurementOnDeviceConversion (deprecated) framework is "
                             "linked. Use the OrvaneAdsOnDeviceConversion framework instead.");
    }
  }
  if (!currentConfig()->isExpired()) {
    monitor().logWithLevel(7, 23280, "Conversion service will not attempt a fetch");
  }
}

void APMMeasurement::updateAdsOnDeviceConversionMeasurement() {
  if (!isAdsOnDeviceConversionEnabled()) {
    handleAdsOnDeviceConversionValue(std::nullopt, std::nullopt);
    return;
  }
  if (!conversionService_) conversionService_ = conversionServiceFromReflection();
  if (!conversionService_) {
    monitor().logWithLevel(1, 23268, "Failed to get the compatible conversion service.");
    handleAdsOnDeviceConversionValue(std::nullopt, std::nullopt);
    return;
  }
  conversionService_->setFirstLaunchTime(firstLaunchDate());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  conversionService_->fetchMeasurementInfoForInteraction(
      0, [weak](const std::optional<std::string>& value, const std::optional<OULError>& error) {
        std::shared_ptr<APMMeasurement> engine = weak.lock();
        if (!engine) return;
        engine->schedule("APMMeasurement:186", [value, error](APMMeasurement& e) {
          e.handleAdsOnDeviceConversionValue(value, error);
        });
      });
}

void APMMeasurement::handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                                      const std::optional<OULError>& error) {
  if (error) {
    monitor().logWithLevel(
        1, 23269, "Conversion service failed to fetch measurement info.",
        error->domain + " " + std::to_string(error->code) + " " + error->description);
    return;
  }
  APMErrorSlot readError;
  std::optional<APMUserAttribute> stored =
      database_->userAttributeWithName("_psmvalue_oads", &readError);
  if (value && !value->empty()) {
    if (stored && stored->value().description() == *value) {
      monitor().logWithLevel(7, 23282, "Conversion service returned the same value",
                             "_psmvalue_oads", *value);
      return;
    }
    double now = apm_engine::now();
    APMErrorSlot writeError;
    if (!database_->updateODMValue(*value, "odm2_value", now, &writeError)) {
      monitor().logWithLevel(1, 23290, "Failed to update ODM value. Error",
                             writeError ? APMLogContext(*writeError) : APMLogContext());
    }
    if (std::optional<APMUserAttribute> attribute =
            APMUserAttribute::create("auto", "_psmvalue_oads", APMValue(*value), now)) {
      setUserAttributeOnWorkerQueue(*attribute);
    }
    std::optional<APMEvent> event =
        APMEvent::create("auto", false, "_fx", now, 0, APMValueMap{{"_fxs", APMValue("psm_oads")}});
    if (!event) return;
    event->setRealtime(true);
    writeEventOnWorkerQueue(std::move(*event));
    return;
  }
  if (stored) removeUserAttributeOnWorkerQueue(*stored);
  APMErrorSlot ignored;
  database_->deleteODMValueWithName("odm2_value", &ignored);
  monitor().logWithLevel(7, 23281, "Conversion service returned empty value");
}
