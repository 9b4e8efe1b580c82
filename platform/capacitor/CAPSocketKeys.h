#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The keys that open the bridge socket, one line per page that holds one (a browser tab).
//
// A line starts with the key of a page address whose one-time secret was spent. Each socket
// opened with the line's key is handed a next key of its own (its first frame). The first
// acknowledgement of any key handed out from the line spends the line: that key becomes the
// line's key, every other key handed out and the key they replace open nothing more, and every
// other socket opened from the line is to be closed. So a key seen where other local users read
// it (a browser's command line) is worthless once a page has kept the next one, and no socket
// opened with it outlives it, whichever of two openers opened first. If another opener kept its
// key first, the page's socket is among those closed and the key it kept opens nothing: its
// reload must ask for a new address.
//
// Two ways to acknowledge: the socket says it kept the key handed to it (kept()), or a socket
// opens with a key handed out from the line (a page that kept the key went, or was reloaded,
// before it could say so). Until one comes, the line's key opens any number of sockets (a page
// reloaded before the next key reached it still holds the key it had).
//
// Sockets are named by the caller (any id unique among open sockets). At most kMaxLines lines,
// the newest. Every comparison takes a time that does not depend on where keys differ. Any
// thread.
class CAPSocketKeys {
 public:
  static constexpr size_t kMaxLines = 16;
  // Keys handed to sockets that closed before an acknowledgement, kept per line (the newest):
  // a page reloaded between keeping its key and saying so presents one of them. Keys handed to
  // open sockets are all kept.
  static constexpr size_t kMaxKeysOfClosedSockets = 16;

  // Starts a line with `key` (the oldest line goes past kMaxLines).
  void add(std::string key);

  struct Opened {
    std::string next;             // the key to hand the socket (32 hex digits); empty: refused
    std::vector<uint64_t> stale;  // other sockets of the line, to be closed now
  };
  // Socket `socket` asks to open with `key`: refused when `key` is not live. A key handed out
  // from the line acknowledges it (see above); the socket joins the line either way.
  Opened open(std::string_view key, uint64_t socket);

  // Socket `socket` says it kept `next`: the sockets to close now. When `next` is the key
  // handed to it and the line is not spent, the line is spent to it and the others are
  // answered; otherwise (another acknowledgement came first) `socket` alone.
  std::vector<uint64_t> kept(uint64_t socket, std::string_view next);

  // Socket `socket` closed: it leaves its line (the key it was handed stays, within
  // kMaxKeysOfClosedSockets).
  void closed(uint64_t socket);

 private:
  struct Handed {
    std::string next;
    uint64_t socket = 0;
    bool open = true;
  };
  struct Line {
    std::string key;             // opens sockets until a key handed from it is acknowledged
    std::vector<Handed> handed;  // one per socket opened with `key`, oldest first
    std::set<uint64_t> sockets;  // open sockets opened from any key of the line
  };
  // Makes `next` the line's key; answers the line's other sockets, which leave it.
  static std::vector<uint64_t> spend(Line& line, std::string next, uint64_t keeper);

  std::mutex mutex_;
  std::deque<Line> lines_;  // guarded by mutex_
};

}  // namespace platform
