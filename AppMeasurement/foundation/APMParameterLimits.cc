#include "AppMeasurement/foundation/APMParameterLimits.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <vector>

namespace {

std::mutex& limitsMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

// Guarded by limitsMutex(); the newest last.
std::vector<std::shared_ptr<const APMParameterLimits>>& installedLimits() {
  static std::vector<std::shared_ptr<const APMParameterLimits>>& limits =
      *new std::vector<std::shared_ptr<const APMParameterLimits>>();
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
  return installed.empty() ? defaultLimits() : installed.back();
}

void APMParameterLimits::install(std::shared_ptr<const APMParameterLimits> limits) {
  if (!limits) return;
  std::lock_guard<std::mutex> lock(limitsMutex());
  installedLimits().push_back(std::move(limits));
}

void APMParameterLimits::remove(const APMParameterLimits* limits) {
  // Released after the lock: the provider may be the last reference to its owner.
  std::shared_ptr<const APMParameterLimits> removed;
  std::lock_guard<std::mutex> lock(limitsMutex());
  auto& installed = installedLimits();
  auto found = std::find_if(installed.rbegin(), installed.rend(),
                            [limits](const auto& entry) { return entry.get() == limits; });
  if (found == installed.rend()) return;
  removed = std::move(*found);
  installed.erase(std::next(found).base());
}
