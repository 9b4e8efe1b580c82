#pragma once

#include "platform/capacitor/CAPBridgedPlugin.h"
#include "platform/capacitor/CAPPlugin.h"
#include "platform/dynamic_links/KVLDynamicLinks.h"
#include "platform/foundation/NotificationCenter.h"

// The plug-in through which web code builds dynamic links and hears of the links that open the
// app ("deepLinkOpen", retained until a listener takes it). Create methods run on the bridge
// queue; the shortening and universal-link completions answer from a global queue; the
// notification handlers run on the posting thread (the main thread). No mutable state but the
// two observer tokens, set in load() and released in the destructor.
class CapacitorKavrelinDynamicLinks : public platform::CAPPlugin,
                                      public platform::CAPBridgedPlugin {
 public:
  using CAPPlugin::CAPPlugin;
  ~CapacitorKavrelinDynamicLinks() override;

  std::string identifier() const override { return "CapacitorKavrelinDynamicLinks"; }
  std::string jsName() const override { return "CapacitorKavrelinDynamicLinks"; }
  std::vector<platform::CAPPluginMethod> pluginMethods() const override;

  void load() override;
  bool performMethod(const std::string& name,
                     const std::shared_ptr<platform::CAPPluginCall>& call) override;

  void createDynamicLink(const std::shared_ptr<platform::CAPPluginCall>& call);
  void createDynamicShortLink(const std::shared_ptr<platform::CAPPluginCall>& call);
  void handleUrlOpenedWithNotification(const platform::Notification& notification);
  void handleUniversalLinkWithNotification(const platform::Notification& notification);

 private:
  // The checked components with every option object applied, or none after rejecting the call.
  std::shared_ptr<KVLDynamicLinkComponents> components(
      const std::shared_ptr<platform::CAPPluginCall>& call);
  void handleLink(const KVLDynamicLink& link);

  platform::NotificationCenter::ObserverToken openURLObserver_ = 0;
  platform::NotificationCenter::ObserverToken universalLinkObserver_ = 0;
};
