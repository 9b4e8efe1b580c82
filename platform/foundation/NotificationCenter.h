#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

class DispatchQueue;

// A notification: its name, its object and user info (a dictionary Value or null).
//
// The object is most often the sender, an identity only, never dereferenced (may be null).
// It can also be a value the notification hands over (the phone's dictionary objects): then
// `objectValue` holds it and `object` is its address, so that observers filter by it as by any
// other object.
struct Notification {
  std::string name;
  const void* object = nullptr;
  Value userInfo;
  std::shared_ptr<const Value> objectValue;
};

// The process's notification centre (the phone's NSNotificationCenter).
//
// Observers registered for a name (an empty name observes every notification) and
// optionally for one object are called for each matching post: synchronously on the
// posting thread when registered without a queue, else asynchronously on that queue.
// Observers are called in the order they were added.
//
// Thread-safe: observers may be added, removed and notifications posted from any thread,
// also from inside an observer. Once removeObserver returns, the observer is not called
// again (a call already running on another thread may still finish; queued deliveries
// that have not started are dropped).
class NotificationCenter {
 public:
  using Block = std::function<void(const Notification&)>;
  // Identifies one registration; 0 is never a valid token.
  using ObserverToken = uint64_t;

  static NotificationCenter& defaultCenter();

  // Registers `block` for notifications named `name` (empty: any name) from `object`
  // (null: any object). With a queue the block runs there, asynchronously.
  ObserverToken addObserverForName(std::string name, const void* object,
                                   std::shared_ptr<DispatchQueue> queue, Block block);
  // Unregisters; unknown tokens are ignored.
  void removeObserver(ObserverToken token);
  // How many observers are registered now; lets tests see that an owner removed its own.
  size_t observerCountForTesting();

  void postNotification(const Notification& notification);
  void postNotificationName(std::string name, const void* object = nullptr,
                            Value userInfo = Value());
  // Posts with a value as the object (its identity is `object.get()`; null: no object).
  void postNotificationNameWithObject(std::string name, std::shared_ptr<const Value> object,
                                      Value userInfo = Value());

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

 private:
  struct Registration;

  std::mutex mutex_;
  uint64_t nextToken_ = 1;
  std::vector<std::shared_ptr<Registration>> registrations_;
};

}  // namespace platform
