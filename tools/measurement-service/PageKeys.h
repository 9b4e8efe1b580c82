#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace measurement_service {

// The keys that open the owner's pages besides the session cookie. Browsers send the cookies
// of 127.0.0.1 to every port of it, so a page that another local user serves on some port
// receives the cookie too: the cookie alone must open no data. Each address the service gives
// carries a key in its fragment ("#key=..."), which a browser never sends; the page keeps it in
// its tab (sessionStorage, of this origin only) and sends it with each request for data. A key
// opens the pages once its address's one-time secret was spent.
// Thread-safe: any thread.
class PageKeys {
 public:
  // At most this many keys open the pages: the oldest goes first.
  static constexpr size_t kMaxKeys = 16;

  // `key` opens the pages from now on.
  void add(std::string key);

  // Whether `key` is one of the keys that open the pages (compared in constant time).
  bool admits(std::string_view key) const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> keys_;  // oldest first; mutex_
};

}  // namespace measurement_service
