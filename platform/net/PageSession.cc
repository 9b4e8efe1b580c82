#include "platform/net/PageSession.h"

#include <algorithm>

#include "platform/security/SecretToken.h"

namespace platform {

PageSession::PageSession(std::string cookieName)
    : cookieName_(std::move(cookieName)), session_(randomSecretToken()) {}

std::string PageSession::newSecret(std::string attached) {
  std::string secret = randomSecretToken();
  std::lock_guard lock(mutex_);
  unspent_.emplace_back(secret, std::move(attached));
  if (unspent_.size() > kMaxUnspentSecrets) unspent_.pop_front();
  return secret;
}

std::optional<std::string> PageSession::spend(std::string_view secret) {
  std::lock_guard lock(mutex_);
  for (auto it = unspent_.begin(); it != unspent_.end(); ++it) {
    if (equalSecrets(it->first, secret)) {
      std::string attached = std::move(it->second);
      unspent_.erase(it);
      return attached;
    }
  }
  return std::nullopt;
}

bool PageSession::admits(std::string_view cookieHeader) const {
  return equalSecrets(cookieValue(cookieHeader, cookieName_), session_);
}

std::string PageSession::setCookie() const {
  return cookieName_ + "=" + session_ + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string PageSession::cookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    std::string_view item = header.substr(0, header.find(';'));
    header.remove_prefix(std::min(header.size(), item.size() + 1));
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (item.size() > name.size() && item.substr(0, name.size()) == name &&
        item[name.size()] == '=') {
      return std::string(item.substr(name.size() + 1));
    }
  }
  return {};
}

}  // namespace platform
