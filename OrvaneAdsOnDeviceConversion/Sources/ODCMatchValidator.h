#pragma once

#include <optional>
#include <string>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCAsyncTask.h"

// Last step: POST the matched values to "/odm/validate" and keep the two conversion strings of
// the answer in the context.
class ODCMatchValidator final : public ODCAsyncTask {
 public:
  using ODCAsyncTask::ODCAsyncTask;

  void executeTask() override;
  std::string validationRequestURL() const;
  void handleValidateResponse(const std::optional<OULHTTPURLResponse>& response,
                              const std::optional<std::string>& data,
                              const std::optional<OULError>& error);
  bool storeValidatedPSMValue(const std::string& data, std::optional<OULError>* error);
};
