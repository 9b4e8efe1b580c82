#pragma once

#include <memory>
#include <mutex>

#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/features/APMSearchAdReporter.h"

// The engine's search-ads seam: holds the reporter the component block makes (none once
// attribution is settled or the tries are used up) and forwards the engine's calls to it.
// Worker queue, like the reporter.
class APMSearchAdReporterComponent : public APMSearchAdReporting {
 public:
  void resetWithWorkerQueue(std::shared_ptr<platform::DispatchQueue> workerQueue,
                            std::shared_ptr<APMPersistedConfig> persistedConfig) override;
  void setSearchAdReporterEnabled(bool enabled) override;
  void start() override;
  // The reporter, or nullptr. Any thread.
  std::shared_ptr<APMSearchAdReporter> reporter() const;

 private:
  mutable std::mutex mutex_;  // guards reporter_ (the pointer)
  std::shared_ptr<APMSearchAdReporter> reporter_;
};
