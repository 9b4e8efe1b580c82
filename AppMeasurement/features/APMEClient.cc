#include "AppMeasurement/features/APMEClient.h"

#include <cctype>

#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/features/APMEMonitor.h"

namespace {

// The foundation's delegate (the remote configuration) seen as an experiment observer: it
// answers the new-snapshot, fetch-error and fetch-permission calls, not the queue.
class FoundationDelegateAdapter : public APMEExperimentObserverDelegate,
                                  public APMENewSnapshotObserving,
                                  public APMEFetchErrorObserving,
                                  public APMEFetchPermission {
 public:
  explicit FoundationDelegateAdapter(std::weak_ptr<APMExperimentClientDelegate> delegate)
      : delegate_(std::move(delegate)) {}
  void clientDidReceiveNewSnapshot(APMEClient& client) override {
    if (auto delegate = delegate_.lock()) delegate->clientDidReceiveNewSnapshot(client);
  }
  void clientDidReceiveFetchError(APMEClient& client, const APMError& error) override {
    if (auto delegate = delegate_.lock()) delegate->clientDidReceiveFetchError(client, error);
  }
  bool shouldFetchExperimentsForClient(APMEClient& client) override {
    auto delegate = delegate_.lock();
    return delegate && delegate->shouldFetchExperimentsForClient(client);
  }

 private:
  std::weak_ptr<APMExperimentClientDelegate> delegate_;
};

// A text's truth as a boolean text reads: leading blanks, then an optional sign and zeros,
// then Y, y, T, t or a digit 1-9.
bool textTruth(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i >= text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace

std::shared_ptr<APMEClient> APMEClient::create(
    std::shared_ptr<APMESDKProperty> property,
    const std::optional<std::vector<APMPBFlag>>& defaults, std::weak_ptr<APMEManager> manager) {
  if (!property) {
    APMEMonitor::shared().logWithLevel(0, 830000, "Cannot initialize the client with nil property");
    return nullptr;
  }
  if (!defaults) {
    APMEMonitor::shared().logWithLevel(0, 830001,
                                       "Cannot initialize the client with nil default flags");
    return nullptr;
  }
  return std::shared_ptr<APMEClient>(
      new APMEClient(std::move(property), *defaults, std::move(manager)));
}

NANOObject APMEClient::valueForFlag(std::string_view name) const {
  if (name.empty()) {
    APMEMonitor::shared().logWithLevel(0, 830002, "Cannot get value for empty flag name");
    return {};
  }
  std::shared_ptr<APMEManager> manager = manager_.lock();
  return manager ? manager->flagValueForFlagName(name, property_->name()) : NANOObject{};
}

NANOObject APMEClient::objectForKeyedSubscript(const NANOObject& key) const {
  const std::string* name = std::get_if<std::string>(&key);
  if (name == nullptr) {
    APMEMonitor::shared().logWithLevel(0, 830003, "Cannot get flag value of an invalid flag name",
                                       NANOObjectTypeName(key));
    return {};
  }
  return valueForFlag(*name);
}

bool APMEClient::activateLatestSnapshot(APMErrorSlot* error) {
  std::shared_ptr<APMEManager> manager = manager_.lock();
  return manager && manager->activateSnapshotOfSDK(property_->name(), error);
}

bool APMEClient::hasStaleSnapshot() const {
  std::shared_ptr<APMEManager> manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(property_->name()) == 1;
}

void APMEClient::resetToDefaults() {
  if (std::shared_ptr<APMEManager> manager = manager_.lock()) {
    manager->resetToDefaultsOfSDKName(property_->name());
  }
}

std::shared_ptr<APMEExperimentObserverDelegate> APMEClient::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void APMEClient::setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
  adapter_.reset();
}

std::optional<bool> APMEClient::flagValue(const std::string& name) {
  NANOObject value = valueForFlag(name);
  if (const NANONumber* number = std::get_if<NANONumber>(&value)) return number->boolValue();
  if (const std::string* text = std::get_if<std::string>(&value)) return textTruth(*text);
  return std::nullopt;
}

void APMEClient::setDelegate(std::weak_ptr<APMExperimentClientDelegate> delegate) {
  auto adapter = std::make_shared<FoundationDelegateAdapter>(std::move(delegate));
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = adapter;
  adapter_ = std::move(adapter);
}
