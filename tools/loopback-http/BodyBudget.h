#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>

namespace loopback {

// The bytes of request bodies a server holds at once, across all its connections: a body is
// read only as far as the bytes it took from here, and gives them back when its answer is
// ready. Without it, peers that each send a large body but its last byte hold every such body
// at once (256 peers of 16 MiB: 4 GiB).
//
// A body takes its bytes as they come, kGrant at a time, not the length it declares: a peer
// holds what it has sent, so peers that trickle large bodies hold little, and what is left goes
// to others. Nothing frees what a peer sent within the rules, though: one that sends 16 MiB at
// once and then a byte every few seconds holds its 16 MiB until the whole-body limit, and four
// such peers hold 64 MiB. So a server that must take large bodies beside them keeps each past
// a few hundred KiB on disk (LoopbackHttpServer's bodyFolder, SpillingBody) and gives this
// budget the disk's bound (the measurement service: 1 GiB, which takes 64 of them). When the next
// bytes of a body do not fit, it waits; while bodies wait, room given back goes first to the one
// that holds least (a new body before another's next mebibyte), then to the shorter declared body,
// then to the one that asked first, so that no body grows while another holding less waits. Short
// bodies cannot be kept out by longer ones: the bodies a server's connections can hold, each
// declaring no more than one, do not fill its budget. One always goes when nothing is held, so a
// body larger than the budget is delayed, never refused for good. Asks up to kAlwaysTaken are never
// held back: they cost little, and every small request goes through at once.
//
// Not thread-safe: on the server's I/O thread only.
class BodyBudget {
 public:
  static constexpr size_t kAlwaysTaken = size_t{64} << 10;
  static constexpr size_t kGrant = size_t{1} << 20;

  // Where a body stands when it asks: the bytes it holds, then the length it declared (none:
  // the most). Room goes to the one that stands first.
  struct Standing {
    size_t held = 0;
    uint64_t length = UINT64_MAX;
    auto operator<=>(const Standing&) const = default;
  };
  // A body's place among the waiting ones: by its standing, then the first asked.
  struct Ticket {
    Standing body;
    uint64_t order;
    auto operator<=>(const Ticket&) const = default;
  };

  explicit BodyBudget(size_t limit) : limit_(limit) {}

  // Takes `bytes` more for `body`, when they fit and no waiting body stands as far ahead;
  // answers whether they were taken.
  bool take(Standing body, size_t bytes);
  // Waits for room: `resume` runs from give() once `bytes` are taken for the caller. The ticket
  // withdraws the wait (cancel), as when the peer went away or waited too long.
  Ticket wait(Standing body, size_t bytes, std::function<void()> resume);
  void cancel(Ticket ticket);
  // Whether the waiting body of `ticket` is the one that gets the next room given back.
  bool first(Ticket ticket) const { return !waiting_.empty() && waiting_.begin()->first == ticket; }
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
  uint64_t next_ = 1;
  std::map<Ticket, Waiter> waiting_;  // in the order they get room
};

}  // namespace loopback
