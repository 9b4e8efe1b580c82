#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/runtime/RuntimeObject.h"
#include "platform/uikit/UIViewController.h"

// A window's screen stack: the view controllers that appeared in it, bottom first, held
// weakly (a controller that is freed leaves a dead entry until the stack is compacted).
// Attached to the key window. Thread-safe.
class APMScreenStack : public platform::RuntimeObject {
 public:
  using Entry = std::weak_ptr<UIViewController>;

  size_t count() const;
  bool empty() const { return count() == 0; }
  // The entry at `index` (nullptr when dead or out of range).
  std::shared_ptr<UIViewController> at(size_t index) const;
  // The index of the controller, by identity, or nothing.
  std::optional<size_t> indexOf(const UIViewController* controller) const;
  void append(const std::shared_ptr<UIViewController>& controller);
  // Removes every entry of the controller (by identity).
  void remove(const UIViewController* controller);
  void removeAt(size_t index);
  // Drops dead entries.
  void compact();
  // The live controllers, top first.
  std::vector<std::shared_ptr<UIViewController>> liveTopFirst() const;

 private:
  mutable std::mutex mutex_;  // guards entries_
  std::vector<Entry> entries_;
};
