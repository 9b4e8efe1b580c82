#include "OrvaneAdsOnDeviceConversion/Sources/ODCMatchValidator.h"

#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"

void ODCMatchValidator::executeTask() {
  ODCLogDebug(7002, "Validating matches");
  request(validationRequestURL(), context()->matchRequestPayload.value_or(""),
          static_cast<Handler>(&ODCMatchValidator::handleValidateResponse));
}

std::string ODCMatchValidator::validationRequestURL() const {
  return "/odm/validate?" + commonQueryParameters();
}

void ODCMatchValidator::handleValidateResponse(const std::optional<OULHTTPURLResponse>& response,
                                               const std::optional<std::string>& data,
                                               const std::optional<OULError>& error) {
  std::optional<OULError> failure = error;
  if (!failure && response && checkHTTPResponse(*response, &failure)) {
    storeValidatedPSMValue(data.value_or(""), &failure);
  }
  finishTaskWithError(failure);
}

bool ODCMatchValidator::storeValidatedPSMValue(const std::string& data,
                                               std::optional<OULError>* error) {
  auto json = ODCJSONObjectFromData(data, error);
  if (!json) return false;
  const platform::Value* measurement = json->find("mv_oa4k");
  if (measurement == nullptr || !measurement->isString()) {
    *error = ODCErrorWithCode(7000, "Measurement info is not a string.");
    return false;
  }
  const platform::Value* aggregate = json->find("mv_aaps");
  if (aggregate == nullptr || !aggregate->isString()) {
    *error = ODCErrorWithCode(7001, "Aggregate conversion info is not a string.");
    return false;
  }
  context()->aggregateConversionInfo = *aggregate->asString();
  context()->measurementInfo = *measurement->asString();
  return true;
}
