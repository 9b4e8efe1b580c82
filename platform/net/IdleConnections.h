#pragma once

#include <cstdint>
#include <functional>
#include <map>

namespace platform {

// The connections of a server that wait for a request, in the order they began to wait. When
// the server is full and a new peer waits (LoopbackAcceptor::MakeRoom), the one that has waited
// longest is closed: keep-alive peers that each send a request now and then can hold every place
// otherwise, for as long as they like. A connection that has already received part of its next
// request declines (its close answers false) and the next one is asked.
//
// Not thread-safe: on the server's I/O thread only.
class IdleConnections {
 public:
  using Id = uint64_t;
  // Closes the connection when it still has nothing of a request; answers whether it did.
  using Close = std::function<bool()>;

  // A connection begins to wait; the id withdraws it.
  Id add(Close close);
  // The connection received a request, or ended: it is no longer one to close. Idempotent.
  void remove(Id id);
  // Closes the connection that has waited longest and still has nothing of a request; answers
  // false when there is none.
  bool closeOldest();

  size_t size() const { return waiting_.size(); }

 private:
  Id next_ = 1;
  std::map<Id, Close> waiting_;  // ids grow: the oldest first
};

}  // namespace platform
