#include "platform/security/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "platform/foundation/AppContainer.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace platform {
namespace {

using namespace keychain;

std::mutex& processMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

// Serialises this process's file work; the advisory lock serialises processes.
std::mutex& fileMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

std::optional<std::filesystem::path>& pathOverride() {
  static std::optional<std::filesystem::path>& path = *new std::optional<std::filesystem::path>();
  return path;
}

bool isSearchKey(std::string_view key) { return key.starts_with("m_") || key.starts_with("r_"); }

const std::string* contentOf(const Value& value) {
  if (const auto* text = value.asString()) return text;
  if (const auto* bytes = value.asBytes()) return &bytes->data;
  return nullptr;
}

// Equal values, or text and bytes of the same content.
bool attributeMatches(const Value& wanted, const Value& stored) {
  if (wanted == stored) return true;
  const std::string* a = contentOf(wanted);
  const std::string* b = contentOf(stored);
  return a != nullptr && b != nullptr && *a == *b;
}

bool itemMatches(const Value::Dictionary& query, const Value::Dictionary& item) {
  for (const auto& [key, value] : query) {
    if (isSearchKey(key) || key == kSecValueData) continue;
    auto it = item.find(key);
    if (it == item.end() || !attributeMatches(value, it->second)) return false;
  }
  return true;
}

bool validAttributes(const Value::Dictionary& attributes) {
  for (const auto& [key, value] : attributes) {
    if (isSearchKey(key)) continue;
    if (!value.isString() && !value.isBytes()) return false;
  }
  auto cls = attributes.find(kSecClass);
  return cls != attributes.end() && cls->second == Value(kSecClassGenericPassword);
}

// The file's items under an exclusive lock held while `work` runs; `work` answers whether the
// items changed and must be written back.
OSStatus withItems(const std::function<OSStatus(Value::Array& items, bool& changed)>& work) {
  std::filesystem::path path = SecKeychainPath();
  if (path.empty()) return errSecIO;
  std::lock_guard<std::mutex> processLock(fileMutex());
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  ::chmod(path.parent_path().c_str(), 0700);
  std::string lockPath = path.string() + ".lock";
  int lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0) return errSecIO;
  ::flock(lockFd, LOCK_EX);
  Value::Array items;
  auto& files = FileManager::defaultManager();
  if (files.fileExistsAtPath(path)) {
    auto data = files.contentsAtPath(path);
    auto plist = data.ok() ? PropertyListSerialization::propertyListWithData(*data)
                           : absl::StatusOr<Value>(data.status());
    if (plist.ok() && plist->isArray()) {
      items = *plist->asArray();
    } else {
      PlatformLog::write("Keychain: " + path.string() + " cannot be read; no item is answered");
      ::flock(lockFd, LOCK_UN);
      ::close(lockFd);
      return errSecIO;
    }
  }
  bool changed = false;
  OSStatus status = work(items, changed);
  if (changed) {
    auto data = PropertyListSerialization::dataWithPropertyList(
        Value(std::move(items)), PropertyListSerialization::Format::Binary);
    if (!data.ok() || !files.writeAtomically(path, *data).ok()) status = errSecIO;
    ::chmod(path.c_str(), 0600);
  }
  ::flock(lockFd, LOCK_UN);
  ::close(lockFd);
  return status;
}

}  // namespace

std::filesystem::path SecKeychainPath() {
  {
    std::lock_guard<std::mutex> lock(processMutex());
    if (pathOverride()) return *pathOverride();
  }
  // Beside the container, never inside it: a reinstall (a new container in the same place)
  // finds it, while a new device (the folder holding both) starts without it.
  std::filesystem::path container = AppContainer::root().lexically_normal();
  if (container.empty()) return {};
  if (!container.has_filename()) container = container.parent_path();
  return container.parent_path() / "KavrelinKeychain" / "keychain.plist";
}

void SecKeychainSetPathForTesting(std::optional<std::filesystem::path> path) {
  std::lock_guard<std::mutex> lock(processMutex());
  pathOverride() = std::move(path);
}

OSStatus SecItemAdd(const Value::Dictionary& attributes) {
  if (!validAttributes(attributes)) return errSecParam;
  return withItems([&](Value::Array& items, bool& changed) {
    Value::Dictionary key;
    for (const char* name : {kSecClass, kSecAttrService, kSecAttrAccount}) {
      auto it = attributes.find(name);
      key[name] = it == attributes.end() ? Value("") : it->second;
    }
    for (const Value& item : items) {
      if (item.isDictionary() && itemMatches(key, *item.asDictionary())) return errSecDuplicateItem;
    }
    Value::Dictionary stored;
    for (const auto& [name, value] : attributes) {
      if (!isSearchKey(name)) stored[name] = value;
    }
    items.emplace_back(std::move(stored));
    changed = true;
    return errSecSuccess;
  });
}

OSStatus SecItemCopyMatching(const Value::Dictionary& query, Value* result) {
  if (!validAttributes(query)) return errSecParam;
  bool wantData = query.count(kSecReturnData) > 0;
  bool wantAttributes = query.count(kSecReturnAttributes) > 0;
  auto limit = query.find(kSecMatchLimit);
  bool all = limit != query.end() && limit->second == Value(kSecMatchLimitAll);
  return withItems([&](Value::Array& items, bool&) {
    Value::Array found;
    for (const Value& item : items) {
      if (!item.isDictionary() || !itemMatches(query, *item.asDictionary())) continue;
      const auto& attributes = *item.asDictionary();
      Value answer;
      if (wantAttributes) {
        Value::Dictionary copy = attributes;
        if (!wantData) copy.erase(kSecValueData);
        answer = Value(std::move(copy));
      } else if (wantData) {
        auto data = attributes.find(kSecValueData);
        answer = data == attributes.end() ? Value::bytes("") : data->second;
      }
      found.push_back(std::move(answer));
      if (!all) break;
    }
    if (found.empty()) return errSecItemNotFound;
    if (result != nullptr) *result = all ? Value(std::move(found)) : std::move(found.front());
    return errSecSuccess;
  });
}

OSStatus SecItemUpdate(const Value::Dictionary& query,
                       const Value::Dictionary& attributesToUpdate) {
  if (!validAttributes(query)) return errSecParam;
  for (const auto& [name, value] : attributesToUpdate) {
    if (isSearchKey(name) || name == kSecClass || (!value.isString() && !value.isBytes())) {
      return errSecParam;
    }
  }
  return withItems([&](Value::Array& items, bool& changed) {
    bool any = false;
    for (Value& item : items) {
      if (!item.isDictionary() || !itemMatches(query, *item.asDictionary())) continue;
      for (const auto& [name, value] : attributesToUpdate) (*item.asDictionary())[name] = value;
      any = true;
    }
    changed = any;
    return any ? errSecSuccess : errSecItemNotFound;
  });
}

OSStatus SecItemDelete(const Value::Dictionary& query) {
  if (!validAttributes(query)) return errSecParam;
  return withItems([&](Value::Array& items, bool& changed) {
    size_t before = items.size();
    std::erase_if(items, [&](const Value& item) {
      return item.isDictionary() && itemMatches(query, *item.asDictionary());
    });
    changed = items.size() != before;
    return changed ? errSecSuccess : errSecItemNotFound;
  });
}

}  // namespace platform
