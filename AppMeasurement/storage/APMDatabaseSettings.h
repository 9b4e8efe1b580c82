#pragma once

#include <cstdint>

// What the measurement database reads of the remote and persisted configuration: three remote
// settings, the per-install midnight offset and the time of the last stale-data purge.
//
// This base answers the built-in defaults of the remote settings (the values in force while no
// server configuration is known), a midnight offset of 0 and an in-memory purge time that
// starts at 0. The engine plugs in a subclass that reads APMRemoteConfig and
// APMPersistedConfig. Called on the worker queue only.
class APMDatabaseSettings {
 public:
  virtual ~APMDatabaseSettings() = default;

  // "measurement.store.max_stored_events_per_app": raw events kept at most.
  virtual int32_t maxEventsStored() const { return 100000; }
  // "measurement.upload.max_queue_time", seconds: how far from now a bundle or raw event may
  // be stamped before the stale purge removes it.
  virtual double maxQueueTime() const { return 2419200; }
  // "measurement.upload.stale_data_deletion_interval", seconds between two stale purges.
  virtual double databaseDeleteStaleBundlesInterval() const { return 86400; }
  // Seconds subtracted from the wall clock before the day number is taken.
  virtual double midnightOffset() const { return 0; }
  // Seconds since 1970 of the last stale purge.
  virtual double lastDeleteStaleBundlesTimestamp() const { return lastDeleteStaleBundles_; }
  virtual void setLastDeleteStaleBundlesTimestamp(double timestamp) {
    lastDeleteStaleBundles_ = timestamp;
  }

 private:
  double lastDeleteStaleBundles_ = 0;
};
