#include "OrvaneAdsOnDeviceConversion/Sources/ODCConfigFetcher.h"

#include <cmath>
#include <limits>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCSerializationUtil.h"
#include "absl/strings/escaping.h"

namespace {

// The number as a 32-bit prefix length: integers within int32, reals truncated when the result
// is within int32. JSON's true and false are numbers too (1 and 0); everything else is no prefix
// length.
std::optional<int32_t> prefixLengthOf(const platform::Value& value) {
  if (const bool* flag = value.asBool()) return *flag ? 1 : 0;
  if (const int64_t* integer = value.asInteger()) {
    if (*integer < std::numeric_limits<int32_t>::min() ||
        *integer > std::numeric_limits<int32_t>::max()) {
      return std::nullopt;
    }
    return static_cast<int32_t>(*integer);
  }
  if (const double* real = value.asReal()) {
    const double truncated = std::trunc(*real);
    if (!std::isfinite(truncated) || truncated < std::numeric_limits<int32_t>::min() ||
        truncated > std::numeric_limits<int32_t>::max()) {
      return std::nullopt;
    }
    return static_cast<int32_t>(truncated);
  }
  return std::nullopt;
}

}  // namespace

void ODCConfigFetcher::executeTask() {
  ODCLogDebug(5005, "Fetching config");
  updateODM2RetryCount();
  request(configRequestURL(), std::nullopt,
          static_cast<Handler>(&ODCConfigFetcher::handlePSMConfigResponse));
}

std::string ODCConfigFetcher::configRequestURL() const {
  return "/odm/config?" + commonQueryParameters();
}

void ODCConfigFetcher::updateODM2RetryCount() {
  const auto& store = context()->conversionStore;
  if (!store) return;
  std::optional<int64_t> count = store->odm2RetryCount();
  if (!count) {
    store->setOdm2RetryCount(0);
  } else if (*count < std::numeric_limits<int32_t>::max()) {
    store->setOdm2RetryCount(*count + 1);
  }
}

void ODCConfigFetcher::handlePSMConfigResponse(const std::optional<OULHTTPURLResponse>& response,
                                               const std::optional<std::string>& data,
                                               const std::optional<OULError>& error) {
  std::optional<OULError> failure = error;
  if (!failure && response && checkHTTPResponse(*response, &failure)) {
    if (!data || data->empty()) {
      ODCLogDebug(5006, "Skipping PSM. Received empty config.");
      finishWithoutConversionInfoAndMeasurementInfo();
      return;
    }
    createPSMRequestWithData(*data, &failure);
  }
  finishTaskWithError(failure);
}

void ODCConfigFetcher::finishWithoutConversionInfoAndMeasurementInfo() {
  context()->aggregateConversionInfo.reset();
  context()->measurementInfo.reset();
  finishTaskChainWithError(std::nullopt);
}

bool ODCConfigFetcher::parsePSMConfigData(const std::string& data, std::optional<OULError>* error) {
  auto json = ODCJSONObjectFromData(data, error);
  if (!json) return false;
  const platform::Value* matching = json->find("matching_id");
  if (matching == nullptr || !matching->isString()) {
    *error = ODCErrorWithCode(5002, "Matching ID is not a string.");
    return false;
  }
  const platform::Value* date = json->find("bucketed_date");
  if (date == nullptr || !date->isString()) {
    *error = ODCErrorWithCode(5003, "Bucketed date is not a string.");
    return false;
  }
  const platform::Value* prefix = json->find("prefix_length");
  std::optional<int32_t> prefixLength = prefix ? prefixLengthOf(*prefix) : std::nullopt;
  if (!prefixLength) {
    *error = ODCErrorWithCode(5004, "Prefix length is not a number.");
    return false;
  }
  matchingID_ = *matching->asString();
  bucketizedDate_ = *date->asString();
  prefixLength_ = *prefixLength;
  const platform::Value* extension = json->find("extension_data");
  if (extension != nullptr && extension->isString()) {
    extensionData_ = *extension->asString();
  } else {
    ODCLogWarning(5009, "Extension data is not a string.");
    extensionData_.reset();
  }
  return true;
}

bool ODCConfigFetcher::createPSMRequestWithData(const std::string& data,
                                                std::optional<OULError>* error) {
  if (!parsePSMConfigData(data, error)) return false;
  namespace odm = ads::conversion_tracking::app_conversion::odm;
  auto client = odm::OnDeviceMeasurementV2Client::Create(
      matchingID_, bucketizedDate_, context()->bundleID, prefixLength_,
      &ODCSerializationUtil::parseUnencryptedMetadata);
  if (!client.ok()) {
    *error = ODCErrorWithCode(5000, "Failed to create PSM client.");
    return false;
  }
  auto request = (*client)->CreateRequest();
  if (!request.ok()) {
    *error = ODCErrorWithCode(5001, "Failed to create PSM request.");
    return false;
  }
  context()->PSMRequest =
      absl::WebSafeBase64Escape(APMSerializationUtil::SerializePSMRequest(*request));
  context()->PSMClient = *std::move(client);
  context()->extensionData = extensionData_;
  if (!context()->PSMRequest) {
    *error = ODCErrorWithCode(5007, "Failed to convert PSM request to string.");
    return false;
  }
  if (context()->PSMRequest->empty()) {
    *error = ODCErrorWithCode(5010, "Empty PSM request.");
    return false;
  }
  platform::Value body{platform::Value::Dictionary{}};
  body["psm_request"] = *context()->PSMRequest;
  body["odmed"] = extensionData_.value_or("");
  context()->candidateRequestPayload = ODCDataFromJSONObject(body);
  if (!context()->candidateRequestPayload) {
    *error = ODCErrorWithCode(5008, "Failed to create candidate request payload.");
    return false;
  }
  return true;
}
