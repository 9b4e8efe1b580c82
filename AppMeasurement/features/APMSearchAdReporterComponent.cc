#include "AppMeasurement/features/APMSearchAdReporterComponent.h"

void APMSearchAdReporterComponent::resetWithWorkerQueue(
    std::shared_ptr<platform::DispatchQueue> workerQueue,
    std::shared_ptr<APMPersistedConfig> persistedConfig) {
  std::shared_ptr<APMSearchAdReporter> made =
      APMSearchAdReporter::create(std::move(workerQueue), std::move(persistedConfig));
  std::shared_ptr<APMSearchAdReporter> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::move(reporter_);
    reporter_ = std::move(made);
  }
  if (previous) previous->cancelScheduling();
}

void APMSearchAdReporterComponent::setSearchAdReporterEnabled(bool enabled) {
  if (std::shared_ptr<APMSearchAdReporter> current = reporter()) {
    current->setSearchAdReporterEnabled(enabled);
  }
}

void APMSearchAdReporterComponent::start() {
  if (std::shared_ptr<APMSearchAdReporter> current = reporter()) current->start();
}

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporterComponent::reporter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reporter_;
}
