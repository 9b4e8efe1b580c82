#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// Short strings kept in the device keychain as generic-password items, keyed by an app
// identifier (the service) and an identifier name (account and generic attribute), so that
// they survive a reinstall of the app. Items written by older versions may carry their account
// or generic attribute as bytes; the first read in the process turns them into text once.
//
// Class operations; the keychain serialises access itself. Any thread.
class APMKeychainWrapper {
 public:
  // The query of the item, or nullopt when either string is empty.
  static std::optional<platform::Value::Dictionary> searchDirectoryForIdentifier(
      std::string_view identifier, std::string_view appID);
  // The stored bytes; nullopt on any failure.
  static std::optional<std::string> keychainDataWithIdentifier(std::string_view identifier,
                                                               std::string_view appID);
  // The stored value as text; nullopt for no data, empty data or bytes that are no UTF-8. The
  // first call in the process first migrates the item it asks for.
  static std::optional<std::string> keychainValueWithIdentifier(std::string_view identifier,
                                                                std::string_view appID);
  // Stores a non-empty string (any other value answers false), updating the existing item
  // rather than adding a second one.
  static bool upsertKeychainValue(const platform::Value& value, std::string_view identifier,
                                  std::string_view appID);
  static void deleteKeychainValueWithIdentifier(std::string_view identifier,
                                                std::string_view appID);
  static bool isMigrationNeededForIdentifier(std::string_view identifier, std::string_view appID);
  static void migrateKeychainDataToStringWithIdentifier(std::string_view identifier,
                                                        std::string_view appID);
  // Lets the next read migrate again; for tests.
  static void resetMigrationForTesting();
};
