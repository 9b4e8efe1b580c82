#include "tools/measurement-service/PageKeys.h"

#include "platform/security/SecretToken.h"

namespace measurement_service {

void PageKeys::add(std::string key) {
  std::lock_guard lock(mutex_);
  keys_.push_back(std::move(key));
  if (keys_.size() > kMaxKeys) keys_.pop_front();
}

bool PageKeys::admits(std::string_view key) const {
  std::lock_guard lock(mutex_);
  bool found = false;
  // Every key is compared, so that the time taken tells nothing of which one matched.
  for (const std::string& known : keys_) found = platform::equalSecrets(key, known) || found;
  return found;
}

}  // namespace measurement_service
