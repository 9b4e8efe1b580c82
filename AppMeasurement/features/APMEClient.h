#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/features/APMEExperimentObserverDelegate.h"
#include "AppMeasurement/features/APMESDKProperty.h"
#include "AppMeasurement/foundation/APMExperimentManaging.h"
#include "AppMeasurement/messages/APMPBMessages.h"

class APMEManager;

// One registered SDK's view of its experiments. Every operation asks the manager (held
// weakly: once it is gone the client answers nil, NO or nothing) by the property's name. Safe
// from any thread except the manager's own queue.
class APMEClient : public APMExperimentClient, public std::enable_shared_from_this<APMEClient> {
 public:
  // initWithSDKProperty:defaultFlags:withManager:. Null (logged) without a property (830000)
  // or without default flags (830001).
  static std::shared_ptr<APMEClient> create(std::shared_ptr<APMESDKProperty> property,
                                            const std::optional<std::vector<APMPBFlag>>& defaults,
                                            std::weak_ptr<APMEManager> manager);

  // The flag's value: activated snapshot, else launched, else default; nil (monostate) when
  // none has it. An empty name is logged (830002).
  NANOObject valueForFlag(std::string_view name) const;
  // valueForFlag for a key that must be text (830003 otherwise).
  NANOObject objectForKeyedSubscript(const NANOObject& key) const;
  // Activates the SDK's pending snapshot; false without one (no error) or on a bad name.
  bool activateLatestSnapshot(APMErrorSlot* error) override;
  // The activated snapshot is more than three days old or ahead.
  bool hasStaleSnapshot() const;
  void resetToDefaults();

  std::string SDKName() const { return property_->name(); }
  const std::vector<APMPBFlag>& defaultFlags() const { return defaultFlags_; }
  const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return property_; }

  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const;
  // Held weakly.
  void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate);

  // The measurement library's own use (the remote configuration): a flag read as a truth
  // value (a number that is not zero; a text as a boolean text reads), and a delegate of the
  // foundation's kind, held weakly.
  std::optional<bool> flagValue(const std::string& name) override;
  void setDelegate(std::weak_ptr<APMExperimentClientDelegate> delegate) override;

 private:
  APMEClient(std::shared_ptr<APMESDKProperty> property, std::vector<APMPBFlag> defaults,
             std::weak_ptr<APMEManager> manager)
      : property_(std::move(property)),
        defaultFlags_(std::move(defaults)),
        manager_(std::move(manager)) {}

  const std::shared_ptr<APMESDKProperty> property_;
  const std::vector<APMPBFlag> defaultFlags_;
  const std::weak_ptr<APMEManager> manager_;
  mutable std::mutex mutex_;  // guards the two below
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_;
  // Owned here when the delegate is of the foundation's kind (the adapter is what delegate_
  // points at).
  std::shared_ptr<APMEExperimentObserverDelegate> adapter_;
};
