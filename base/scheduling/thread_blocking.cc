#include "base/scheduling/thread_blocking.h"

#include <sched.h>
#include <time.h>

#include <cerrno>
#include <memory>

namespace base::scheduling {

ThreadIdentity::ThreadIdentity() {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_cond_init(&wakeup_, nullptr);
}

ThreadIdentity::~ThreadIdentity() {
  pthread_cond_destroy(&wakeup_);
  pthread_mutex_destroy(&mutex_);
}

ThreadIdentity* ThreadIdentity::Current() {
  thread_local std::unique_ptr<ThreadIdentity> identity = std::make_unique<ThreadIdentity>();
  return identity.get();
}

bool Wait(std::optional<std::chrono::system_clock::time_point> deadline) {
  return Wait(ThreadIdentity::Current(), deadline);
}

bool Wait(ThreadIdentity* self, std::optional<std::chrono::system_clock::time_point> deadline) {
  pthread_mutex_lock(&self->mutex_);
  bool posted = true;
  while (self->pending_posts_ == 0) {
    if (!deadline) {
      pthread_cond_wait(&self->wakeup_, &self->mutex_);
      continue;
    }
    auto since_epoch = deadline->time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    if (since_epoch.count() < 0) seconds = std::chrono::seconds(0);
    struct timespec abstime;
    abstime.tv_sec = static_cast<time_t>(seconds.count());
    abstime.tv_nsec = since_epoch.count() < 0
                          ? 0
                          : static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  since_epoch - seconds)
                                                  .count());
    if (pthread_cond_timedwait(&self->wakeup_, &self->mutex_, &abstime) == ETIMEDOUT &&
        self->pending_posts_ == 0) {
      posted = false;
      break;
    }
  }
  if (posted) --self->pending_posts_;
  pthread_mutex_unlock(&self->mutex_);
  return posted;
}

void Post(ThreadIdentity* identity) {
  pthread_mutex_lock(&identity->mutex_);
  ++identity->pending_posts_;
  pthread_cond_signal(&identity->wakeup_);
  pthread_mutex_unlock(&identity->mutex_);
}

void Yield() { sched_yield(); }

void Sleep(std::chrono::nanoseconds duration) {
  if (duration <= std::chrono::nanoseconds::zero()) return;
  // nanosleep takes at most a time_t of seconds; longer sleeps go in pieces.
  constexpr auto kMaxPiece = std::chrono::hours(24 * 365);
  while (duration > std::chrono::nanoseconds::zero()) {
    auto piece = std::min<std::chrono::nanoseconds>(duration, kMaxPiece);
    duration -= piece;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(piece);
    struct timespec request;
    request.tv_sec = static_cast<time_t>(seconds.count());
    request.tv_nsec = static_cast<long>((piece - seconds).count());
    struct timespec remaining;
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
  }
}

}  // namespace base::scheduling
