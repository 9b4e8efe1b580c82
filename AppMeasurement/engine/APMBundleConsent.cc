#include "AppMeasurement/engine/APMBundleConsent.h"

#include <algorithm>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"

namespace APMBundleConsent {
namespace {

using B = APMPBMeasurementBundle;

bool hasText(const APMPBMeasurementBundle& bundle, uint32_t slot) {
  std::optional<std::string> text = NANOGetString(bundle, slot);
  return text && !text->empty();
}

std::vector<APMPBUserAttribute> userAttributes(const APMPBMeasurementBundle& bundle) {
  return NANOGetMessageArray<APMPBUserAttribute>(bundle, B::kUserAttributes)
      .value_or(std::vector<APMPBUserAttribute>{});
}

std::optional<std::string> attributeName(const APMPBUserAttribute& attribute) {
  return NANOGetString(attribute, APMPBUserAttribute::kName);
}

int64_t npaValue(const APMPBMeasurementBundle& bundle) {
  for (const APMPBUserAttribute& attribute : userAttributes(bundle)) {
    if (attributeName(attribute) == "_npa") {
      return NANOGetInt64(attribute, APMPBUserAttribute::kIntValue);
    }
  }
  return 0;
}

}  // namespace

State currentState(APMMeasurement& engine) {
  State state;
  state.consentSignals = APMConsentSettingsUtil::consentSignals();
  state.consentDiagnostics = APMConsentSettingsUtil::consentDiagnostics();
  state.adUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  std::shared_ptr<APMRemoteConfig> config = engine.currentConfig();
  state.attGateSetting = config->gateIDFAOnATTMASEnabled();
  state.isDMARegion = config->isDMARegion();
  state.corePlatformServices = config->corePlatformServices();
  return state;
}

bool isDeniedAt(const std::string& signals, size_t index) {
  if (signals.size() < 4) return false;
  char c = signals[index];
  return c == '0' || c == 'D' || c == 'd';
}

bool isAnalyticsStorageDenied(const std::string& signals) { return isDeniedAt(signals, 3); }

Identifiers identifiersFrom(APMIdentity& identity, bool withEphemeral) {
  APMIdentity::SingleRefreshCheck check(identity);
  Identifiers ids;
  ids.appInstanceID = identity.appInstanceID();
  ids.resettableDeviceID = identity.resettableDeviceID();
  ids.vendorDeviceID = identity.identifierForVendor();
  ids.hasLimitedAdTracking = identity.hasLimitedAdTracking();
  ids.limitedAdTracking = identity.limitedAdTracking();
  ids.iOS14OrAbove = APMIdentity::iOS14OrAbove();
  ids.appleConsentStatus = ids.iOS14OrAbove ? identity.appleConsentStatus() : 6;
  if (withEphemeral) ids.ephemeralAppInstanceID = identity.ephemeralAppInstanceID();
  return ids;
}

void applyConsentIdentifiers(APMPBMeasurementBundle& bundle, const State& state,
                             const Identifiers& identity, bool override) {
  bool adDenied = false;
  bool analyticsDenied = false;
  if (state.consentSignals.size() < 4) {
    if (state.consentSignals.empty()) NANOClearField(bundle, B::kConsentSignals);
  } else if (override || !hasText(bundle, B::kConsentSignals)) {
    NANOSetString(bundle, B::kConsentSignals, state.consentSignals);
    adDenied = isDeniedAt(state.consentSignals, 2);
    analyticsDenied = isDeniedAt(state.consentSignals, 3);
  } else {
    std::string own = NANOGetString(bundle, B::kConsentSignals).value_or("");
    adDenied = isDeniedAt(own, 2);
    analyticsDenied = isDeniedAt(own, 3);
  }
  int64_t status = identity.appleConsentStatus;
  bool gate = false;
  if (identity.iOS14OrAbove) {
    if (status != 6) NANOSetInt32(bundle, B::kAppleConsentStatus, static_cast<int32_t>(status));
    // Status 6 here means no advertising support: the gate holds as for any status but 3.
    gate = state.attGateSetting && status != 3;
  }
  const std::optional<std::string>& resettable = identity.resettableDeviceID;
  const std::optional<std::string>& vendor = identity.vendorDeviceID;
  if (identity.hasLimitedAdTracking && resettable && !resettable->empty() && !adDenied && !gate) {
    if (!hasText(bundle, B::kResettableDeviceId)) {
      NANOSetString(bundle, B::kResettableDeviceId, *resettable);
    }
    NANOClearField(bundle, B::kVendorDeviceId);
  } else if (!vendor || vendor->empty() || analyticsDenied) {
    NANOClearField(bundle, B::kResettableDeviceId);
    NANOClearField(bundle, B::kVendorDeviceId);
  } else {
    if (!hasText(bundle, B::kVendorDeviceId)) NANOSetString(bundle, B::kVendorDeviceId, *vendor);
    NANOClearField(bundle, B::kResettableDeviceId);
  }
  if (!analyticsDenied) {
    const std::optional<std::string>& instance = identity.appInstanceID;
    if (instance && !instance->empty() && !hasText(bundle, B::kAppInstanceId)) {
      NANOSetString(bundle, B::kAppInstanceId, *instance);
    }
  }
  if (adDenied) NANOClearField(bundle, B::kResettableDeviceId);
  if (analyticsDenied) {
    NANOClearField(bundle, B::kVendorDeviceId);
    NANOClearField(bundle, B::kAppInstanceId);
    NANOClearField(bundle, B::kSessionStitchingToken);
    NANOClearField(bundle, B::kAudienceEvaluationResults);
  }
  if (identity.hasLimitedAdTracking) {
    NANOSetBool(bundle, B::kLimitedAdTracking, identity.limitedAdTracking);
  }
}

void applyDMAFields(APMPBMeasurementBundle& bundle, const State& state,
                    const std::optional<APMPBUserAttribute>& npa, bool override) {
  if (override || !NANOHasField(bundle, B::kConsentDiagnostics)) {
    NANOSetString(bundle, B::kConsentDiagnostics, state.consentDiagnostics);
  }
  if (override || !NANOHasField(bundle, B::kDmaRegion)) {
    NANOSetBool(bundle, B::kDmaRegion, state.isDMARegion);
  }
  if (override || !NANOHasField(bundle, B::kCorePlatformServices)) {
    if (state.adUserDataDenied || state.corePlatformServices.empty()) {
      NANOSetString(bundle, B::kCorePlatformServices, "-");
    } else if (!state.isDMARegion) {
      NANOClearField(bundle, B::kCorePlatformServices);
    } else if (NANOGetBool(bundle, B::kDmaRegion)) {
      std::string joined;
      for (const std::string& service : state.corePlatformServices) joined += service;
      NANOSetString(bundle, B::kCorePlatformServices, joined);
    }
  }
  if (npa) {
    std::vector<APMPBUserAttribute> attributes = userAttributes(bundle);
    auto found =
        std::find_if(attributes.begin(), attributes.end(),
                     [](const APMPBUserAttribute& a) { return attributeName(a) == "_npa"; });
    if (found == attributes.end()) {
      attributes.push_back(*npa);
      NANOSetMessageArray(bundle, B::kUserAttributes, attributes);
    } else if (override) {
      *found = *npa;
      NANOSetMessageArray(bundle, B::kUserAttributes, attributes);
    }
  }
}

bool hasFirstOpenEvent(const APMPBMeasurementBundle& bundle) {
  std::vector<APMPBEvent> events =
      NANOGetMessageArray<APMPBEvent>(bundle, B::kEvents).value_or(std::vector<APMPBEvent>{});
  return std::any_of(events.begin(), events.end(), [](const APMPBEvent& event) {
    return NANOGetString(event, APMPBEvent::kName) == "_f";
  });
}

bool areBatchCompatible(const APMPBMeasurementBundle& first, const APMPBMeasurementBundle& second) {
  for (uint32_t slot : {B::kConsentSignals, B::kConsentDiagnostics, B::kCorePlatformServices}) {
    if (NANOGetString(first, slot) != NANOGetString(second, slot)) return false;
  }
  return NANOGetBool(first, B::kDmaRegion) == NANOGetBool(second, B::kDmaRegion) &&
         npaValue(first) == npaValue(second);
}

void applyDataControls(APMPBMeasurementBundle& bundle, const std::vector<std::string>& controls,
                       const Identifiers& identity) {
  auto has = [&](std::string_view name) {
    return std::find(controls.begin(), controls.end(), name) != controls.end();
  };
  if (has("app_instance_id")) {
    NANOClearField(bundle, B::kAppInstanceId);
    std::string own = NANOGetString(bundle, B::kConsentSignals).value_or("");
    const std::optional<std::string>& ephemeral = identity.ephemeralAppInstanceID;
    if (!isAnalyticsStorageDenied(own) && ephemeral && !ephemeral->empty()) {
      NANOSetString(bundle, B::kEphemeralAppInstanceId, *ephemeral);
    } else {
      NANOClearField(bundle, B::kEphemeralAppInstanceId);
    }
  }
  if (has("user_id")) {
    std::vector<APMPBUserAttribute> attributes = userAttributes(bundle);
    std::erase_if(attributes,
                  [](const APMPBUserAttribute& a) { return attributeName(a) == "_id"; });
    NANOSetMessageArray(bundle, B::kUserAttributes, attributes);
  }
  if (has("os_version") || has("device_info")) {
    if (std::optional<std::string> os = NANOGetString(bundle, B::kOsVersion)) {
      size_t dot = os->find('.');
      if (dot != std::string::npos) NANOSetString(bundle, B::kOsVersion, os->substr(0, dot));
    }
  }
  if (has("device_model") || has("device_info")) NANOClearField(bundle, B::kDeviceModel);
  if (has("enhanced_user_id")) NANOClearField(bundle, B::kSessionStitchingToken);
  if (!controls.empty()) {
    std::vector<NANOObject> names;
    for (const std::string& control : controls) names.emplace_back(control);
    NANOSetArray(bundle, B::kRedactedFields, names);
  }
}

}  // namespace APMBundleConsent
