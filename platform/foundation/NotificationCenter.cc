#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <atomic>

#include "platform/dispatch/DispatchQueue.h"

namespace platform {

struct NotificationCenter::Registration {
  ObserverToken token = 0;
  std::string name;
  const void* object = nullptr;
  std::shared_ptr<DispatchQueue> queue;
  Block block;
  // Cleared by removeObserver; checked before every call, so that a removed observer
  // is not called by a post that was already under way or by a queued delivery.
  std::atomic<bool> active{true};

  bool matches(const Notification& n) const {
    return (name.empty() || name == n.name) && (object == nullptr || object == n.object);
  }
};

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter& center = *new NotificationCenter();
  return center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserverForName(
    std::string name, const void* object, std::shared_ptr<DispatchQueue> queue, Block block) {
  auto registration = std::make_shared<Registration>();
  registration->name = std::move(name);
  registration->object = object;
  registration->queue = std::move(queue);
  registration->block = std::move(block);
  std::lock_guard<std::mutex> lock(mutex_);
  registration->token = nextToken_++;
  registrations_.push_back(registration);
  return registration->token;
}

size_t NotificationCenter::observerCountForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrations_.size();
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::shared_ptr<Registration> removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(registrations_.begin(), registrations_.end(),
                           [token](const auto& r) { return r->token == token; });
    if (it == registrations_.end()) return;
    removed = *it;
    registrations_.erase(it);
  }
  // Calls already running on other threads may finish; none starts from now on. Waiting
  // for them could deadlock two observers that remove each other.
  removed->active = false;
}

void NotificationCenter::postNotification(const Notification& notification) {
  std::vector<std::shared_ptr<Registration>> matching;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& r : registrations_) {
      if (r->matches(notification)) matching.push_back(r);
    }
  }
  // Observers run outside the centre's lock, so that they may post, add and remove.
  for (const auto& r : matching) {
    if (!r->block) continue;
    if (r->queue) {
      auto copy = std::make_shared<Notification>(notification);
      r->queue->async([r, copy] {
        if (r->active) r->block(*copy);
      });
      continue;
    }
    if (r->active) r->block(notification);
  }
}

void NotificationCenter::postNotificationName(std::string name, const void* object,
                                              Value userInfo) {
  postNotification(Notification{std::move(name), object, std::move(userInfo), nullptr});
}

void NotificationCenter::postNotificationNameWithObject(std::string name,
                                                        std::shared_ptr<const Value> object,
                                                        Value userInfo) {
  const void* identity = object.get();
  postNotification(Notification{std::move(name), identity, std::move(userInfo), std::move(object)});
}

}  // namespace platform
