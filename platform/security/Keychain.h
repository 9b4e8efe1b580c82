#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/foundation/Value.h"

namespace platform {

// The device keychain (the Security framework's SecItem functions) for generic-password items.
//
// An item is a dictionary of attributes: kSecClass, kSecAttrService, kSecAttrAccount,
// kSecAttrGeneric, kSecAttrAccessible and the secret kSecValueData. Attribute values are text or
// bytes, as the caller gave them; in a query, text and bytes of the same UTF-8 content match
// each other (as the phone's keychain matches an account given either way), while a read
// returns each attribute with the kind it was stored with.
//
// The items live in one property-list file beside the app's container, outside it, so that they
// survive a reinstall (a new container in the same place) but not a new device (a new folder for
// both): "KavrelinKeychain/keychain.plist" in the folder that holds the container
// (AppContainer::root()), which for the default container is the user data dir
// ($XDG_DATA_HOME, else ~/.local/share). Readable by the user only (folder 0700, file 0600). Every call reads and
// rewrites the file under an advisory lock, atomically (temporary file, fsync, rename), so
// several processes share it safely. Thread-safe.
namespace keychain {
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrGeneric = "gena";
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "dku";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";
inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
}  // namespace keychain

using OSStatus = int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;

// Adds an item; errSecDuplicateItem when one of the same class, service and account exists.
OSStatus SecItemAdd(const Value::Dictionary& attributes);
// Finds items whose attributes match the query's (the query's kSecMatch*/kSecReturn* keys
// steer the search). With kSecReturnData the result is the first item's data as bytes; with
// kSecReturnAttributes its attributes (data included when both are asked); with
// kSecMatchLimitAll an array of those.
OSStatus SecItemCopyMatching(const Value::Dictionary& query, Value* result);
// Changes the given attributes of every matching item.
OSStatus SecItemUpdate(const Value::Dictionary& query, const Value::Dictionary& attributesToUpdate);
OSStatus SecItemDelete(const Value::Dictionary& query);

// Where the items are kept: the default above, or a file set by a test (nullopt restores it).
std::filesystem::path SecKeychainPath();
void SecKeychainSetPathForTesting(std::optional<std::filesystem::path> path);

}  // namespace platform
