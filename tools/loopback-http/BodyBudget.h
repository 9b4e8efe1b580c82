#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

namespace loopback {

// The bytes of request bodies a server holds at once, across all its connections: a body is
// read only once its bytes are taken from here, and they are given back when its answer is
// ready. Without it, peers that each send a large body but its last byte hold every such body
// at once (256 peers of 16 MiB: 4 GiB).
//
// A body that does not fit waits, in the order bodies asked, until bodies ahead of it are
// answered or cut; one always goes when nothing is held, so a body larger than the budget is
// delayed, never refused for good. Bodies up to kAlwaysTaken are never held back: they cost
// little, and every small request goes through at once.
//
// Not thread-safe: on the server's I/O thread only.
class BodyBudget {
 public:
  static constexpr size_t kAlwaysTaken = size_t{64} << 10;
  using Ticket = uint64_t;

  explicit BodyBudget(size_t limit) : limit_(limit) {}

  // Takes `bytes` for a body when they fit (and no body asked before them still waits); answers
  // whether they were taken.
  bool take(size_t bytes);
  // Waits for room: `resume` runs from give() once `bytes` are taken for the caller. The ticket
  // withdraws the wait (cancel), as when the peer went away or waited too long.
  Ticket wait(size_t bytes, std::function<void()> resume);
  void cancel(Ticket ticket);
  // Gives back bytes taken, and lets waiting bodies in while they fit.
  void give(size_t bytes);

  size_t held() const { return held_; }
  size_t waiting() const { return waiting_.size(); }

 private:
  bool fits(size_t bytes) const;

  struct Waiter {
    size_t bytes;
    std::function<void()> resume;
  };
  const size_t limit_;
  size_t held_ = 0;
  Ticket next_ = 1;
  std::map<Ticket, Waiter> waiting_;  // tickets grow: the first asked first
};

}  // namespace loopback
