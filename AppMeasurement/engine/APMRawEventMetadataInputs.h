#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/engine/APMBundleConsent.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/messages/APMPBMessages.h"

// Everything the metadata record of a raw event is made of, read once for the event: the app
// and its versions, the user properties, the session, consent and identifiers, the device and
// the attribution values. Equal inputs make equal metadata, so an event whose inputs equal the
// previous event's reuses that metadata (its bytes and fingerprint) without building it again.
struct APMRawEventMetadataInputs {
  std::string appID;
  std::string appVersion;
  bool fromAppStore = true;
  std::string rzqAppID;
  std::string installationID;
  std::optional<std::string> sessionStitchingToken;
  std::optional<int64_t> appVersionMajor;
  std::optional<int64_t> appVersionMinor;
  std::optional<int64_t> appVersionRelease;
  std::vector<APMUserAttribute> userAttributes;
  // The stored "_npa" property when the user properties do not hold it.
  std::optional<APMUserAttribute> storedNPA;
  APMBundleConsent::State consent;
  APMBundleConsent::Identifiers identifiers;
  std::string deviceModel;
  std::string osVersion;
  int32_t timeZoneOffsetMinutes = 0;
  std::optional<std::string> userDefaultLanguage;
  // The stored campaign info, encoded.
  std::optional<std::string> adCampaignInfo;
  std::optional<APMPBOnDeviceMeasurementValue> odm1Value;
  std::optional<APMPBOnDeviceMeasurementValue> odm1SessionValue;
  std::optional<APMPBOnDeviceMeasurementValue> odm2Value;
  int32_t linkedComponents = 0;

  bool operator==(const APMRawEventMetadataInputs&) const = default;
};

// The metadata bundle of the inputs. Any thread.
APMPBMeasurementBundle APMRawEventMetadataFromInputs(const APMRawEventMetadataInputs& inputs);
