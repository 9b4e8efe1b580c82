#include "AppMeasurement/foundation/APMAEU.h"

#include <filesystem>

#include "platform/foundation/AppContainer.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/uikit/UIApplication.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

constexpr const char* kSandboxReceiptName = "sandboxReceipt";

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::optional<std::string> APMAEU::appStoreRURL() {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  std::optional<platform::Value> check =
      bundle->objectForInfoDictionaryKey(kReceiptURLCheckEnabledKey);
  // Only a number that reads as NO turns the lookup off; other kinds are ignored.
  if (check && check->isNumber() && !check->numberAsBool().value_or(true)) return std::nullopt;

  std::filesystem::path root = platform::AppContainer::root();
  if (root.empty()) return std::nullopt;
  // StoreKit keeps the receipt in the app's container; a sandbox (test) install has a
  // sandbox receipt in its place.
  std::filesystem::path storeKit = root / "StoreKit";
  std::filesystem::path sandbox = storeKit / kSandboxReceiptName;
  if (platform::FileManager::defaultManager().fileExistsAtPath(sandbox)) return sandbox.string();
  return (storeKit / "receipt").string();
}

bool APMAEU::isASRS() {
  std::optional<std::string> url = appStoreRURL();
  return url && std::filesystem::path(*url).filename() == kSandboxReceiptName;
}

bool APMAEU::isNOD() {
  std::string model = deviceModel();
  return model == "x86_64" || model == "i386";
}

bool APMAEU::isAEX() {
  std::string path = platform::Bundle::mainBundle()->bundlePath().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return endsWith(path, ".appex");
}

bool APMAEU::isFAS() {
  if (isNOD() || isASRS()) return false;
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  platform::FileManager& files = platform::FileManager::defaultManager();
  const std::filesystem::path& bundlePath = bundle->bundlePath();
  if (!bundlePath.empty() && files.fileExistsAtPath(bundlePath / "SC_Info")) return true;
  // The phone reads the encryption mark of the main executable; an ELF executable has
  // none, so the utilities framework's configured App Store fact stands in for it.
  if (!OULAppEnvironmentUtil::isFromAppStore()) return false;
  return !bundle->pathForResource("embedded", "mobileprovision").has_value();
}

std::string APMAEU::deviceModel() { return OULAppEnvironmentUtil::deviceModel(); }

std::string APMAEU::systemVersion() { return OULAppEnvironmentUtil::systemVersion(); }

std::shared_ptr<UIApplication> APMAEU::sharedApplication() {
  // Extensions have no application object; the library must not reach for one there.
  if (isAEX()) return nullptr;
  return UIApplication::sharedApplication();
}
