#include "platform/foundation/PreferenceStore.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace platform {

namespace {

struct Registry {
  std::mutex mutex;
  // Keyed by file path, so that a new container gets new stores.
  std::map<std::filesystem::path, std::shared_ptr<PreferenceStore>> stores;
  std::string currentApplicationDomain;
};

Registry& registry() {
  // Never destroyed: the exit handler uses it after static objects may be gone.
  static auto* instance = new Registry();
  return *instance;
}

// The queue on which stores write by themselves.
const std::shared_ptr<DispatchQueue>& writerQueue() {
  static auto* queue =
      new std::shared_ptr<DispatchQueue>(DispatchQueue::createSerial("com.kavrelin.preferences"));
  return *queue;
}

double uptime() { return Clock::current()->uptime(); }

std::string resolveDomain(std::string_view domain) {
  if (domain.empty() || domain == PreferenceStore::kCurrentApplication) {
    return PreferenceStore::currentApplicationDomain();
  }
  return std::string(domain);
}

}  // namespace

PreferenceStore::PreferenceStore(std::string domain, std::filesystem::path filePath)
    : domain_(std::move(domain)), filePath_(std::move(filePath)) {}

std::shared_ptr<PreferenceStore> PreferenceStore::forDomain(std::string_view domain) {
  std::string resolved = resolveDomain(domain);
  std::filesystem::path path = preferencesFilePath(resolved);
  static std::once_flag exitHandler;
  std::call_once(exitHandler, [] { std::atexit(&PreferenceStore::synchronizeAll); });
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto& store = r.stores[path];
  if (!store) store = std::make_shared<PreferenceStore>(resolved, path);
  return store;
}

void PreferenceStore::synchronizeAll() {
  std::vector<std::shared_ptr<PreferenceStore>> stores;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const auto& entry : r.stores) stores.push_back(entry.second);
  }
  for (const auto& store : stores) {
    if (absl::Status status = store->synchronize(); !status.ok()) {
      PlatformLog::write("Cannot write preferences of " + store->domain() +
                         " at exit: " + std::string(status.message()));
    }
  }
}

void PreferenceStore::removeDomain(std::string_view domain) {
  std::shared_ptr<PreferenceStore> store;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.stores.find(preferencesFilePath(domain));
    if (it == r.stores.end()) return;
    store = std::move(it->second);
    r.stores.erase(it);
  }
  std::lock_guard<std::mutex> lock(store->mutex_);
  store->values_.clear();
  store->unreadChanges_.clear();
  store->dirty_ = false;
  store->firstUnwrittenAt_.reset();
  store->loaded_ = false;
  store->loadError_ = absl::OkStatus();
  ++store->changes_;
}

std::mutex& PreferenceStore::fileMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::string PreferenceStore::currentApplicationDomain() {
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.currentApplicationDomain.empty()) return r.currentApplicationDomain;
  }
  if (auto identifier = Bundle::mainBundle()->bundleIdentifier();
      identifier && !identifier->empty()) {
    return *identifier;
  }
  return ProcessInfo::processInfo().processName();
}

void PreferenceStore::setCurrentApplicationDomain(std::string domain) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.currentApplicationDomain = std::move(domain);
}

std::filesystem::path PreferenceStore::preferencesFilePath(std::string_view domain) {
  return AppContainer::preferencesDirectory() / (resolveDomain(domain) + ".plist");
}

void PreferenceStore::resetForTesting() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.stores.clear();
  r.currentApplicationDomain.clear();
}

void PreferenceStore::loadLocked() {
  // A file that could not be read is tried again at every use, so that a passing failure
  // does not keep the domain from being written for the rest of the process.
  if (loaded_ && loadError_.ok()) return;
  loaded_ = true;
  FileManager& files = FileManager::defaultManager();
  Value::Dictionary read;
  if (files.fileExistsAtPath(filePath_)) {
    auto data = files.contentsAtPath(filePath_);
    if (!data.ok()) {
      // Keep the file: a later synchronize must not replace what could not be read.
      if (loadError_.ok()) {
        PlatformLog::write("Cannot read preferences of " + domain_ + ": " +
                           std::string(data.status().message()));
      }
      loadError_ = data.status();
      return;
    }
    auto plist = PropertyListSerialization::propertyListWithData(*data);
    if (!plist.ok() || !plist->isDictionary()) {
      // A damaged file holds nothing that can be recovered; the next write replaces it.
      PlatformLog::write(
          "Ignoring damaged preferences file " + filePath_.string() + ": " +
          (plist.ok() ? std::string("not a dictionary") : std::string(plist.status().message())));
    } else {
      read = std::move(*plist->asDictionary());
    }
  }
  // The changes made while the file could not be read go on top of what it holds, and
  // still have to be written (a removal may not have changed what was in memory).
  if (!unreadChanges_.empty()) changedLocked();
  for (auto& [key, value] : unreadChanges_) {
    if (value) {
      read.insert_or_assign(key, std::move(*value));
    } else {
      read.erase(key);
    }
  }
  values_ = std::move(read);
  loadError_ = absl::OkStatus();
  unreadChanges_.clear();
}

void PreferenceStore::noteChangeLocked(std::string_view key, const Value* value) {
  if (loadError_.ok()) return;
  unreadChanges_.insert_or_assign(std::string(key),
                                  value ? std::optional<Value>(*value) : std::nullopt);
}

std::optional<Value> PreferenceStore::valueForKey(std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

absl::Status PreferenceStore::setValue(std::string_view key, const Value& value) {
  if (value.isNull()) {
    removeValue(key);
    return absl::OkStatus();
  }
  if (!PropertyListSerialization::propertyListIsValid(value)) {
    return absl::InvalidArgumentError("Not a property-list value: " + value.description());
  }
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  auto it = values_.find(key);
  if (it != values_.end() && it->second == value) return absl::OkStatus();
  values_.insert_or_assign(std::string(key), value);
  noteChangeLocked(key, &value);
  changedLocked();
  return absl::OkStatus();
}

void PreferenceStore::removeValue(std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  noteChangeLocked(key, nullptr);
  auto it = values_.find(key);
  if (it == values_.end()) return;
  values_.erase(it);
  changedLocked();
}

absl::Status PreferenceStore::setMultiple(const Value::Dictionary& valuesToSet,
                                          const std::vector<std::string>& keysToRemove) {
  for (const auto& [key, value] : valuesToSet) {
    if (!value.isNull() && !PropertyListSerialization::propertyListIsValid(value)) {
      return absl::InvalidArgumentError("Not a property-list value for " + key + ": " +
                                        value.description());
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  bool changed = false;
  for (const auto& [key, value] : valuesToSet) {
    if (value.isNull()) {
      noteChangeLocked(key, nullptr);
      changed = values_.erase(key) > 0 || changed;
    } else {
      noteChangeLocked(key, &value);
      values_.insert_or_assign(key, value);
      changed = true;
    }
  }
  for (const auto& key : keysToRemove) {
    noteChangeLocked(key, nullptr);
    changed = values_.erase(key) > 0 || changed;
  }
  if (changed) changedLocked();
  return absl::OkStatus();
}

std::vector<std::string> PreferenceStore::keys() {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  std::vector<std::string> out;
  out.reserve(values_.size());
  for (const auto& entry : values_) out.push_back(entry.first);
  return out;
}

Value::Dictionary PreferenceStore::dictionaryRepresentation() {
  std::lock_guard<std::mutex> lock(mutex_);
  loadLocked();
  return values_;
}

absl::Status PreferenceStore::synchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  return synchronizeLocked();
}

absl::Status PreferenceStore::synchronizeLocked() {
  loadLocked();
  if (!loadError_.ok()) return loadError_;
  if (!dirty_) return absl::OkStatus();
  auto data = PropertyListSerialization::dataWithPropertyList(
      Value(values_), PropertyListSerialization::Format::Binary);
  if (!data.ok()) return data.status();
  std::lock_guard<std::mutex> fileLock(fileMutex());
  FileManager& files = FileManager::defaultManager();
  std::filesystem::path folder = filePath_.parent_path();
  // Only the Preferences folder itself is made: a container that went away is not brought
  // back by a late write.
  if (!files.directoryExistsAtPath(folder)) {
    if (auto status = files.createDirectoryAtPath(folder, false); !status.ok()) return status;
  }
  if (auto status = files.writeAtomically(filePath_, *data); !status.ok()) return status;
  dirty_ = false;
  firstUnwrittenAt_.reset();
  return absl::OkStatus();
}

void PreferenceStore::changedLocked() {
  dirty_ = true;
  ++changes_;
  lastChangeAt_ = uptime();
  if (!firstUnwrittenAt_) firstUnwrittenAt_ = lastChangeAt_;
  // One write waits at a time and looks at the latest change when it runs, so that a burst
  // of changes costs one delayed block, not one each. (A waiting write dropped unrun, as
  // tests drop delayed work, lets its token go: the next change arranges a new one.)
  if (!pendingWrite_.expired()) return;
  scheduleWriteLocked(kWriteDelay);
}

void PreferenceStore::scheduleWriteLocked(double delay) {
  auto change = std::make_shared<uint64_t>(changes_);
  pendingWrite_ = change;
  std::weak_ptr<PreferenceStore> weakSelf = weak_from_this();
  writerQueue()->after(delay, [weakSelf, change] {
    if (auto self = weakSelf.lock()) self->writeIfQuiet(*change);
  });
}

void PreferenceStore::writeIfQuiet(uint64_t change) {
  std::lock_guard<std::mutex> lock(mutex_);
  pendingWrite_.reset();
  if (!dirty_) return;
  // Changes came since this write was arranged: wait for quiet after the latest of them,
  // unless changes have kept coming for too long. (Deadlines are sums of doubles: a
  // microsecond either way is the same instant.)
  constexpr double kTolerance = 1e-6;
  const double now = uptime();
  if (change != changes_ && firstUnwrittenAt_ &&
      now - *firstUnwrittenAt_ < kMaxWriteDelay - kTolerance) {
    double due = std::min(lastChangeAt_ + kWriteDelay, *firstUnwrittenAt_ + kMaxWriteDelay);
    // Bounded both ways: an installed clock may have been replaced meanwhile.
    scheduleWriteLocked(std::clamp(due - now, kTolerance, kWriteDelay));
    return;
  }
  if (absl::Status status = synchronizeLocked(); !status.ok()) {
    PlatformLog::write("Cannot write preferences of " + domain_ + ": " +
                       std::string(status.message()));
  }
}

}  // namespace platform
