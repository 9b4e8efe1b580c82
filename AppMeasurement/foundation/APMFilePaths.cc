#include "AppMeasurement/foundation/APMFilePaths.h"

#include <filesystem>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "absl/status/status.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PreferenceStore.h"

namespace {

// The platform's failure as an error object, for callers that log or pass it on.
APMError fileError(const absl::Status& status) {
  platform::Value::Dictionary userInfo;
  userInfo[std::string(kAPMLocalizedDescriptionKey)] =
      platform::Value(std::string(status.message()));
  return APMError(std::string(kAPMFileErrorDomain), static_cast<int64_t>(status.code()),
                  std::move(userInfo));
}

bool fail(const absl::Status& status, APMErrorSlot* error) {
  if (error) *error = fileError(status);
  return false;
}

}  // namespace

std::string APMPreferencesPlistPath(std::string_view name) {
  if (name.empty()) return {};
  std::filesystem::path library = platform::AppContainer::libraryDirectory();
  if (library.empty()) {
    APMMonitor::monitor()->logWithLevel(2, 19000, "NSSearchPath for Library directory is empty");
    return {};
  }
  return (library / "Preferences" / (std::string(name) + ".plist")).string();
}

std::string APMApplicationSupportPath(std::string_view name) {
  if (name.empty()) return {};
  std::filesystem::path support = platform::AppContainer::applicationSupportDirectory();
  if (support.empty()) {
    APMMonitor::monitor()->logWithLevel(2, 19001,
                                        "NSSearchPath for ApplicationSupport directory is empty");
    return {};
  }
  return (support / kAPMApplicationSupportFolder / name).string();
}

std::string APMApplicationSupportPlistPath(std::string_view name) {
  std::string path = APMApplicationSupportPath(name);
  if (path.empty()) return path;
  if (std::filesystem::path(name).extension() == ".plist") return path;
  return path + ".plist";
}

bool APMExcludePathFromBackup(std::string_view path, APMErrorSlot* error) {
  if (path.empty()) {
    APMSetError(error, 1, "Received empty path for excluding from backup");
    return false;
  }
  absl::Status status = platform::FileManager::defaultManager().setExcludedFromBackup(
      std::filesystem::path(path), true);
  return status.ok() ? true : fail(status, error);
}

bool APMDeleteFileAtPath(std::string_view path, APMErrorSlot* error) {
  if (path.empty()) {
    APMSetError(error, 1, "Received empty path for deleting file");
    return false;
  }
  absl::Status status =
      platform::FileManager::defaultManager().removeItemAtPath(std::filesystem::path(path));
  return status.ok() ? true : fail(status, error);
}

bool APMMigratePreferencesPlist(std::string_view suiteName) {
  if (suiteName.empty()) return false;
  const std::filesystem::path source = APMPreferencesPlistPath(suiteName);
  const std::filesystem::path target = APMApplicationSupportPlistPath(suiteName);
  if (source.empty() || target.empty()) return false;

  // Once the suite's data lives in Application Support the suite is dropped from the
  // application's preferences: what the preference store still holds of it would otherwise
  // be written back to the old file, with every old key, at its next write.
  auto dropSuite = [&] {
    platform::PreferenceStore::removeDomain(suiteName);
    return true;
  };
  platform::FileManager& files = platform::FileManager::defaultManager();
  std::error_code ignored;
  // An item is anything at the path, a dangling link included.
  auto exists = [&](const std::filesystem::path& path) {
    return std::filesystem::symlink_status(path, ignored).type() !=
           std::filesystem::file_type::not_found;
  };

  if (!exists(source)) return dropSuite();
  if (files.directoryExistsAtPath(source)) return false;
  if (!exists(target)) {
    if (!files.createDirectoryAtPath(target.parent_path(), true).ok()) return false;
    return files.moveItemAtPath(source, target).ok() && dropSuite();
  }
  if (files.directoryExistsAtPath(target)) return false;
  return files.removeItemAtPath(source).ok() && dropSuite();
}
