#include "platform/core/KVLInstallations.h"

#include <sys/random.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PreferenceStore.h"

namespace {

constexpr const char* kDomain = "com.kavrelin.installations";
constexpr const char* kKey = "installation_id";

std::optional<std::string> randomIdentifier() {
  unsigned char bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<size_t>(n);
  }
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string text;
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char byte : bytes) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      text += kAlphabet[(buffer >> bits) & 0x3f];
    }
  }
  if (bits > 0) text += kAlphabet[(buffer << (6 - bits)) & 0x3f];
  return text;  // 128 bits: 22 characters
}

}  // namespace

std::shared_ptr<KVLInstallations> KVLInstallations::installations() {
  static std::shared_ptr<KVLInstallations>& shared =
      *new std::shared_ptr<KVLInstallations>(new KVLInstallations());
  return shared;
}

void KVLInstallations::installationIDWithCompletion(Completion completion) {
  platform::DispatchQueue::global()->async([this, completion = std::move(completion)] {
    Error error;
    std::optional<std::string> identifier = this->identifier(&error);
    if (identifier) {
      completion(identifier, std::nullopt);
    } else {
      completion(std::nullopt, error);
    }
  });
}

std::optional<std::string> KVLInstallations::identifier(Error* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (failuresLeft_ > 0) {
    --failuresLeft_;
    *error = {1, "The installations service is unavailable."};
    return std::nullopt;
  }
  auto store = platform::PreferenceStore::forDomain(kDomain);
  if (std::optional<platform::Value> stored = store->valueForKey(kKey)) {
    if (const std::string* text = stored->asString(); text && !text->empty()) return *text;
  }
  std::optional<std::string> made = randomIdentifier();
  if (!made) {
    *error = {2, "No random bytes for a new installation identifier."};
    return std::nullopt;
  }
  absl::Status stored = store->setValue(kKey, platform::Value(*made));
  if (stored.ok()) stored = store->synchronize();
  if (!stored.ok()) {
    *error = {3, "Cannot keep the installation identifier: " + std::string(stored.message())};
    return std::nullopt;
  }
  return made;
}

void KVLInstallations::deleteInstallation() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto store = platform::PreferenceStore::forDomain(kDomain);
    store->removeValue(kKey);
    (void)store->synchronize();
  }
  platform::NotificationCenter::defaultCenter().postNotificationName(
      kInstallationIDDidChangeNotification);
}

void KVLInstallations::failNextRequestsForTesting(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  failuresLeft_ = count;
}
