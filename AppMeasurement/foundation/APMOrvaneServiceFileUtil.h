#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// Finds and reads the service-information property list ("OrvaneService-Info.plist") that
// the app ships in its bundle. The file is input from outside the library: a missing,
// unreadable or malformed file gives nothing, never a crash. Class operations, safe from
// any queue.
class APMOrvaneServiceFileUtil {
 public:
  static constexpr const char* kResourceName = "OrvaneService-Info";
  static constexpr const char* kResourceType = "plist";

  // The file's path, looked up first in the main bundle and then in the bundle of the
  // library's own code (the folder of the running executable); nothing when neither has it.
  static std::optional<std::string> orvaneServiceInfoPlistPath();
  // The file read as a dictionary; nothing when there is no file or it holds no
  // dictionary.
  static std::optional<platform::Value::Dictionary> dictionaryFromOrvaneServiceInfoPlist();
};
