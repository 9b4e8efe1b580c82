#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/runtime/RuntimeObject.h"

// Objects another library attaches to a UI object under a key of its own (the phone's
// associated objects, retained and atomic). A reader checks the kind of what it finds with a
// dynamic_cast, as the phone's code checks the class. Thread-safe.
class UIAssociatedObjects {
 public:
  // What is attached under `key`, or nullptr.
  std::shared_ptr<platform::RuntimeObject> associatedObject(const std::string& key) const {
    std::lock_guard<std::mutex> lock(associatedMutex_);
    auto found = associated_.find(key);
    return found == associated_.end() ? nullptr : found->second;
  }
  // Attaches `object` under `key`; nullptr removes what is there.
  void setAssociatedObject(const std::string& key,
                           std::shared_ptr<platform::RuntimeObject> object) {
    std::lock_guard<std::mutex> lock(associatedMutex_);
    if (object) {
      associated_[key] = std::move(object);
    } else {
      associated_.erase(key);
    }
  }

 private:
  mutable std::mutex associatedMutex_;  // guards associated_
  std::map<std::string, std::shared_ptr<platform::RuntimeObject>> associated_;
};
