#include "AppMeasurement/foundation/APMKeychainWrapper.h"

#include <atomic>

#include "platform/foundation/Text.h"
#include "platform/security/Keychain.h"

using platform::Value;
using namespace platform::keychain;

namespace {
std::atomic<bool> migrated{false};

bool isValidUTF8(std::string_view bytes) { return platform::Text::isValidUTF8(bytes); }
}  // namespace

std::optional<Value::Dictionary> APMKeychainWrapper::searchDirectoryForIdentifier(
    std::string_view identifier, std::string_view appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  return Value::Dictionary{{kSecClass, Value(kSecClassGenericPassword)},
                           {kSecAttrService, Value(appID)},
                           {kSecAttrGeneric, Value(identifier)},
                           {kSecAttrAccount, Value(identifier)}};
}

std::optional<std::string> APMKeychainWrapper::keychainDataWithIdentifier(
    std::string_view identifier, std::string_view appID) {
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::nullopt;
  (*query)[kSecMatchLimit] = Value(kSecMatchLimitOne);
  (*query)[kSecReturnData] = Value(true);
  Value result;
  if (platform::SecItemCopyMatching(*query, &result) != platform::errSecSuccess) {
    return std::nullopt;
  }
  if (const auto* bytes = result.asBytes()) return bytes->data;
  return std::nullopt;
}

std::optional<std::string> APMKeychainWrapper::keychainValueWithIdentifier(
    std::string_view identifier, std::string_view appID) {
  if (!migrated.exchange(true)) migrateKeychainDataToStringWithIdentifier(identifier, appID);
  auto data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty() || !isValidUTF8(*data)) return std::nullopt;
  return data;
}

bool APMKeychainWrapper::upsertKeychainValue(const Value& value, std::string_view identifier,
                                             std::string_view appID) {
  const std::string* text = value.asString();
  if (text == nullptr || text->empty()) return false;
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  if (keychainDataWithIdentifier(identifier, appID)) {
    return platform::SecItemUpdate(*query, {{kSecValueData, Value::bytes(*text)}}) ==
           platform::errSecSuccess;
  }
  Value::Dictionary item = *query;
  item[kSecValueData] = Value::bytes(*text);
  item[kSecAttrAccessible] = Value(kSecAttrAccessibleAlwaysThisDeviceOnly);
  return platform::SecItemAdd(item) == platform::errSecSuccess;
}

void APMKeychainWrapper::deleteKeychainValueWithIdentifier(std::string_view identifier,
                                                           std::string_view appID) {
  if (auto query = searchDirectoryForIdentifier(identifier, appID)) {
    platform::SecItemDelete(*query);
  }
}

bool APMKeychainWrapper::isMigrationNeededForIdentifier(std::string_view identifier,
                                                        std::string_view appID) {
  auto query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  (*query)[kSecMatchLimit] = Value(kSecMatchLimitOne);
  (*query)[kSecReturnAttributes] = Value(true);
  Value result;
  if (platform::SecItemCopyMatching(*query, &result) != platform::errSecSuccess ||
      !result.isDictionary()) {
    return false;
  }
  const Value* account = result.find(kSecAttrAccount);
  const Value* generic = result.find(kSecAttrGeneric);
  if (account == nullptr || !account->isString()) return true;
  return generic == nullptr || !generic->isString();
}

void APMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(std::string_view identifier,
                                                                   std::string_view appID) {
  if (!isMigrationNeededForIdentifier(identifier, appID)) return;
  if (!keychainDataWithIdentifier(identifier, appID)) return;
  auto query = searchDirectoryForIdentifier(identifier, appID);
  platform::SecItemUpdate(
      *query, {{kSecAttrGeneric, Value(identifier)}, {kSecAttrAccount, Value(identifier)}});
}

void APMKeychainWrapper::resetMigrationForTesting() { migrated = false; }
