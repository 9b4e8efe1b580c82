#include "AppMeasurement/features/APMFeatureInstaller.h"

#include <memory>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/features/APMAudienceComponent.h"
#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/features/APMLifetimeValueRecorder.h"
#include "AppMeasurement/features/APMPurchaseReportingService.h"
#include "AppMeasurement/features/APMScreenClassName.h"
#include "AppMeasurement/features/APMScreenViewReporter.h"
#include "AppMeasurement/features/APMSearchAdReporterComponent.h"
#include "AppMeasurement/features/APMSessionReporter.h"
#include "AppMeasurement/features/KVLAFeatureNames.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"

void APMInstallMeasurementFeatures() {
  APMInstallMeasurementFeatures(APMEManager::sharedInstance());
}

void APMInstallMeasurementFeatures(std::shared_ptr<APMExperimentManaging> experimentManager) {
  APMFeatureServices services = APMFeatureServices::current();
  services.audience = std::make_shared<APMAudienceComponent>([] {
    APMAudience::Limits limits;
    if (std::shared_ptr<APMRemoteConfig> config = APMMeasurement::remoteConfig()) {
      limits.maxAudienceCount = config->maxAudienceCount();
      limits.maxFiltersPerAudience = config->maxFiltersPerAudience();
      limits.maxFilterResultCount = config->maxFilterResultCount();
      limits.maxParametersPerFilter = config->maxParametersPerFilter();
    }
    return limits;
  });
  // The server's limit, read when a currency is added: the engine's configuration, never the
  // defaults instance (which never parses a server value).
  services.lifetimeValueRecorder = std::make_shared<APMLifetimeValueRecorder>(
      [] { return APMMeasurement::remoteConfig()->maxTrackedCurrencies(); });
  services.purchaseReporter = std::make_shared<APMPurchaseReportingService>();
  services.experimentManager = std::move(experimentManager);
  services.sessionReporter = APMSessionReporter::create();
  services.screenViewReporter = KVLAScreenViewReporter::sharedInstance();
  services.searchAdReporter = std::make_shared<APMSearchAdReporterComponent>();
  APMFeatureServices::install(std::move(services));
  APMInstallViewControllerAppearanceHooks();
}
