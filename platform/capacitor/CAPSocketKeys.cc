#include "platform/capacitor/CAPSocketKeys.h"

#include <algorithm>
#include <utility>

#include "platform/security/SecretToken.h"

namespace platform {

void CAPSocketKeys::add(std::string key) {
  std::lock_guard lock(mutex_);
  lines_.push_back({std::move(key), {}, {}});
  if (lines_.size() > kMaxLines) lines_.pop_front();
}

std::vector<uint64_t> CAPSocketKeys::spend(Line& line, std::string next, uint64_t keeper) {
  line.key = std::move(next);
  line.handed.clear();
  std::vector<uint64_t> stale;
  for (uint64_t socket : line.sockets) {
    if (socket != keeper) stale.push_back(socket);
  }
  line.sockets.clear();
  line.sockets.insert(keeper);
  return stale;
}

CAPSocketKeys::Opened CAPSocketKeys::open(std::string_view key, uint64_t socket) {
  std::lock_guard lock(mutex_);
  Line* found = nullptr;
  const Handed* handed = nullptr;
  // Every key compared, whichever matches.
  for (Line& line : lines_) {
    if (equalSecrets(key, line.key)) found = &line;
    for (const Handed& h : line.handed) {
      if (equalSecrets(key, h.next)) {
        found = &line;
        handed = &h;
      }
    }
  }
  if (!found) return {};
  Opened opened;
  // A handed key presented: its page kept it, so the line is spent to it.
  if (handed) {
    std::string kept = handed->next;  // spend() clears what `handed` points into
    opened.stale = spend(*found, std::move(kept), socket);
  }
  opened.next = randomSecretToken();
  found->handed.push_back({opened.next, socket, true});
  found->sockets.insert(socket);
  return opened;
}

std::vector<uint64_t> CAPSocketKeys::kept(uint64_t socket, std::string_view next) {
  std::lock_guard lock(mutex_);
  Line* found = nullptr;
  for (Line& line : lines_) {
    for (const Handed& h : line.handed) {
      if (equalSecrets(next, h.next) && h.socket == socket) found = &line;
    }
  }
  // Another acknowledgement spent the line first: this socket's key opens nothing, and the
  // socket goes with it.
  if (!found) return {socket};
  return spend(*found, std::string(next), socket);
}

void CAPSocketKeys::closed(uint64_t socket) {
  std::lock_guard lock(mutex_);
  for (Line& line : lines_) {
    line.sockets.erase(socket);
    size_t ofClosed = 0;
    for (Handed& h : line.handed) {
      if (h.socket == socket) h.open = false;
      ofClosed += h.open ? 0 : 1;
    }
    // The oldest keys of closed sockets go first.
    for (auto it = line.handed.begin();
         ofClosed > kMaxKeysOfClosedSockets && it != line.handed.end();) {
      if (it->open) {
        ++it;
      } else {
        it = line.handed.erase(it);
        --ofClosed;
      }
    }
  }
}

}  // namespace platform
