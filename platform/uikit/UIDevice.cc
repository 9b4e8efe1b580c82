#include "platform/uikit/UIDevice.h"

#include <errno.h>
#include <sys/random.h>

#include <array>
#include <string_view>
#include <utility>

#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/Value.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

// Whether `model` is `prefix` followed by a machine number "<major>,<minor>".
bool isMachineOf(std::string_view model, std::string_view prefix) {
  if (model.substr(0, prefix.size()) != prefix) return false;
  std::string_view number = model.substr(prefix.size());
  size_t comma = number.find(',');
  if (comma == std::string_view::npos || comma == 0 || comma + 1 == number.size()) return false;
  for (size_t i = 0; i < number.size(); ++i) {
    if (i != comma && (number[i] < '0' || number[i] > '9')) return false;
  }
  return true;
}

// 16 bytes from the kernel's random source, as a version 4 (random) UUID; nothing when the
// source fails.
std::optional<std::string> randomUUIDBytes() {
  std::string bytes(16, '\0');
  size_t filled = 0;
  while (filled < bytes.size()) {
    ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<size_t>(got);
  }
  bytes[6] = static_cast<char>((static_cast<unsigned char>(bytes[6]) & 0x0F) | 0x40);
  bytes[8] = static_cast<char>((static_cast<unsigned char>(bytes[8]) & 0x3F) | 0x80);
  return bytes;
}

}  // namespace

UIDevice& UIDevice::currentDevice() {
  static UIDevice& device = *new UIDevice();
  return device;
}

std::string UIDevice::model() const {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kFamilies = {{
      {"iPhone", "iPhone"},
      {"iPad", "iPad"},
      {"iPod", "iPod touch"},
      {"AppleTV", "Apple TV"},
      {"Watch", "Apple Watch"},
  }};
  std::string machine = OULAppEnvironmentUtil::deviceModel();
  for (const auto& [prefix, family] : kFamilies) {
    if (isMachineOf(machine, prefix)) return std::string(family);
  }
  return machine;
}

std::string UIDevice::systemName() const { return OULAppEnvironmentUtil::systemName(); }

std::string UIDevice::systemVersion() const { return OULAppEnvironmentUtil::systemVersion(); }

std::string UIDevice::UUID::UUIDString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    auto byte = static_cast<unsigned char>(bytes[i]);
    text += kHex[byte >> 4];
    text += kHex[byte & 0x0F];
  }
  return text;
}

std::optional<UIDevice::UUID> UIDevice::identifierForVendor() const {
  std::lock_guard<std::mutex> lock(vendorMutex_);
  std::shared_ptr<platform::PreferenceStore> store =
      platform::PreferenceStore::forDomain(kVendorIdentifierDomain);
  if (std::optional<platform::Value> stored = store->valueForKey(kVendorIdentifierKey)) {
    const platform::Value::Bytes* bytes = stored->asBytes();
    if (bytes != nullptr && bytes->data.size() == 16) return UUID{bytes->data};
  }
  std::optional<std::string> fresh = randomUUIDBytes();
  if (!fresh) return std::nullopt;
  // Kept even when it cannot be written: the process then answers the same one until it ends.
  (void)store->setValue(kVendorIdentifierKey, platform::Value::bytes(*fresh));
  if (absl::Status written = store->synchronize(); !written.ok()) {
    platform::PlatformLog::write("UIDevice: could not keep the vendor identifier: " +
                                 std::string(written.message()));
  }
  return UUID{*fresh};
}
