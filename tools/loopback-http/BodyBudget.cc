#include "tools/loopback-http/BodyBudget.h"

#include <utility>

namespace loopback {

bool BodyBudget::fits(size_t bytes) const {
  return bytes <= kAlwaysTaken || held_ == 0 || (held_ <= limit_ && bytes <= limit_ - held_);
}

bool BodyBudget::take(Standing body, size_t bytes) {
  if (bytes > kAlwaysTaken) {
    if (!waiting_.empty() && waiting_.begin()->first.body <= body) return false;
    if (!fits(bytes)) return false;
  }
  held_ += bytes;
  return true;
}

BodyBudget::Ticket BodyBudget::wait(Standing body, size_t bytes, std::function<void()> resume) {
  const Ticket ticket{body, next_++};
  waiting_.emplace(ticket, Waiter{bytes, std::move(resume)});
  return ticket;
}

void BodyBudget::cancel(Ticket ticket) { waiting_.erase(ticket); }

void BodyBudget::give(size_t bytes) {
  held_ -= bytes < held_ ? bytes : held_;
  while (!waiting_.empty() && fits(waiting_.begin()->second.bytes)) {
    Waiter next = std::move(waiting_.begin()->second);
    waiting_.erase(waiting_.begin());
    held_ += next.bytes;
    next.resume();
  }
}

}  // namespace loopback
