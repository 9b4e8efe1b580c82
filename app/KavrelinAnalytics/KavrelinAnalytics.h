#pragma once

#include "platform/capacitor/CAPBridgedPlugin.h"
#include "platform/capacitor/CAPPlugin.h"

// The plug-in through which web code reaches the measurement library. Every method checks its
// options, calls one operation of the facade (KVLAnalyticsFacade) and answers; it keeps no state.
// Methods run on the bridge queue; only the screen-view logging moves to the main queue.
class KavrelinAnalytics : public platform::CAPPlugin, public platform::CAPBridgedPlugin {
 public:
  using CAPPlugin::CAPPlugin;

  std::string identifier() const override { return "KavrelinAnalytics"; }
  std::string jsName() const override { return "KavrelinAnalytics"; }
  std::vector<platform::CAPPluginMethod> pluginMethods() const override;

  // Configures the platform core when it has no default app yet.
  void load() override;
  bool performMethod(const std::string& name,
                     const std::shared_ptr<platform::CAPPluginCall>& call) override;

  void setUserId(const std::shared_ptr<platform::CAPPluginCall>& call);
  void setUserProperty(const std::shared_ptr<platform::CAPPluginCall>& call);
  void getAppInstanceId(const std::shared_ptr<platform::CAPPluginCall>& call);
  void setScreenName(const std::shared_ptr<platform::CAPPluginCall>& call);
  void reset(const std::shared_ptr<platform::CAPPluginCall>& call);
  void logEvent(const std::shared_ptr<platform::CAPPluginCall>& call);
  void setCollectionEnabled(const std::shared_ptr<platform::CAPPluginCall>& call);
  void setSessionTimeoutDuration(const std::shared_ptr<platform::CAPPluginCall>& call);
  void enable(const std::shared_ptr<platform::CAPPluginCall>& call);
  void disable(const std::shared_ptr<platform::CAPPluginCall>& call);
};
