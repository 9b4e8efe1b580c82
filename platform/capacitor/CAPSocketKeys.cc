#include "platform/capacitor/CAPSocketKeys.h"

#include <utility>

#include "platform/security/SecretToken.h"

namespace platform {

void CAPSocketKeys::add(std::string key) {
  std::lock_guard lock(mutex_);
  lines_.push_back({std::move(key), {}});
  if (lines_.size() > kMaxLines) lines_.pop_front();
}

std::string CAPSocketKeys::open(std::string_view key) {
  std::lock_guard lock(mutex_);
  Line* found = nullptr;
  bool wasNext = false;
  // Every key compared, whichever matches.
  for (Line& line : lines_) {
    const bool isKey = equalSecrets(key, line.key);
    const bool isNext = equalSecrets(key, line.next);
    if (isKey || isNext) {
      found = &line;
      wasNext = isNext;
    }
  }
  if (!found) return {};
  if (wasNext) found->key = std::move(found->next);
  found->next = randomSecretToken();
  return found->next;
}

void CAPSocketKeys::kept(std::string_view next) {
  std::lock_guard lock(mutex_);
  for (Line& line : lines_) {
    if (equalSecrets(next, line.next)) {
      line.key = std::move(line.next);
      line.next.clear();
    }
  }
}

}  // namespace platform
