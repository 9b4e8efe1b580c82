#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/foundation/APMASLLogger.h"
#include "AppMeasurement/foundation/APMLogContext.h"
#include "AppMeasurement/foundation/APMMonitoringSampledData.h"
#include "platform/dispatch/DispatchQueue.h"

class APMUserDefaults;

// The library version that the process-wide monitor reports in health-data keys.
inline constexpr int64_t kAPMMonitorLibraryVersion = 111500;

// The measurement library's one logging object. A log call carries a level (0 to 8), a
// message code and context objects; the monitor decides, on the caller's thread, whether
// the line goes to the console (through APMASLLogger) and whether it competes for the
// health-data sample, which is kept in the suite "com.orvane.rzq.measurement.monitor".
// Console writes, sample updates and suite writes run in order on the serial queue
// "APMMonitorQueue", holding the monitor weakly. Every method may be called from any
// thread; monitoringDataForDispatch and clearMonitoringData wait for the monitor queue.
//
// Each sampled line puts the new sample into the suite at once (readers of the suite see it),
// and the suite is written to disk at most once per kSampleSaveInterval: a change after a
// quiet interval is written at once, later ones together when the interval since that write
// has passed (a delayed block on the monitor queue). What is still unwritten is written when
// the app enters the background or is about to terminate, when the monitor is destroyed and,
// for the process-wide monitor, when the process exits in order. A handed-out sample is
// written at once.
class APMMonitor : public std::enable_shared_from_this<APMMonitor> {
 public:
  // The process-wide monitor, made on first use with kAPMMonitorLibraryVersion. It is
  // never destroyed, and an orderly exit (std::exit or a return from main) first waits for
  // the work queued on its queue, so that the health data it saves is written.
  static std::shared_ptr<APMMonitor> monitor();

  // initWithLibraryVersion: level 6 and a new console writer.
  static std::shared_ptr<APMMonitor> create(int64_t libraryVersion);
  // initWithLogLevel:logger:libraryVersion:. Starts loading the persisted sample on the
  // monitor queue and, unless the app is an App Store install, applies the debug and
  // verbose launch arguments and persisted flags.
  static std::shared_ptr<APMMonitor> create(int logLevel, std::shared_ptr<APMASLLogger> logger,
                                            int64_t libraryVersion);

  ~APMMonitor();
  APMMonitor(const APMMonitor&) = delete;
  APMMonitor& operator=(const APMMonitor&) = delete;

  // The logging pipeline. An absent message prints "(Message was nil)".
  void logWithLevel(int level, int64_t messageCode, std::optional<std::string_view> message,
                    const std::vector<APMLogContext>& contexts);
  void logWithLevel(int level, int64_t messageCode, std::optional<std::string_view> message);
  void logWithLevel(int level, int64_t messageCode, std::optional<std::string_view> message,
                    APMLogContext context);
  void logWithLevel(int level, int64_t messageCode, std::optional<std::string_view> message,
                    APMLogContext context1, APMLogContext context2);
  void logWithLevel(int level, int64_t messageCode, std::optional<std::string_view> message,
                    APMLogContext context1, APMLogContext context2, APMLogContext context3);

  int logLevel() const { return logLevel_.load(); }
  void setLogLevel(int logLevel) { logLevel_.store(logLevel); }
  bool isDebugModeEnabled() const { return debugModeEnabled_.load(); }
  bool isVerboseLoggingEnabled() const { return verboseLoggingEnabled_.load(); }
  // Debug mode (level 7), persisted under "/orvane/measurement/debug_mode" in the app's own
  // user defaults. Ignored (taken as off) for an App Store install.
  void setDebugModeEnabled(bool enabled);
  // Verbose logging (level 8), persisted under "/orvane/measurement/verbose_logging".
  void setVerboseLoggingEnabled(bool enabled);
  // Server-side-tag debug mode (level 7), switched by a deep link and not persisted.
  void setSOTMDebugModeEnabled(bool enabled);
  bool encodeContexts() const { return encodeContexts_.load(); }
  void setEncodeContexts(bool encode) { encodeContexts_.store(encode); }
  std::string logTag() const;
  void setLogTag(std::string logTag);
  // Whether the core's own debug argument governs the utilities logger level.
  bool coreDebugFlag() const { return coreDebugFlag_; }

  // Whether a line of the level reaches the console: the utilities logger allows its
  // mapped level and the level is not silent.
  bool isLoggableLevel(int level) const;
  // Whether a line of the level is printed or sampled at all (the pipeline's first two
  // tests): when not, a log call builds nothing. For callers whose contexts are costly.
  bool isLoggedLevel(int level) const;

  // The health text to upload, if one is due; saves the suite when there is one.
  std::optional<std::string> monitoringDataForDispatch(double samplePeriod,
                                                       double lastSampledTimestamp);
  // Removes the persisted debug flag and sample and forgets the current sample.
  void clearMonitoringData();

  static bool isSilentLevel(int level);
  static bool isMonitorableLevel(int level);
  // "ERROR", "WARNING", "NOTICE", "DEBUG", or nothing for 8 and above.
  static std::optional<std::string> logLevelDescriptionFromLogLevel(int level);
  // "1" + level letter + "_" + version + ":" + message.
  static std::string monitoringDataKeyWithMessage(std::string_view message, int logLevel,
                                                  int64_t libraryVersion);
  static std::string encodedStringWithContextArray(const std::vector<APMLogContext>& contexts,
                                                   bool insertSpaces);
  static std::string encodedStringWithContextObject(const APMLogContext& context);
  static std::string stringWithLogMessage(std::optional<std::string_view> message, int logLevel,
                                          const std::vector<APMLogContext>& contexts,
                                          bool encodeContexts);
  // The first call-stack symbol (from the third line on) that names a measurement symbol,
  // else the exception's name.
  static std::string lastAPMSymbolFromException(const APMLogContext::ExceptionInfo& exception);

  // The shortest time between two writes of the health sample to disk, and so the longest
  // a change waits: seconds of uptime by the installed platform::Clock.
  static constexpr double kSampleSaveInterval = 5.0;

  // Keys of the persisted state.
  static constexpr std::string_view kSuiteName = "com.orvane.rzq.measurement.monitor";
  static constexpr std::string_view kDebugModeKey = "/orvane/measurement/debug_mode";
  static constexpr std::string_view kVerboseLoggingKey = "/orvane/measurement/verbose_logging";
  static constexpr std::string_view kHealthMonitorKey = "/orvane/measurement/health_monitor";
  static constexpr std::string_view kMigrationStateKey =
      "/orvane/measurement/monitor_migration_state";

  // Moves the health data of older versions from the app's own user defaults into the
  // suite, driven by the suite's migration state. Only on the monitor queue (checked: a call
  // from elsewhere is logged and, in debug builds, aborts); start-up queues it there.
  void migrateMonitorDataOnMonitorQueue();

  // For tests: replaces the random source of the sample (runs on the monitor queue).
  void setSampleRandomForTesting(APMMonitoringSampledData::RandomUniform random);
  // The monitor queue, for tests that wait on it.
  const std::shared_ptr<platform::DispatchQueue>& monitorQueue() const { return monitorQueue_; }

 private:
  APMMonitor(int logLevel, std::shared_ptr<APMASLLogger> logger, int64_t libraryVersion);
  void start();
  // Exit handler of the process-wide monitor: waits for its queue.
  static void finishQueuedWorkAtExit();
  void applyLaunchSettings();
  void setUtilitiesLevelUnlessCoreDebug(int logLevel);
  // Only on the monitor queue (checked, as above).
  void loadSampleOnMonitorQueue();
  // Puts the current sample into the suite (in memory) and writes the suite now.
  void saveSampleOnMonitorQueue();
  // Puts the current sample into the suite and arranges its write (debounced, see above).
  void noteSampleChangedOnMonitorQueue();
  // Writes the suite when a sample change is still unwritten.
  void saveSampleIfNeededOnMonitorQueue();
  void storeSampleOnMonitorQueue();
  // Writes the suite to disk (the only place the sample's writes happen).
  void writeSuiteOnMonitorQueue();

  std::atomic<int> logLevel_;
  std::shared_ptr<APMASLLogger> logger_;
  const int64_t libraryVersion_;
  std::shared_ptr<platform::DispatchQueue> monitorQueue_;
  std::shared_ptr<APMUserDefaults> suite_;
  bool isAppStoreInstall_ = false;
  bool coreDebugFlag_ = false;
  std::atomic<bool> debugModeEnabled_{false};
  std::atomic<bool> verboseLoggingEnabled_{false};
  std::atomic<bool> encodeContexts_{false};
  mutable std::mutex tagMutex_;
  std::string logTag_ = "<AppMeasurement>";
  // Only touched on the monitor queue.
  std::unique_ptr<APMMonitoringSampledData> sampledData_;
  APMMonitoringSampledData::RandomUniform sampleRandom_;
  bool saveScheduled_ = false;
  std::optional<double> lastWriteUptime_;
  // Set on the monitor queue; read also by the destructor, which no queued block outlives.
  std::atomic<bool> saveNeeded_{false};
  // Background and termination observers (notification centre tokens).
  std::vector<uint64_t> lifecycleObservers_;
};
