#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// A string-keyed dictionary of platform::Value that may be read and written from any thread at
// once. Every call holds the object's lock for its whole duration, so each call is atomic;
// results are copies, never references into the shared storage.
class OULMutableDictionary {
 public:
  OULMutableDictionary() = default;
  explicit OULMutableDictionary(platform::Value::Dictionary contents);
  OULMutableDictionary(const OULMutableDictionary&) = delete;
  OULMutableDictionary& operator=(const OULMutableDictionary&) = delete;

  // The value stored under key, or a null Value when there is none.
  platform::Value objectForKeyedSubscript(std::string_view key) const;

  // Stores value under key; a null value removes the key (nil removes, as on the phone).
  void setObject(platform::Value value, std::string_view key);

  // Removes the value under key, if any.
  void removeObjectForKey(std::string_view key);

  void removeAllObjects();

  // A snapshot copy of the whole dictionary.
  platform::Value::Dictionary dictionary() const;

  size_t count() const;

 private:
  mutable std::mutex mutex_;
  platform::Value::Dictionary storage_;
};
