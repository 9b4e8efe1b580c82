#include "AppMeasurement/engine/APMRawEventMetadataInputs.h"

#include "AppMeasurement/foundation/APMIdentity.h"

APMPBMeasurementBundle APMRawEventMetadataFromInputs(const APMRawEventMetadataInputs& inputs) {
  using B = APMPBMeasurementBundle;
  APMPBMeasurementBundle bundle;
  NANOSetString(bundle, B::kPlatform, "ios");
  NANOSetInt32(bundle, B::kProtocolVersion, 1);
  if (!inputs.appID.empty()) NANOSetString(bundle, B::kAppId, inputs.appID);
  if (!inputs.fromAppStore) NANOSetString(bundle, B::kInstallSource, "manual_install");
  if (!inputs.appVersion.empty()) NANOSetString(bundle, B::kAppVersion, inputs.appVersion);
  if (!inputs.rzqAppID.empty()) NANOSetString(bundle, B::kRzqAppId, inputs.rzqAppID);
  NANOSetInt64(bundle, B::kLibraryVersion, APMIdentity::appMeasurementLibraryVersion());
  if (!inputs.installationID.empty()) {
    NANOSetString(bundle, B::kKavrelinInstallationId, inputs.installationID);
  }
  if (inputs.sessionStitchingToken && !inputs.sessionStitchingToken->empty()) {
    NANOSetString(bundle, B::kSessionStitchingToken, *inputs.sessionStitchingToken);
  }
  auto setVersionField = [&](uint32_t slot, std::optional<int64_t> field) {
    if (field) NANOSetInt32(bundle, slot, static_cast<int32_t>(*field));
  };
  setVersionField(B::kAppVersionMajor, inputs.appVersionMajor);
  setVersionField(B::kAppVersionMinor, inputs.appVersionMinor);
  setVersionField(B::kAppVersionRelease, inputs.appVersionRelease);
  APMBundleConsent::applyConsentIdentifiers(bundle, inputs.consent, inputs.identifiers, false);
  APMBundleConsent::applyDMAFields(bundle, inputs.consent, std::nullopt, false);
  NANOSetString(bundle, B::kDeviceModel, inputs.deviceModel);
  NANOSetString(bundle, B::kOsVersion, inputs.osVersion);
  NANOSetInt32(bundle, B::kTimeZoneOffsetMinutes, inputs.timeZoneOffsetMinutes);
  if (inputs.userDefaultLanguage) {
    NANOSetString(bundle, B::kUserDefaultLanguage, *inputs.userDefaultLanguage);
  }
  if (!inputs.userAttributes.empty()) {
    std::vector<APMPBUserAttribute> messages;
    messages.reserve(inputs.userAttributes.size() + 1);
    for (const APMUserAttribute& property : inputs.userAttributes) {
      messages.push_back(property.protoUserAttribute());
    }
    if (inputs.storedNPA) messages.push_back(inputs.storedNPA->protoUserAttribute());
    NANOSetMessageArray(bundle, B::kUserAttributes, messages);
  }
  if (inputs.adCampaignInfo && !inputs.adCampaignInfo->empty()) {
    if (std::optional<APMPBAdCampaignInfo> info =
            APMPBAdCampaignInfo::initWithBuffer(std::string_view(*inputs.adCampaignInfo))) {
      NANOSetMessage(bundle, B::kAdCampaignInfo, *info);
    }
  }
  if (inputs.odm1Value || inputs.odm1SessionValue || inputs.odm2Value) {
    using I = APMPBOnDeviceMeasurementInfo;
    APMPBOnDeviceMeasurementInfo info;
    if (inputs.odm1Value) NANOSetMessage(info, I::kOdm1Value, *inputs.odm1Value);
    if (inputs.odm1SessionValue)
      NANOSetMessage(info, I::kOdm1SessionValue, *inputs.odm1SessionValue);
    if (inputs.odm2Value) NANOSetMessage(info, I::kOdm2Value, *inputs.odm2Value);
    NANOSetMessage(bundle, B::kOnDeviceMeasurementInfo, info);
  }
  NANOSetInt32(bundle, B::kLinkedComponents, inputs.linkedComponents);
  return bundle;
}
