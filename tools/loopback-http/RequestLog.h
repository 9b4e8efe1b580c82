#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "tools/loopback-http/HttpExchange.h"

namespace loopback {

// The recent requests a service received, for tests and developers to read back: a ring that
// holds at most `maxRequests` requests and `maxTotalBytes` of them in all, the oldest dropped
// first, each body cut at `maxBodyBytes`. However many requests arrive, what it holds stays
// within these bounds. Thread-safe.
class RequestLog {
 public:
  struct Limits {
    size_t maxRequests = 1000;
    size_t maxBodyBytes = size_t{1} << 20;
    size_t maxTotalBytes = size_t{32} << 20;
  };
  struct Entry {
    uint64_t sequence = 0;  // 1 for the first request the service ever logged, then 2, ...
    HttpRequest request;    // its body cut at maxBodyBytes
    size_t bodySize = 0;    // the body's size as received
  };

  RequestLog() = default;
  explicit RequestLog(Limits limits) : limits_(limits) {}

  void add(const HttpRequest& request);
  // Up to `limit` entries with a sequence above `after`, oldest first.
  std::vector<Entry> page(uint64_t after, size_t limit) const;
  std::vector<HttpRequest> requests() const;
  void clear();

  const Limits& limits() const { return limits_; }

 private:
  static size_t sizeOf(const HttpRequest& request);

  const Limits limits_;
  mutable std::mutex mutex_;
  std::deque<Entry> entries_;  // guarded by mutex_
  size_t bytes_ = 0;           // guarded by mutex_: sizeOf of every entry held
  uint64_t last_ = 0;          // guarded by mutex_: the last sequence given
};

}  // namespace loopback
