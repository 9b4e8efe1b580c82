#pragma once

#include <optional>
#include <string>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCAsyncTask.h"

// Second step: POST the request to "/odm/psm", turn the answer into matched values and build
// the validation payload from them.
class ODCCandidateFetcher final : public ODCAsyncTask {
 public:
  using ODCAsyncTask::ODCAsyncTask;

  void executeTask() override;
  // "/odm/psm?<common>&tfo=<next whole minute after the first launch>".
  std::string PSMRequestURL() const;
  void handlePSMResponse(const std::optional<OULHTTPURLResponse>& response,
                         const std::optional<std::string>& data,
                         const std::optional<OULError>& error);
  bool findPSMMatchesWithData(const std::string& data, std::optional<OULError>* error);
  std::optional<std::string> PSMResponseFromData(const std::string& data,
                                                 std::optional<OULError>* error);
};
