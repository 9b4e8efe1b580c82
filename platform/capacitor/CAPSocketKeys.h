#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

// The keys that open the bridge socket, one line per page that holds one (a browser tab).
//
// A line starts with the key of a page address whose one-time secret was spent. Each socket
// opened with a line's key is handed the line's next key (its first frame); once the page says
// it kept that key, the key it replaces is dead. So a key seen where other local users read it
// (a browser's command line) is worthless once the page has kept the next one, a few
// milliseconds after its first socket opened.
//
// Until the page says so, both keys of the line open a socket: a page reloaded before the next
// key reached it still holds the one it had, and a page that kept the next key without being
// able to say so presents that one (which then kills its predecessor). Each socket opened on a
// line hands a new next key in place of any earlier one not yet kept.
//
// At most kMaxLines lines, the newest. Every comparison takes a time that does not depend on
// where keys differ. Any thread.
class CAPSocketKeys {
 public:
  static constexpr size_t kMaxLines = 16;

  // Starts a line with `key` (the oldest line goes past kMaxLines).
  void add(std::string key);

  // A socket opens with `key`: the line's next key (32 hexadecimal digits) when `key` is live,
  // else empty.
  std::string open(std::string_view key);

  // The page kept `next`, a key open() gave: the key it replaces opens nothing from now on.
  void kept(std::string_view next);

 private:
  struct Line {
    std::string key;   // the key the page is known to hold
    std::string next;  // handed over a socket, not yet known to be kept; empty when none
  };
  std::mutex mutex_;
  std::deque<Line> lines_;  // guarded by mutex_
};

}  // namespace platform
