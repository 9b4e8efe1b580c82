#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/runtime/RuntimeObject.h"
#include "platform/utilities/OULError.h"

// The protocol through which the measurement engine talks to the on-device conversion service.
// Header only: the engine finds the service by class name ("ODCConversionService", whose
// factory answers the shared instance) and needs nothing else of the library.
class ODCConversionServiceProtocol : public platform::RuntimeObject {
 public:
  // (conversion string or nullopt, error or nullopt); called once, on a global queue.
  using Completion = std::function<void(const std::optional<std::string>& conversionInfo,
                                        const std::optional<OULError>& error)>;

  // The app's first-launch time (seconds since 1970); nullopt is ignored. Returns at once.
  virtual void setFirstLaunchTime(std::optional<double> date) = 0;
  // Interaction 0 (the installation) only; another value logs 8000 / 8001 and never completes.
  virtual void fetchAggregateConversionInfoForInteraction(int64_t interaction,
                                                          Completion completion) = 0;
  virtual void fetchMeasurementInfoForInteraction(int64_t interaction, Completion completion) = 0;
  virtual std::string versionString() const = 0;
  // Above 10000: the current generation of the service.
  virtual int64_t versionNumber() const = 0;
};
