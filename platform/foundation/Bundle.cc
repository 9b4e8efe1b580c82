#include "platform/foundation/Bundle.h"

#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace platform {

namespace {

struct MainBundleSlot {
  std::mutex mutex;
  std::shared_ptr<Bundle> bundle;
};

MainBundleSlot& mainSlot() {
  // Never destroyed: queue threads and exit handlers may use it until the process ends.
  static auto* slot = new MainBundleSlot();
  return *slot;
}

std::filesystem::path executableFolder() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : exe.parent_path();
}

std::optional<Value::Dictionary> readDictionary(const std::filesystem::path& path) {
  FileManager& files = FileManager::defaultManager();
  if (!files.fileExistsAtPath(path)) return std::nullopt;
  auto data = files.contentsAtPath(path);
  if (!data.ok()) {
    PlatformLog::write("Cannot read " + path.string() + ": " +
                       std::string(data.status().message()));
    return std::nullopt;
  }
  auto plist = PropertyListSerialization::propertyListWithData(*data);
  if (!plist.ok() || !plist->isDictionary()) {
    PlatformLog::write(
        "Ignoring " + path.string() + ": " +
        (plist.ok() ? std::string("not a dictionary") : std::string(plist.status().message())));
    return std::nullopt;
  }
  return std::move(*plist->asDictionary());
}

}  // namespace

Bundle::Bundle(std::filesystem::path path) : path_(std::move(path)) {}

std::shared_ptr<Bundle> Bundle::mainBundle() {
  MainBundleSlot& slot = mainSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.bundle) slot.bundle = std::make_shared<Bundle>(executableFolder());
  return slot.bundle;
}

void Bundle::setMainBundlePath(const std::filesystem::path& path) {
  auto bundle = std::make_shared<Bundle>(path);
  MainBundleSlot& slot = mainSlot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.bundle = std::move(bundle);
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(const std::filesystem::path& path) {
  return std::make_shared<Bundle>(path);
}

const Value::Dictionary& Bundle::infoDictionary() const {
  std::call_once(infoOnce_, [this] {
    if (path_.empty()) return;
    if (auto dict = readDictionary(path_ / "Info.plist")) info_ = std::move(*dict);
  });
  return info_;
}

std::optional<Value> Bundle::objectForInfoDictionaryKey(std::string_view key) const {
  const Value::Dictionary& info = infoDictionary();
  auto it = info.find(key);
  if (it == info.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
  auto value = objectForInfoDictionaryKey("CFBundleIdentifier");
  if (!value || !value->isString()) return std::nullopt;
  return *value->asString();
}

std::optional<std::filesystem::path> Bundle::pathForResource(std::string_view name,
                                                             std::string_view type) const {
  if (path_.empty() || name.empty()) return std::nullopt;
  std::string file(name);
  if (!type.empty()) {
    file += ".";
    file += type;
  }
  if (file.find('/') != std::string::npos || file.find('\0') != std::string::npos || file == "." ||
      file == "..") {
    return std::nullopt;
  }
  std::filesystem::path candidate = path_ / file;
  std::error_code error;
  if (!std::filesystem::is_regular_file(candidate, error)) return std::nullopt;
  return candidate;
}

std::optional<Value::Dictionary> Bundle::dictionaryForResource(std::string_view name,
                                                               std::string_view type) const {
  auto path = pathForResource(name, type);
  if (!path) return std::nullopt;
  return readDictionary(*path);
}

}  // namespace platform
