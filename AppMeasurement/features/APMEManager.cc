#include "AppMeasurement/features/APMEManager.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <exception>

#include "AppMeasurement/features/APMEExperimentRequestBuilder.h"
#include "AppMeasurement/features/APMETaskManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Exception.h"

namespace {

constexpr double kStaleSnapshotInterval = 259200;  // three days
constexpr const char* kExperimentLibraryVersion = "10000000";

APMLogContext exceptionContext(const std::exception& exception) {
  if (const auto* platformException = dynamic_cast<const platform::Exception*>(&exception)) {
    return APMLogContext(*platformException);
  }
  return APMLogContext(std::string(exception.what()));
}

// A flag value as a log context: the value itself; a message shows its class and address.
APMLogContext valueContext(const NANOObject& value) {
  if (const auto* number = std::get_if<NANONumber>(&value)) {
    switch (number->kind()) {
      case NANONumber::Kind::Bool:
        return APMLogContext(number->boolValue());
      case NANONumber::Kind::Float:
      case NANONumber::Kind::Double:
        return APMLogContext(number->doubleValue());
      default:
        return APMLogContext(number->longLongValue());
    }
  }
  if (const auto* text = std::get_if<std::string>(&value)) return APMLogContext(*text);
  if (const auto* data = std::get_if<NANOData>(&value)) {
    return APMLogContext(platform::Value::bytes(data->bytes));
  }
  if (const auto* message = std::get_if<std::shared_ptr<NANOMessageBase>>(&value)) {
    if (*message)
      return APMLogContext::object((*message)->className(), std::nullopt, message->get());
  }
  return {};
}

// A snapshot as a log context, built only when the line is printed or kept.
APMLogContext snapshotContext(int level, const APMESnapshot* snapshot) {
  if (snapshot == nullptr || !APMEManager::monitor().recordsLevel(level)) return {};
  return APMLogContext(snapshot->description());
}

// An activated snapshot read back at start, made the way activation makes one: each
// experiment only through its flags. The stored row keeps experiments without flags, which
// would otherwise count in experimentIDs only after a relaunch. The timestamp is the load time.
APMESnapshot activatedSnapshotFromStored(const APMESnapshot& stored) {
  std::optional<APMESnapshot> snapshot =
      APMESnapshot::create(stored.SDKName(), std::vector<APMEExperiment>{});
  if (!snapshot) return stored.copy();
  for (const APMEExperiment& experiment : stored.experiments()) {
    snapshot->addFlags(experiment.flags(), experiment.experimentID());
  }
  return *snapshot;
}

}  // namespace

APMEManager::APMEManager(std::shared_ptr<APMETaskManager> taskManager)
    : taskManager_(std::move(taskManager)),
      queue_(platform::DispatchQueue::createSerial("APMEExperimentSerialQueue")) {}

APMEManager::~APMEManager() = default;

std::shared_ptr<APMEManager> APMEManager::create(std::shared_ptr<APMETaskManager> taskManager) {
  std::shared_ptr<APMEManager> manager(new APMEManager(std::move(taskManager)));
  if (manager->taskManager_) manager->taskManager_->setDelegate(manager);
  return manager;
}

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
  // Never destroyed: queued experiment work may still run while the process exits.
  static const std::shared_ptr<APMEManager>* instance = [] {
    auto* manager = new std::shared_ptr<APMEManager>(create(APMETaskManager::create()));
    (*manager)->taskManager_->startTaskManager();
    return manager;
  }();
  return *instance;
}

APMEMonitor& APMEManager::monitor() { return APMEMonitor::shared(); }

int64_t APMEManager::version() {
  std::string_view text = kExperimentLibraryVersion;
  if (text.size() < 4) return 0;
  return std::stoll(std::string(text.substr(0, text.size() - 3)));
}

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  queue_->async([block = std::move(block)] {
    try {
      block();
    } catch (const std::exception& exception) {
      monitor().logWithLevel(1, 800017, "Exception on async Experimentation serial queue",
                             exceptionContext(exception));
    }
  });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
  queue_->sync([&block] {
    try {
      block();
    } catch (const std::exception& exception) {
      monitor().logWithLevel(1, 800018, "Exception on sync Experimentation serial queue",
                             exceptionContext(exception));
    }
  });
}

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property,
    const std::map<std::string, NANOObject>& defaultFlags) {
  if (!property) {
    monitor().logWithLevel(0, 800000, "Cannot register client with a nil SDK property");
    return nullptr;
  }
  std::string name = property->name();
  if (name.empty()) {
    monitor().logWithLevel(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  std::map<std::string, APMPBFlag, std::less<>> flags;
  std::vector<APMPBFlag> list;
  for (const auto& [key, value] : defaultFlags) {
    std::optional<APMPBFlag> flag = APMPBFlagCreate(
        key, value,
        [](int level, long code, const std::string& message, const std::string& context) {
          monitor().logWithLevel(level, code, message, context);
        });
    if (!flag) {
      monitor().logWithLevel(0, 800002,
                             "Cannot register experiment client invalid flags. Flag name, value",
                             key, valueContext(value));
      return nullptr;
    }
    flags.emplace(key, *flag);
    list.push_back(std::move(*flag));
  }
  std::shared_ptr<APMEClient> client = APMEClient::create(property, list, weak_from_this());
  if (!client) {
    monitor().logWithLevel(1, 800004, "Cannot register client. SDK name", name);
    return nullptr;
  }
  std::weak_ptr<APMEManager> weakSelf = weak_from_this();
  dispatchAsyncOnSerialQueue([weakSelf, client, property, name, flags = std::move(flags)] {
    std::shared_ptr<APMEManager> self = weakSelf.lock();
    if (!self) return;
    {
      std::lock_guard<std::mutex> lock(self->clientsMutex_);
      if (self->registeredClientsBySDKName_.contains(name)) {
        monitor().logWithLevel(3, 800003,
                               "Registered an SDK that has already registered. Default flags will "
                               "be overwritten. SDK name",
                               name);
      }
      self->registeredClientsBySDKName_.insert_or_assign(name, client);
    }
    self->defaultFlagsBySDKName_.insert_or_assign(name, flags);
    APMEExperimentRequestBuilder::sharedInstance().addSDKProperty(property);
    monitor().logWithLevel(8, 800005, "Registered client", name);
  });
  return client;
}

std::shared_ptr<APMExperimentClient> APMEManager::registerSDKProperty(const std::string& name,
                                                                      int64_t version) {
  std::shared_ptr<APMESDKProperty> property = APMESDKProperty::create(name);
  if (!property) return nullptr;
  property->setVersion(version);
  return registerSDKProperty(property, {});
}

std::shared_ptr<APMEClient> APMEManager::registeredClient(std::string_view sdkName) const {
  std::lock_guard<std::mutex> lock(clientsMutex_);
  auto found = registeredClientsBySDKName_.find(sdkName);
  return found == registeredClientsBySDKName_.end() ? nullptr : found->second;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(std::string_view sdkName) {
  if (sdkName.empty()) {
    monitor().logWithLevel(0, 800007, "Cannot find the client for empty SDK Name");
    return nullptr;
  }
  std::shared_ptr<APMEClient> client;
  dispatchSyncOnSerialQueue([&] { client = registeredClient(sdkName); });
  return client;
}

std::vector<int64_t> APMEManager::experimentIDs() {
  std::vector<int64_t> ids;
  dispatchSyncOnSerialQueue([&] {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_) {
      if (!client->SDKProperty()->diversionKey().empty()) continue;
      auto found = activatedSnapshotsBySDKName_.find(name);
      if (found == activatedSnapshotsBySDKName_.end()) continue;
      for (int64_t id : found->second.experimentIDs()) ids.push_back(id);
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

NANOObject APMEManager::flagValueForFlagName(std::string_view flagName, std::string_view sdkName) {
  if (sdkName.empty()) {
    monitor().logWithLevel(0, 800010, "Cannot retrieve flag value for empty SDK name");
    return {};
  }
  if (flagName.empty()) {
    monitor().logWithLevel(0, 800011, "Cannot retrieve flag value for empty flag name");
    return {};
  }
  NANOObject value;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClient(sdkName)) {
      monitor().logWithLevel(3, 800012, "SDK is not registered yet", std::string(sdkName));
      return;
    }
    auto defaults = defaultFlagsBySDKName_.find(sdkName);
    if (defaults == defaultFlagsBySDKName_.end()) {
      monitor().logWithLevel(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name",
                             std::string(sdkName), std::string(flagName));
      return;
    }
    // Each snapshot answers only with a flag that holds a value; a valueless one falls
    // through to the next source.
    auto fromSnapshot = [&](const auto& snapshots, int level, long code, const char* message) {
      auto found = snapshots.find(sdkName);
      const APMESnapshot* snapshot = found == snapshots.end() ? nullptr : &found->second;
      if (monitor().recordsLevel(level)) {
        monitor().logWithLevel(level, code, message, std::string(sdkName), std::string(flagName),
                               snapshotContext(level, snapshot));
      }
      if (snapshot == nullptr) return false;
      const APMPBFlag* flag = snapshot->flagByName(flagName);
      if (flag == nullptr) return false;
      value = APMPBFlagGetValue(flag);
      return !std::holds_alternative<std::monostate>(value);
    };
    if (fromSnapshot(activatedSnapshotsBySDKName_, 8, 800015,
                     "Looking for activated flag. SDK name, flag name, activated snapshot") ||
        fromSnapshot(launchedSnapshotsBySDKName_, 8, 800016,
                     "Cannot find activated flag. Looking for launched flag. SDK name, flag "
                     "name, launched flag")) {
      return;
    }
    auto flag = defaults->second.find(flagName);
    if (flag == defaults->second.end()) {
      value = {};
      if (monitor().recordsLevel(8)) {
        monitor().logWithLevel(8, 800014, "No default flag value. SDK name, flag name",
                               std::string(sdkName), std::string(flagName));
      }
      return;
    }
    value = APMPBFlagGetValue(&flag->second);
    if (monitor().recordsLevel(8)) {
      monitor().logWithLevel(
          8, 800019,
          "Cannot find launched flag. Returned the default flag value. SDK name, flag name, "
          "default flag",
          std::string(sdkName), std::string(flagName), valueContext(value));
    }
  });
  return value;
}

bool APMEManager::activateSnapshotOfSDK(const std::optional<std::string>& sdkName,
                                        APMErrorSlot* error) {
  if (!sdkName) {
    APMSetError(error, 1, "SDK name cannot be nil");
    monitor().logWithLevel(3, 800021, "Cannot activate a pending snapshot for a nil SDK name");
    return false;
  }
  if (sdkName->empty()) {
    APMSetError(error, 1, "SDK name cannot be empty");
    monitor().logWithLevel(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    auto pending = pendingSnapshotsBySDKName_.find(*sdkName);
    if (pending == pendingSnapshotsBySDKName_.end()) {
      monitor().logWithLevel(3, 800023, "No pending snapshot to activate. SDK name", *sdkName);
      return;
    }
    double now = platform::Clock::current()->now();
    std::optional<APMESnapshot> snapshot =
        APMESnapshot::create(*sdkName, std::vector<APMEExperiment>{});
    if (!snapshot) return;
    snapshot->setTimestamp(now);
    for (const APMEExperiment& experiment : pending->second.experiments()) {
      if (experiment.experimentID() != 0) {
        // Only through its flags: an experiment without flags never reaches experimentIDs,
        // so it is not reported with the bundles.
        snapshot->addFlags(experiment.flags(), experiment.experimentID());
        continue;
      }
      if (std::optional<APMESnapshot> launched =
              APMESnapshot::create(*sdkName, std::vector<APMEExperiment>{experiment})) {
        launchedSnapshotsBySDKName_.insert_or_assign(*sdkName, std::move(*launched));
      }
    }
    activatedSnapshotsBySDKName_.insert_or_assign(*sdkName, std::move(*snapshot));
    APMESnapshot activatedPending = std::move(pending->second);
    pendingSnapshotsBySDKName_.erase(pending);
    if (taskManager_) taskManager_->activatePendingSnapshot(activatedPending, now);
    monitor().logWithLevel(8, 800028, "Successfully activated a snapshot of SDK", *sdkName);
    activated = true;
  });
  return activated;
}

int APMEManager::activatedSnapshotStatusOfSDKName(std::string_view sdkName) {
  if (sdkName.empty()) {
    monitor().logWithLevel(0, 800024, "Cannot check activated snapshot for empty SDK Name");
    return -1;
  }
  int status = -1;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClient(sdkName)) return;
    auto found = activatedSnapshotsBySDKName_.find(sdkName);
    if (found == activatedSnapshotsBySDKName_.end() || !(found->second.timestamp() > DBL_EPSILON)) {
      status = -2;
      return;
    }
    double now = platform::Clock::current()->now();
    status = std::fabs(now - found->second.timestamp()) > kStaleSnapshotInterval ? 1 : 0;
  });
  return status;
}

void APMEManager::resetToDefaultsOfSDKName(std::string_view sdkName) {
  if (sdkName.empty()) {
    monitor().logWithLevel(0, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  dispatchSyncOnSerialQueue([&] {
    auto found = activatedSnapshotsBySDKName_.find(sdkName);
    if (found == activatedSnapshotsBySDKName_.end()) {
      monitor().logWithLevel(0, 800026, "Cannot reset to defaults for unregistered SDK name",
                             std::string(sdkName));
      return;
    }
    activatedSnapshotsBySDKName_.erase(found);
    if (taskManager_) taskManager_->resetToDefaultsForSDKName(std::string(sdkName));
    monitor().logWithLevel(8, 800027, "Reset all experiments to default. SDK name",
                           std::string(sdkName));
  });
}

void APMEManager::forgetSnapshots(bool deleteStore) {
  std::weak_ptr<APMEManager> weakSelf = weak_from_this();
  dispatchAsyncOnSerialQueue([weakSelf, deleteStore] {
    std::shared_ptr<APMEManager> self = weakSelf.lock();
    if (!self) return;
    if (self->taskManager_ && deleteStore) self->taskManager_->clearAndDelete();
    if (self->taskManager_ && !deleteStore) self->taskManager_->reset();
    self->activatedSnapshotsBySDKName_.clear();
    self->pendingSnapshotsBySDKName_.clear();
    self->launchedSnapshotsBySDKName_.clear();
  });
}

void APMEManager::reset() { forgetSnapshots(false); }

void APMEManager::clearAndDelete() { forgetSnapshots(true); }

bool APMEManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
  std::vector<std::shared_ptr<APMEClient>> clients;
  {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (const auto& [name, client] : registeredClientsBySDKName_) clients.push_back(client);
  }
  for (const std::shared_ptr<APMEClient>& client : clients) {
    std::shared_ptr<APMEExperimentObserverDelegate> delegate = client->delegate();
    if (!delegate) continue;
    auto* permission = dynamic_cast<APMEFetchPermission*>(delegate.get());
    if (permission == nullptr || permission->shouldFetchExperimentsForClient(*client)) return true;
  }
  return false;
}

void APMEManager::taskManagerDidStart(APMETaskManager&,
                                      const std::vector<APMESnapshot>& activatedSnapshots,
                                      const std::vector<APMESnapshot>& pendingSnapshots,
                                      const std::vector<APMESnapshot>& launchedSnapshots) {
  std::weak_ptr<APMEManager> weakSelf = weak_from_this();
  dispatchAsyncOnSerialQueue([weakSelf, activatedSnapshots, pendingSnapshots, launchedSnapshots] {
    std::shared_ptr<APMEManager> self = weakSelf.lock();
    if (!self) return;
    auto store = [](auto& map, const std::vector<APMESnapshot>& snapshots) {
      for (const APMESnapshot& snapshot : snapshots) {
        map.insert_or_assign(snapshot.SDKName(), snapshot.copy());
      }
    };
    for (const APMESnapshot& snapshot : activatedSnapshots) {
      self->activatedSnapshotsBySDKName_.insert_or_assign(snapshot.SDKName(),
                                                          activatedSnapshotFromStored(snapshot));
    }
    store(self->pendingSnapshotsBySDKName_, pendingSnapshots);
    store(self->launchedSnapshotsBySDKName_, launchedSnapshots);
  });
}

void APMEManager::taskManagerDidFinishFetching(APMETaskManager&,
                                               const std::vector<APMESnapshot>& snapshots,
                                               const std::map<std::string, APMError>& errors) {
  if (snapshots.empty() && errors.empty()) {
    monitor().logWithLevel(3, 800020, "No pending snapshots to notify the clients");
    return;
  }
  std::weak_ptr<APMEManager> weakSelf = weak_from_this();
  dispatchAsyncOnSerialQueue([weakSelf, snapshots, errors] {
    std::shared_ptr<APMEManager> self = weakSelf.lock();
    if (!self) return;
    std::vector<APMESnapshot> observed;
    for (const APMESnapshot& snapshot : snapshots) {
      APMESnapshot copy = snapshot.copy();
      std::shared_ptr<APMEClient> client = self->registeredClient(copy.SDKName());
      std::shared_ptr<APMEExperimentObserverDelegate> delegate =
          client ? client->delegate() : nullptr;
      if (dynamic_cast<APMENewSnapshotObserving*>(delegate.get()) != nullptr) {
        copy.setManuallyActivated(true);
        observed.push_back(copy);
      }
      self->pendingSnapshotsBySDKName_.insert_or_assign(copy.SDKName(), std::move(copy));
    }
    for (const auto& [name, error] : errors) {
      std::shared_ptr<APMEClient> client = self->registeredClient(name);
      std::shared_ptr<APMEExperimentObserverDelegate> delegate =
          client ? client->delegate() : nullptr;
      if (auto* observer = dynamic_cast<APMEFetchErrorObserving*>(delegate.get())) {
        observer->clientDidReceiveFetchError(*client, error);
      }
    }
    if (!observed.empty() && self->taskManager_) {
      self->taskManager_->upsertPendingSnapshots(observed);
    }
  });
}

void APMEManager::taskManagerDidUpsertPendingSnapshots(APMETaskManager&,
                                                       const std::vector<APMESnapshot>& snapshots) {
  for (const APMESnapshot& snapshot : snapshots) {
    std::shared_ptr<APMEClient> client = registeredClient(snapshot.SDKName());
    std::shared_ptr<APMEExperimentObserverDelegate> delegate =
        client ? client->delegate() : nullptr;
    if (dynamic_cast<APMENewSnapshotObserving*>(delegate.get()) == nullptr) {
      monitor().logWithLevel(0, 800021,
                             "Cannot notify new snapshot for SDK because the delegate does not "
                             "implement -clientDidReceiveNewSnapshot:",
                             snapshot.SDKName());
      continue;
    }
    std::shared_ptr<platform::DispatchQueue> queue;
    if (auto* provider = dynamic_cast<APMEObserverQueueProviding*>(delegate.get())) {
      queue = provider->queue();
    }
    if (!queue) queue = platform::DispatchQueue::main();
    queue->async([client, delegate] {
      dynamic_cast<APMENewSnapshotObserving*>(delegate.get())->clientDidReceiveNewSnapshot(*client);
    });
  }
}
