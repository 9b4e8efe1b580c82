#pragma once

#include <memory>

#include "platform/capacitor/CAPBridgedPlugin.h"
#include "platform/capacitor/CAPPlugin.h"
#include "platform/facebook/FBSDKLogin.h"

// The plug-in through which web code logs in and out with the social-login SDK, reads the token
// and the profile, reauthorises, logs app events and switches three SDK settings. Methods run on
// the bridge queue; login, logout and reauthorisation move to the main queue, where the login
// manager (owned for the plug-in's life) is used; the SDK's settings, tokens and profile are safe
// from any thread.
class FacebookLoginPlugin : public platform::CAPPlugin, public platform::CAPBridgedPlugin {
 public:
  using CAPPlugin::CAPPlugin;

  std::string identifier() const override { return "FacebookLoginPlugin"; }
  std::string jsName() const override { return "FacebookLogin"; }
  std::vector<platform::CAPPluginMethod> pluginMethods() const override;
  bool performMethod(const std::string& name,
                     const std::shared_ptr<platform::CAPPluginCall>& call) override;

  // SHA-256 of the nonce's UTF-8 bytes as 64 lower-case hexadecimal digits.
  static std::string nonceDigest(const std::string& nonce);

 private:
  using Call = std::shared_ptr<platform::CAPPluginCall>;
  void login(const Call& call);
  void logout(const Call& call);
  void getProfile(const Call& call);
  void reauthorize(const Call& call);
  // Answers with the current authentication token and profile, or without data.
  static void answerWithToken(const Call& call);

  const std::shared_ptr<LoginManager> loginManager_ = std::make_shared<LoginManager>();
};
