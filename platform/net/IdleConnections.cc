#include "platform/net/IdleConnections.h"

#include <utility>

namespace platform {

IdleConnections::Id IdleConnections::add(Close close) {
  const Id id = next_++;
  waiting_.emplace(id, std::move(close));
  return id;
}

void IdleConnections::remove(Id id) { waiting_.erase(id); }

bool IdleConnections::closeOldest() {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    // Withdrawn before the call: a close may end the connection, which then removes itself.
    Close close = std::move(it->second);
    const Id id = it->first;
    it = waiting_.erase(it);
    if (close()) return true;
    it = waiting_.emplace_hint(it, id, std::move(close));
    ++it;
  }
  return false;
}

}  // namespace platform
