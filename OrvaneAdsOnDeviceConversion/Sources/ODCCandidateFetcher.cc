#include "OrvaneAdsOnDeviceConversion/Sources/ODCCandidateFetcher.h"

#include <cmath>
#include <limits>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCSerializationUtil.h"
#include "absl/strings/escaping.h"

namespace {

// The next whole minute strictly after the first launch, in seconds (60 without one).
// Saturates instead of overflowing for absurd stored dates.
int64_t timeOfFirstOpen(std::optional<double> firstLaunch) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 60 * 60 - 60;
  double seconds = firstLaunch.value_or(0.0);
  if (!std::isfinite(seconds)) seconds = 0;
  const int64_t whole = seconds >= static_cast<double>(kMax)    ? kMax
                        : seconds <= -static_cast<double>(kMax) ? -kMax
                                                                : static_cast<int64_t>(seconds);
  return (whole / 60 + 1) * 60;
}

}  // namespace

void ODCCandidateFetcher::executeTask() {
  ODCLogDebug(6004, "Fetching PSM candidates");
  request(PSMRequestURL(), context()->candidateRequestPayload.value_or(""),
          static_cast<Handler>(&ODCCandidateFetcher::handlePSMResponse));
}

std::string ODCCandidateFetcher::PSMRequestURL() const {
  std::optional<double> firstLaunch;
  if (context()->conversionStore) firstLaunch = context()->conversionStore->firstLaunchTimestamp();
  return "/odm/psm?" + commonQueryParameters() +
         "&tfo=" + std::to_string(timeOfFirstOpen(firstLaunch));
}

void ODCCandidateFetcher::handlePSMResponse(const std::optional<OULHTTPURLResponse>& response,
                                            const std::optional<std::string>& data,
                                            const std::optional<OULError>& error) {
  std::optional<OULError> failure = error;
  if (!failure && response && checkHTTPResponse(*response, &failure)) {
    findPSMMatchesWithData(data.value_or(""), &failure);
  }
  finishTaskWithError(failure);
}

std::optional<std::string> ODCCandidateFetcher::PSMResponseFromData(
    const std::string& data, std::optional<OULError>* error) {
  auto json = ODCJSONObjectFromData(data, error);
  if (!json) return std::nullopt;
  const platform::Value* encoded = json->find("psm_response");
  if (encoded == nullptr || !encoded->isString()) {
    *error = ODCErrorWithCode(6002, "PSM response is not a string.");
    return std::nullopt;
  }
  std::string bytes;
  if (!absl::WebSafeBase64Unescape(*encoded->asString(), &bytes)) {
    *error = ODCErrorWithCode(6003, "Failed to unescape PSM response.");
    return std::nullopt;
  }
  return bytes;
}

bool ODCCandidateFetcher::findPSMMatchesWithData(const std::string& data,
                                                 std::optional<OULError>* error) {
  std::optional<std::string> bytes = PSMResponseFromData(data, error);
  if (!bytes) return false;
  auto response = APMSerializationUtil::DeserializePSMResponse(*bytes);
  if (!response.ok()) {
    *error = ODCErrorWithCode(6000, "Failed to deserialize PSM response.");
    return false;
  }
  if (!context()->PSMClient) {
    *error = ODCErrorWithCode(6001, "Failed to process PSM response.");
    return false;
  }
  auto values = context()->PSMClient->ProcessResponse(*response);
  if (!values.ok()) {
    *error = ODCErrorWithCode(6001, "Failed to process PSM response.");
    return false;
  }
  std::optional<std::string> mvs = ODCSerializationUtil::serializeMVs(*values);
  if (!mvs) {
    *error = ODCErrorWithCode(6005, "Failed to convert PSM response to MVs.");
    return false;
  }
  const std::string encoded = absl::WebSafeBase64Escape(*mvs);
  if (encoded.empty()) {
    *error = ODCErrorWithCode(6007, "Empty MVs from PSM response conversion.");
    return false;
  }
  platform::Value body{platform::Value::Dictionary{}};
  body["mvs"] = encoded;
  body["odmed"] = context()->extensionData.value_or("");
  context()->matchRequestPayload = ODCDataFromJSONObject(body);
  if (!context()->matchRequestPayload) {
    *error = ODCErrorWithCode(6006, "Failed to create validation request data.");
    return false;
  }
  return true;
}
