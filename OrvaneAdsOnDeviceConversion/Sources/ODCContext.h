#pragma once

#include <memory>
#include <optional>
#include <string>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionStore.h"
#include "ads/conversion_tracking/app_conversion/odm/on_device_measurement_v2_client.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULNetwork.h"

// What the three tasks of one matching attempt share: the network, queue and store given at
// creation, the app's identity, and the per-attempt client, request, payloads and results.
// Touched on serialQueue only.
struct ODCContext {
  static constexpr const char* kSDKVersion = "2.1.0";

  ODCContext(std::shared_ptr<OULNetwork> network,
             std::shared_ptr<platform::DispatchQueue> serialQueue,
             std::shared_ptr<ODCConversionStore> conversionStore);

  const std::shared_ptr<OULNetwork> network;
  const std::shared_ptr<platform::DispatchQueue> serialQueue;
  const std::shared_ptr<ODCConversionStore> conversionStore;  // may be null
  const std::string SDKVersion = kSDKVersion;
  const std::string bundleID;    // main bundle's identifier, empty when absent
  const std::string appVersion;  // "CFBundleShortVersionString", empty when absent

  bool isSourceOA4K = true;
  // Per attempt.
  std::unique_ptr<ads::conversion_tracking::app_conversion::odm::OnDeviceMeasurementV2Client>
      PSMClient;
  std::optional<std::string> extensionData;
  std::optional<std::string> PSMRequest;
  std::optional<std::string> candidateRequestPayload;
  std::optional<std::string> matchRequestPayload;
  std::optional<std::string> aggregateConversionInfo;
  std::optional<std::string> measurementInfo;
};
