#pragma once

#include <optional>
#include <string>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCAsyncTask.h"

// First step: GET "/odm/config", then build the second-generation request and the candidate
// payload. An empty answer ends the whole attempt at once, without error and without strings.
class ODCConfigFetcher final : public ODCAsyncTask {
 public:
  using ODCAsyncTask::ODCAsyncTask;

  void executeTask() override;
  std::string configRequestURL() const;
  // Store count absent: 0; else count + 1 (saturating). Runs on every execution.
  void updateODM2RetryCount();
  void handlePSMConfigResponse(const std::optional<OULHTTPURLResponse>& response,
                               const std::optional<std::string>& data,
                               const std::optional<OULError>& error);
  void finishWithoutConversionInfoAndMeasurementInfo();
  bool createPSMRequestWithData(const std::string& data, std::optional<OULError>* error);
  bool parsePSMConfigData(const std::string& data, std::optional<OULError>* error);

 private:
  std::string matchingID_;
  std::string bucketizedDate_;
  int32_t prefixLength_ = 0;
  std::optional<std::string> extensionData_;
};
