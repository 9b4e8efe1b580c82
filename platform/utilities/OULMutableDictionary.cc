#include "platform/utilities/OULMutableDictionary.h"

#include <utility>

OULMutableDictionary::OULMutableDictionary(platform::Value::Dictionary contents)
    : storage_(std::move(contents)) {
  // A stored null would be indistinguishable from absence on reads: keep the invariant that
  // only non-null values are stored.
  std::erase_if(storage_, [](const auto& entry) { return entry.second.isNull(); });
}

platform::Value OULMutableDictionary::objectForKeyedSubscript(std::string_view key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = storage_.find(key);
  return it == storage_.end() ? platform::Value() : it->second;
}

void OULMutableDictionary::setObject(platform::Value value, std::string_view key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (value.isNull()) {
    auto it = storage_.find(key);
    if (it != storage_.end()) storage_.erase(it);
    return;
  }
  auto it = storage_.find(key);
  if (it != storage_.end()) {
    it->second = std::move(value);
  } else {
    storage_.emplace(std::string(key), std::move(value));
  }
}

void OULMutableDictionary::removeObjectForKey(std::string_view key) {
  setObject(platform::Value(), key);
}

void OULMutableDictionary::removeAllObjects() {
  std::lock_guard<std::mutex> lock(mutex_);
  storage_.clear();
}

platform::Value::Dictionary OULMutableDictionary::dictionary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storage_;
}

size_t OULMutableDictionary::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return storage_.size();
}
