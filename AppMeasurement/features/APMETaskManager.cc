#include "AppMeasurement/features/APMETaskManager.h"

#include <cfloat>
#include <cmath>
#include <exception>

#include "AppMeasurement/features/APMEExperimentRequestBuilder.h"
#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/OULGzip.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULNetworkConstants.h"

namespace {

constexpr double kFetchInterval = 14400;  // four hours after a success
constexpr double kInitialDelay = 10;      // at the earliest after a start
constexpr double kBackoffHold = 43200;    // twelve hours after a back-off status
constexpr double kFirstRetryStep = 1800;  // doubled for each of the six steps
constexpr double kMinimumDelay = 0.001;

APMEMonitor& monitor() { return APMEManager::monitor(); }
double now() { return platform::Clock::current()->now(); }

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

}  // namespace

APMETaskManager::APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue,
                                 std::shared_ptr<APMAlarm> alarm,
                                 std::shared_ptr<OULNetwork> network,
                                 std::shared_ptr<APMUserDefaults> persistedStorage,
                                 std::string databasePath, double initTimestamp)
    : workerQueue_(std::move(queue)),
      alarm_(std::move(alarm)),
      network_(std::move(network)),
      persistedStorage_(std::move(persistedStorage)),
      databasePath_(std::move(databasePath)),
      initializationTimestamp_(initTimestamp) {}

APMETaskManager::~APMETaskManager() = default;

std::shared_ptr<APMETaskManager> APMETaskManager::create() {
  auto queue = platform::DispatchQueue::createSerial("APMExperimentWorkerQueue");
  return create(queue, APMAlarm::create(queue, "APMExperimentAlarm"),
                OULNetwork::create(APMRemoteConfig::hosts().config),
                std::make_shared<APMUserDefaults>(std::string(kSuiteName)),
                APMApplicationSupportPath(APMEDatabase::kFileName), now());
}

std::shared_ptr<APMETaskManager> APMETaskManager::create(
    std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<APMAlarm> alarm,
    std::shared_ptr<OULNetwork> network, std::shared_ptr<APMUserDefaults> persistedStorage,
    std::string databasePath, double initTimestamp) {
  return std::shared_ptr<APMETaskManager>(
      new APMETaskManager(std::move(queue), std::move(alarm), std::move(network),
                          std::move(persistedStorage), std::move(databasePath), initTimestamp));
}

std::string APMETaskManager::fetchURL() {
  std::string host = APMRemoteConfig::hosts().config;
  return platform::URL::schemePrefixForHost(host) + host + "/sdk-exp";
}

void APMETaskManager::setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  return delegate_.lock();
}

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
  workerQueue_->async([block = std::move(block)] {
    try {
      block();
    } catch (const std::exception& exception) {
      monitor().logWithLevel(1, 820026, "Exception on async worker queue",
                             std::string(exception.what()));
    }
  });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
  std::exception_ptr raised;
  workerQueue_->sync([&] {
    try {
      block();
    } catch (const std::exception& exception) {
      monitor().logWithLevel(1, 820027, "Exception on sync worker queue",
                             std::string(exception.what()));
      raised = std::current_exception();
    }
  });
  if (raised) std::rethrow_exception(raised);
}

void APMETaskManager::startTaskManager() {
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  dispatchAsyncOnWorkerQueue([weakSelf] {
    if (auto self = weakSelf.lock()) self->startTaskManagerOnWorkerQueue();
  });
}

void APMETaskManager::startTaskManagerOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
  database_ = APMEDatabase::create(databasePath_);
  if (!database_) return;
  if (fetchAllSnapshotsOnWorkerQueue()) {
    monitor().logWithLevel(8, 820009, "Successfully start the task manager");
    if (std::shared_ptr<APMETaskManagerDelegate> delegate = this->delegate()) {
      auto read = [](std::optional<std::vector<APMESnapshot>> snapshots, const APMErrorSlot& error,
                     long code, const char* message) {
        if ((!snapshots || snapshots->empty()) && error) {
          monitor().logWithLevel(2, code, message, *error);
        }
        return snapshots.value_or(std::vector<APMESnapshot>{});
      };
      APMErrorSlot activatedError, pendingError, launchedError;
      std::vector<APMESnapshot> activated =
          read(database_->fetchAllActivatedSnapshots(&activatedError), activatedError, 820010,
               "Error in fetching all activated snapshots. Error");
      std::vector<APMESnapshot> pending =
          read(database_->fetchAllPendingSnapshots(&pendingError), pendingError, 820011,
               "Error in fetching all pending snapshots. Error");
      std::vector<APMESnapshot> launched =
          read(database_->fetchAllLaunchedSnapshots(&launchedError), launchedError, 820012,
               "Error in fetching all launched snapshots. Error");
      delegate->taskManagerDidStart(*this, activated, pending, launched);
    }
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

bool APMETaskManager::fetchAllSnapshotsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("fetchAllSnapshotsOnWorkerQueue");
  bool started = database_->performTransaction([this] {
    APMErrorSlot error;
    if (!database_->deleteStaleActivatedSnapshots(&error)) {
      if (error) {
        monitor().logWithLevel(1, 820006, "Cannot delete stale activated snapshots. Error", *error);
      }
      return false;
    }
    if (!database_->activatePendingSnapshotsAutomatically(&error)) {
      if (error) {
        monitor().logWithLevel(1, 820007, "Cannot activate pending snapshots automatically. Error",
                               *error);
      }
      return false;
    }
    return true;
  });
  if (!started) monitor().logWithLevel(2, 820008, "Failed to start the task manager");
  return started;
}

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccess,
                                                             double lastFailure) {
  double current = now();
  // A success recorded in the future (a clock set back) counts as far in the past.
  double success = current - std::fabs(lastSuccess - current);
  double base = success + kFetchInterval;
  if (!hasMadeInitialFetch_) {
    hasMadeInitialFetch_ = true;
    return std::max(base, current + kInitialDelay);
  }
  if (!(lastFailure > 0)) return base;
  double t = success != 0 ? base : initializationTimestamp_;
  double step = kFirstRetryStep;
  for (int k = 0; k < 6; ++k, step *= 2) {
    t += step;
    if (t > lastFailure) return t;
  }
  return 0;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
  double t = fetchTimeFromLastSuccessfulTimestamp(persistedStorage_->doubleForKey(kSuccessKey),
                                                  persistedStorage_->doubleForKey(kFailureKey));
  if (std::fabs(t) < DBL_EPSILON) {
    persistedStorage_->removeObjectForKey(kSuccessKey);
    monitor().logWithLevel(2, 820024,
                           "Network attempted too many times. Will not schedule new network.");
    return;
  }
  double current = now();
  if (std::optional<double> armed = alarm_->scheduledTimestamp(); armed && *armed <= t) {
    monitor().logWithLevel(
        8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
        *armed - current);
    return;
  }
  double backoff = persistedStorage_->doubleForKey(kBackoffKey);
  if (backoff != 0 && current - backoff < kBackoffHold) t = std::max(t, backoff + kBackoffHold);
  double delay = t - current;
  if (std::fabs(delay) < DBL_EPSILON || delay < 0) delay = kMinimumDelay;
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  alarm_->runAfterDelay(delay, [weakSelf] {
    std::shared_ptr<APMETaskManager> self = weakSelf.lock();
    if (!self) return;
    std::shared_ptr<APMETaskManagerDelegate> delegate = self->delegate();
    if (delegate && !delegate->taskManagerShouldFetchExperiments(*self)) {
      self->postponeFetchExperiments();
    } else {
      self->fetchExperiments();
    }
  });
}

void APMETaskManager::postponeFetchExperiments() {
  persistedStorage_->setDouble(now(), kSuccessKey);
  persistedStorage_->removeObjectForKey(kFailureKey);
  persistedStorage_->removeObjectForKey(kBackoffKey);
  persistedStorage_->synchronize();
  scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::fetchExperiments() {
  APMPBExperimentRequest request = APMEExperimentRequestBuilder::sharedInstance().request();
  std::string payload = request.protoBuffer().value_or(std::string());
  if (monitor().recordsLevel(8)) {
    monitor().logWithLevel(8, 820001, "Fetching new experiments. Request",
                           APMLogContext::object(request.className(), std::nullopt, &request));
  }
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  auto completion = [weakSelf](const std::optional<OULHTTPURLResponse>& response,
                               const std::optional<std::string>& data,
                               const std::optional<OULError>& error) {
    std::shared_ptr<APMETaskManager> self = weakSelf.lock();
    if (!self) return;
    std::optional<std::string> body;
    if (data) {
      OULError inflateError;
      body = oul_dataByInflatingGzippedData(*data, &inflateError);
      if (!body) {
        monitor().logWithLevel(2, 820023, "Cannot inflate downloaded experiment data. Error",
                               inflateError.description);
      }
    }
    self->handleFetchingExperimentsResponse(response, body, error);
  };
  if (!network_) {
    completion(std::nullopt, std::nullopt,
               OULError{kOULNetworkErrorDomain, OULNetworkErrorCodeInvalidURL, "No network"});
    return;
  }
  network_->postURL(fetchURL(), std::move(payload), workerQueue_, false, completion);
}

void APMETaskManager::handleFetchingExperimentsResponse(
    const std::optional<OULHTTPURLResponse>& response, const std::optional<std::string>& data,
    const std::optional<OULError>& error) {
  int64_t status = response ? response->statusCode : 0;
  double current = now();
  if (status != kOULNetworkHTTPStatusOK && status != kOULNetworkHTTPStatusNoContent) {
    persistedStorage_->setDouble(current, kFailureKey);
    if (status == kOULNetworkHTTPStatusCodeUnavailable ||
        status == kOULNetworkHTTPStatusCodeCannotAcceptTraffic) {
      persistedStorage_->setDouble(current, kBackoffKey);
    }
    persistedStorage_->synchronize();
    monitor().logWithLevel(1, 820002, "Network fetch failed. Will retry later. Code, error", status,
                           error ? error->description : std::string());
    scheduleFetchingExperimentsOnWorkerQueue();
    return;
  }
  std::optional<APMPBExperimentResponse> message = APMPBExperimentResponse::initWithBuffer(
      data ? std::optional<std::string_view>(*data) : std::nullopt);
  if (monitor().recordsLevel(8)) {
    monitor().logWithLevel(8, 820003, "Successful fetch. Got network response. Code, data", status,
                           data ? APMLogContext(platform::Value::bytes(*data)) : APMLogContext());
  }
  persistedStorage_->setDouble(current, kSuccessKey);
  persistedStorage_->removeObjectForKey(kFailureKey);
  persistedStorage_->removeObjectForKey(kBackoffKey);
  persistedStorage_->synchronize();
  std::vector<APMESnapshot> snapshots =
      experimentSnapshotsFromExperimentResponse(message).value_or(std::vector<APMESnapshot>{});
  std::map<std::string, APMError> errors =
      errorsFromExperimentResponse(message).value_or(std::map<std::string, APMError>{});
  if (!snapshots.empty() && database_) {
    APMErrorSlot upsertError;
    if (!database_->upsertPendingExperimentSnapshots(snapshots, &upsertError)) {
      platform::Value::Array described;
      for (const APMESnapshot& snapshot : snapshots) described.emplace_back(snapshot.description());
      monitor().logWithLevel(1, 820022, "Cannot upsert pending snapshots. Error, snapshots",
                             errorContext(upsertError), platform::Value(std::move(described)));
    }
  }
  if (std::shared_ptr<APMETaskManagerDelegate> delegate = this->delegate()) {
    delegate->taskManagerDidFinishFetching(*this, snapshots, errors);
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<std::vector<APMESnapshot>> APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const std::optional<APMPBExperimentResponse>& response) {
  if (!response) {
    monitor().logWithLevel(2, 820015, "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  std::vector<APMPBSnapshot> messages =
      NANOGetMessageArray<APMPBSnapshot>(*response, APMPBExperimentResponse::kSnapshots)
          .value_or(std::vector<APMPBSnapshot>{});
  if (messages.empty()) {
    for (const APMPBSdkResponse& sdk :
         NANOGetMessageArray<APMPBSdkResponse>(*response, APMPBExperimentResponse::kSdkResponses)
             .value_or(std::vector<APMPBSdkResponse>{})) {
      std::optional<APMPBSnapshot> snapshot =
          NANOGetMessage<APMPBSnapshot>(sdk, APMPBSdkResponse::kSnapshot);
      if (!snapshot || !NANOHasField(sdk, APMPBSdkResponse::kSnapshot)) continue;
      std::optional<std::string> name = NANOGetString(sdk, APMPBSdkResponse::kName);
      if (name && !name->empty()) NANOSetString(*snapshot, APMPBSnapshot::kName, *name);
      messages.push_back(std::move(*snapshot));
    }
  }
  std::vector<APMESnapshot> snapshots;
  for (const APMPBSnapshot& message : messages) {
    std::optional<APMESnapshot> snapshot = APMESnapshot::initWithProtobuf(message);
    if (!snapshot) {
      monitor().logWithLevel(2, 820016, "Cannot create a snapshot from the proto");
      continue;
    }
    snapshots.push_back(std::move(*snapshot));
  }
  return snapshots;
}

std::optional<std::map<std::string, APMError>> APMETaskManager::errorsFromExperimentResponse(
    const std::optional<APMPBExperimentResponse>& response) {
  if (!response) return std::nullopt;
  std::map<std::string, APMError> errors;
  for (const APMPBSdkResponse& sdk :
       NANOGetMessageArray<APMPBSdkResponse>(*response, APMPBExperimentResponse::kSdkResponses)
           .value_or(std::vector<APMPBSdkResponse>{})) {
    if (!NANOHasField(sdk, APMPBSdkResponse::kErrorCode)) continue;
    int32_t status = NANOGetInt32(sdk, APMPBSdkResponse::kErrorCode);
    std::optional<std::string> name = NANOGetString(sdk, APMPBSdkResponse::kName);
    if (status == 0 || !name || name->empty()) continue;
    int64_t code = status >= 1 && status <= 3 ? -(int64_t{status} + 1) : -1;
    errors.insert_or_assign(*name, APMError(std::string(kErrorDomain), code));
  }
  return errors;
}

std::optional<std::vector<APMESnapshot>> APMETaskManager::experimentSnapshotsFromData(
    std::string_view data) {
  if (data.empty()) {
    monitor().logWithLevel(2, 820025, "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  return experimentSnapshotsFromExperimentResponse(APMPBExperimentResponse::initWithBuffer(data));
}

void APMETaskManager::activatePendingSnapshot(const std::optional<APMESnapshot>& snapshot,
                                              double timestamp) {
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  dispatchAsyncOnWorkerQueue([weakSelf, snapshot, timestamp] {
    std::shared_ptr<APMETaskManager> self = weakSelf.lock();
    if (!self) return;
    if (!snapshot) {
      monitor().logWithLevel(0, 820013, "Cannot activate an empty snapshot");
      return;
    }
    if (!self->database_) return;
    self->database_->performTransaction([&] {
      APMErrorSlot error;
      if (self->database_->activateSnapshot(snapshot, timestamp, &error)) return true;
      if (error) {
        monitor().logWithLevel(1, 820014, "Cannot activate snapshot for SDK Name. Error",
                               snapshot->SDKName(), *error);
      }
      return false;
    });
  });
}

void APMETaskManager::resetToDefaultsForSDKName(const std::string& sdkName) {
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  dispatchAsyncOnWorkerQueue([weakSelf, sdkName] {
    std::shared_ptr<APMETaskManager> self = weakSelf.lock();
    if (!self) return;
    if (sdkName.empty()) {
      monitor().logWithLevel(1, 820018, "Cannot reset to defaults for empty SDK name");
      return;
    }
    if (!self->database_) return;
    APMErrorSlot error;
    if (!self->database_->deleteActivatedExperimentsOfSDKName(sdkName, &error) && error) {
      monitor().logWithLevel(1, 820019, "Cannot reset to defaults in the database. SDK Name, error",
                             sdkName, *error);
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(const std::vector<APMESnapshot>& snapshots) {
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  dispatchAsyncOnWorkerQueue([weakSelf, snapshots] {
    std::shared_ptr<APMETaskManager> self = weakSelf.lock();
    if (!self) return;
    if (snapshots.empty()) {
      monitor().logWithLevel(2, 820020, "Cannot upsert empty pending snapshot list");
      return;
    }
    APMErrorSlot error;
    if (self->database_ && self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
      if (std::shared_ptr<APMETaskManagerDelegate> delegate = self->delegate()) {
        delegate->taskManagerDidUpsertPendingSnapshots(*self, snapshots);
      }
      return;
    }
    monitor().logWithLevel(1, 820021, "Cannot upsert pending snapshots into the database. Error",
                           errorContext(error));
  });
}

void APMETaskManager::removeTimestamps() {
  persistedStorage_->removeObjectForKey(kSuccessKey);
  persistedStorage_->removeObjectForKey(kFailureKey);
  persistedStorage_->removeObjectForKey(kBackoffKey);
  persistedStorage_->synchronize();
}

void APMETaskManager::reset() {
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  dispatchAsyncOnWorkerQueue([weakSelf] {
    std::shared_ptr<APMETaskManager> self = weakSelf.lock();
    if (!self) return;
    if (self->database_) {
      self->database_->reset();
    } else {
      self->database_ = APMEDatabase::create(self->databasePath_);
    }
    self->removeTimestamps();
    self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void APMETaskManager::clearAndDelete() {
  std::weak_ptr<APMETaskManager> weakSelf = weak_from_this();
  dispatchAsyncOnWorkerQueue([weakSelf] {
    std::shared_ptr<APMETaskManager> self = weakSelf.lock();
    if (!self) return;
    if (self->database_) self->database_->closeAndDelete();
    self->database_.reset();
    self->removeTimestamps();
  });
}
