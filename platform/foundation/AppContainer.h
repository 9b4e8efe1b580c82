#pragma once

#include <filesystem>

#include "absl/status/status.h"

namespace platform {

// The app's container: the one folder that holds everything the app keeps on disk, laid
// out as on the phone:
//   <root>/Library/Application Support
//   <root>/Library/Preferences
//   <root>/tmp
// The app sets the root once at start (from --data-dir); tests set a fresh temporary
// folder. Until then the root is "Kavrelin" under the user's data directory
// ($XDG_DATA_HOME, else ~/.local/share). Thread-safe.
class AppContainer {
 public:
  // Makes `root` the container and creates its folders. An error leaves the previous
  // root in place.
  static absl::Status setRoot(const std::filesystem::path& root);

  // The container folder; empty when no root was set and no home directory is known.
  static std::filesystem::path root();
  static std::filesystem::path libraryDirectory();
  static std::filesystem::path applicationSupportDirectory();
  static std::filesystem::path preferencesDirectory();
  static std::filesystem::path temporaryDirectory();
};

}  // namespace platform
