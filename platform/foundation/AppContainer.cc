#include "platform/foundation/AppContainer.h"

#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/foundation/FileManager.h"

namespace platform {

namespace {

std::mutex& rootMutex() {
  // Never destroyed: queue threads and exit handlers may use it until the process ends.
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::optional<std::filesystem::path>& configuredRoot() {
  // Never destroyed: queue threads and exit handlers may use it until the process ends.
  static auto* root = new std::optional<std::filesystem::path>();
  return *root;
}

std::filesystem::path defaultRoot() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && *dataHome != '\0') {
    return std::filesystem::path(dataHome) / "Kavrelin";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') {
    return std::filesystem::path(home) / ".local" / "share" / "Kavrelin";
  }
  return {};
}

std::filesystem::path under(const std::filesystem::path& relative) {
  std::filesystem::path base = AppContainer::root();
  return base.empty() ? base : base / relative;
}

}  // namespace

absl::Status AppContainer::setRoot(const std::filesystem::path& root) {
  if (root.empty()) return absl::InvalidArgumentError("Empty container path");
  std::filesystem::path absolute = root.is_absolute() ? root : std::filesystem::absolute(root);
  FileManager& files = FileManager::defaultManager();
  for (const char* folder : {"Library/Application Support", "Library/Preferences", "tmp"}) {
    if (auto status = files.createDirectoryAtPath(absolute / folder, true); !status.ok()) {
      return status;
    }
  }
  std::lock_guard<std::mutex> lock(rootMutex());
  configuredRoot() = absolute;
  return absl::OkStatus();
}

std::filesystem::path AppContainer::root() {
  std::lock_guard<std::mutex> lock(rootMutex());
  if (!configuredRoot()) return defaultRoot();
  return *configuredRoot();
}

std::filesystem::path AppContainer::libraryDirectory() { return under("Library"); }

std::filesystem::path AppContainer::applicationSupportDirectory() {
  return under("Library/Application Support");
}

std::filesystem::path AppContainer::preferencesDirectory() { return under("Library/Preferences"); }

std::filesystem::path AppContainer::temporaryDirectory() { return under("tmp"); }

}  // namespace platform
