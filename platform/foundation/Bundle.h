#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace platform {

// An app bundle (the phone's NSBundle): a folder holding "Info.plist" and resource files
// such as "OrvaneService-Info.plist".
//
// The main bundle is configured once at start (`setMainBundlePath`); until then it is
// the folder of the running executable. A missing folder or file gives empty results,
// never an error. A bundle reads its Info.plist once, on first use. Thread-safe.
class Bundle {
 public:
  static std::shared_ptr<Bundle> mainBundle();
  // Replaces the main bundle (the app's main; tests).
  static void setMainBundlePath(const std::filesystem::path& path);

  // A bundle over any folder, whether or not it exists.
  static std::shared_ptr<Bundle> bundleWithPath(const std::filesystem::path& path);

  explicit Bundle(std::filesystem::path path);

  const std::filesystem::path& bundlePath() const { return path_; }

  // The content of Info.plist: an empty dictionary when it is missing, damaged or not
  // a dictionary.
  const Value::Dictionary& infoDictionary() const;
  // The Info.plist value for the key, or nothing.
  std::optional<Value> objectForInfoDictionaryKey(std::string_view key) const;
  // "CFBundleIdentifier" when it is a string.
  std::optional<std::string> bundleIdentifier() const;

  // The path of the resource "<name>.<type>" (or "<name>" for an empty type) in the
  // bundle folder, or nothing when no such file exists. Names that would leave the
  // folder ("..", "/") find nothing.
  std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                       std::string_view type) const;

  // The resource read as a property-list dictionary (e.g. "OrvaneService-Info", "plist"),
  // or nothing when it is missing, damaged or not a dictionary.
  std::optional<Value::Dictionary> dictionaryForResource(std::string_view name,
                                                         std::string_view type) const;

 private:
  std::filesystem::path path_;
  mutable std::once_flag infoOnce_;
  mutable Value::Dictionary info_;
};

}  // namespace platform
