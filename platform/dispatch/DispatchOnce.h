#pragma once

#include <mutex>
#include <utility>

namespace platform {

// Runs a block once for the life of the token, as dispatch_once: later callers wait until
// the first run has finished. Thread-safe.
class DispatchOnce {
 public:
  template <class F>
  void run(F&& block) {
    std::call_once(flag_, std::forward<F>(block));
  }

 private:
  std::once_flag flag_;
};

}  // namespace platform
