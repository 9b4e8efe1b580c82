#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

// Who may read the pages of a loopback server of ours, as notebook servers do it: every local
// user can reach 127.0.0.1, so the address the server prints carries a one-time secret
// (newSecret). The first request with it trades it (spend) for this run's session cookie, which
// the browser then sends with every request (admits). Another local user who finds the port has
// neither and reads nothing.
//
// The cookie is named by its server (browsers send the cookies of 127.0.0.1 to every port of
// it): "<prefix>-<port>". Its value is random per run (128 bits), compared in constant time.
// Thread-safe: any thread.
class PageSession {
 public:
  // At most this many unspent secrets are kept: the oldest goes first.
  static constexpr size_t kMaxUnspentSecrets = 16;

  explicit PageSession(std::string cookieName);

  // A new one-time secret (32 hexadecimal digits); `attached` comes back when it is spent.
  std::string newSecret(std::string attached = {});

  // Spends `secret` when it is one of the unspent ones: answers what was attached to it, or
  // nothing (unknown, or spent already).
  std::optional<std::string> spend(std::string_view secret);

  // Whether a Cookie header ("a=1; b=2") carries this run's session.
  bool admits(std::string_view cookieHeader) const;

  // The value of the Set-Cookie header that hands the session to a browser (HttpOnly,
  // SameSite=Strict, for every path).
  std::string setCookie() const;

  const std::string& cookieName() const { return cookieName_; }

  // The value of the cookie `name` in a Cookie header, or "".
  static std::string cookieValue(std::string_view header, std::string_view name);

 private:
  const std::string cookieName_;
  const std::string session_;
  mutable std::mutex mutex_;
  std::deque<std::pair<std::string, std::string>> unspent_;  // secret, attached; mutex_
};

}  // namespace platform
