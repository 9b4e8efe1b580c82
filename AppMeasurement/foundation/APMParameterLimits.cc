#include "AppMeasurement/foundation/APMParameterLimits.h"

#include <mutex>

namespace {

std::mutex& limitsMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

// Guarded by limitsMutex().
std::shared_ptr<const APMParameterLimits>& installedLimits() {
  static std::shared_ptr<const APMParameterLimits>& limits =
      *new std::shared_ptr<const APMParameterLimits>();
  return limits;
}

const std::shared_ptr<const APMParameterLimits>& defaultLimits() {
  // Never destroyed, as the installed limits: the worker queue reads them while the process
  // exits.
  static const std::shared_ptr<const APMParameterLimits>& limits =
      *new std::shared_ptr<const APMParameterLimits>(std::make_shared<APMDefaultParameterLimits>());
  return limits;
}

}  // namespace

std::shared_ptr<const APMParameterLimits> APMParameterLimits::current() {
  std::lock_guard<std::mutex> lock(limitsMutex());
  const auto& installed = installedLimits();
  return installed ? installed : defaultLimits();
}

void APMParameterLimits::install(std::shared_ptr<const APMParameterLimits> limits) {
  std::lock_guard<std::mutex> lock(limitsMutex());
  installedLimits() = std::move(limits);
}
