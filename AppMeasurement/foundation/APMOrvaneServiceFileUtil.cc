#include "AppMeasurement/foundation/APMOrvaneServiceFileUtil.h"

#include <filesystem>
#include <system_error>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace {

// The library is linked into the executable, so its code's bundle is the executable's
// folder.
std::shared_ptr<platform::Bundle> libraryBundle() {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || executable.empty()) return nullptr;
  return platform::Bundle::bundleWithPath(executable.parent_path());
}

}  // namespace

std::optional<std::string> APMOrvaneServiceFileUtil::orvaneServiceInfoPlistPath() {
  if (auto path = platform::Bundle::mainBundle()->pathForResource(kResourceName, kResourceType)) {
    return path->string();
  }
  if (std::shared_ptr<platform::Bundle> bundle = libraryBundle()) {
    if (auto path = bundle->pathForResource(kResourceName, kResourceType)) return path->string();
  }
  return std::nullopt;
}

std::optional<platform::Value::Dictionary>
APMOrvaneServiceFileUtil::dictionaryFromOrvaneServiceInfoPlist() {
  std::optional<std::string> path = orvaneServiceInfoPlistPath();
  if (!path) return std::nullopt;
  absl::StatusOr<std::string> data = platform::FileManager::defaultManager().contentsAtPath(*path);
  if (!data.ok()) return std::nullopt;
  absl::StatusOr<platform::Value> plist =
      platform::PropertyListSerialization::propertyListWithData(*data);
  if (!plist.ok() || !plist->isDictionary()) return std::nullopt;
  return *plist->asDictionary();
}
