#include "app/FacebookLogin/FacebookLoginPlugin.h"

#include <openssl/is_boringssl.h>
#include <openssl/sha.h>

#include "app/AppOutput.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/facebook/FBSDKSettings.h"

using platform::Value;

std::vector<platform::CAPPluginMethod> FacebookLoginPlugin::pluginMethods() const {
  return {{"initialize", "promise"},
          {"login", "promise"},
          {"logout", "promise"},
          {"getCurrentAccessToken", "promise"},
          {"getProfile", "promise"},
          {"reauthorize", "promise"},
          {"logEvent", "promise"},
          {"setAutoLogAppEventsEnabled", "promise"},
          {"setAdvertiserTrackingEnabled", "promise"},
          {"setAdvertiserIDCollectionEnabled", "promise"}};
}

bool FacebookLoginPlugin::performMethod(const std::string& name, const Call& call) {
  auto& settings = FBSDKSettings::shared();
  const bool enabled = call->getBool("enabled").value_or(false);
  if (name == "initialize") {
    call->resolve();
  } else if (name == "login") {
    login(call);
  } else if (name == "logout") {
    logout(call);
  } else if (name == "getCurrentAccessToken") {
    answerWithToken(call);
  } else if (name == "getProfile") {
    getProfile(call);
  } else if (name == "reauthorize") {
    reauthorize(call);
  } else if (name == "logEvent") {
    if (auto eventName = call->getString("eventName"))
      FBSDKAppEvents::shared().logEvent(*eventName);
    call->resolve();
  } else if (name == "setAutoLogAppEventsEnabled") {
    settings.isAutoLogAppEventsEnabled = enabled;
    call->resolve();
  } else if (name == "setAdvertiserTrackingEnabled") {
    settings.isAdvertiserTrackingEnabled = enabled;
    call->resolve();
  } else if (name == "setAdvertiserIDCollectionEnabled") {
    settings.isAdvertiserIDCollectionEnabled = enabled;
    call->resolve();
  } else {
    return false;
  }
  return true;
}

std::string FacebookLoginPlugin::nonceDigest(const std::string& nonce) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const uint8_t*>(nonce.data()), nonce.size(), digest);
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 15];
  }
  return out;
}

void FacebookLoginPlugin::answerWithToken(const Call& call) {
  auto token = FBSDKAuthenticationToken::currentAuthenticationToken();
  auto profile = FBSDKProfile::current();
  if (!token || !profile) return call->resolve();
  Value::Dictionary accessToken{{"token", Value(token->tokenString)},
                                {"userId", Value(profile->userID)},
                                {"name", profile->name ? Value(*profile->name) : Value()},
                                {"email", profile->email ? Value(*profile->email) : Value()}};
  call->resolve({{"accessToken", Value(std::move(accessToken))}});
}

namespace {
// An array whose elements are all strings, else none.
std::optional<std::vector<std::string>> strings(const std::optional<Value::Array>& array) {
  if (!array) return std::nullopt;
  std::vector<std::string> out;
  for (const Value& v : *array) {
    if (!v.isString()) return std::nullopt;
    out.push_back(*v.asString());
  }
  return out;
}
}  // namespace

void FacebookLoginPlugin::login(const Call& call) {
  auto permissions = strings(call->getArray("permissions"));
  if (!permissions) return call->reject("Missing permissions argument");
  const LoginTracking tracking = call->getString("tracking").value_or("limited") == "limited"
                                     ? LoginTracking::limited
                                     : LoginTracking::enabled;
  auto nonce = call->getString("nonce");
  auto configuration = nonce && !nonce->empty()
                           ? LoginConfiguration::create(*permissions, tracking, nonceDigest(*nonce))
                           : LoginConfiguration::create(*permissions, tracking);
  // The SDK refused the configuration: the call must still be answered, and the output says why.
  if (!configuration) {
    AppOutput::print("LoginManager.logIn: " +
                     LoginConfiguration::refusal(*permissions, std::nullopt)
                         .value_or("The login configuration was refused."));
    return call->reject("LoginManager.logIn failed");
  }
  platform::DispatchQueue::main()->async([manager = loginManager_, call, c = *configuration] {
    manager->logIn(nullptr, c, [call](LoginResult result) {
      switch (result.kind) {
        case LoginResult::Kind::success:
          AppOutput::print("Logged in");
          return answerWithToken(call);
        case LoginResult::Kind::cancelled:
          AppOutput::print("User cancelled login");
          return call->resolve();
        case LoginResult::Kind::failed:
          return call->reject("LoginManager.logIn failed");
      }
    });
  });
}

void FacebookLoginPlugin::logout(const Call& call) {
  // The login manager belongs to the main queue; the answer follows the logout.
  platform::DispatchQueue::main()->async([manager = loginManager_, call] {
    manager->logOut();
    call->resolve();
  });
}

void FacebookLoginPlugin::getProfile(const Call& call) {
  auto token = FBSDKAccessToken::currentAccessToken();
  if (!token) {
    return call->reject(
        "You're not logged in. Call FacebookLogin.login() first to obtain an access token.");
  }
  if (token->isExpired()) return call->reject("AccessToken is expired.");
  auto fields = strings(call->getArray("fields"));
  if (!fields) return call->reject("Missing fields argument");
  std::string joined;
  for (const auto& f : *fields) joined += (joined.empty() ? "" : ",") + f;
  FBSDKGraphRequest request("me", {{"fields", Value(joined)}});
  request.startWithCompletion(
      [call](std::optional<Value> result, std::optional<std::string> error) {
        // A result that is missing or no dictionary is as unusable as an error.
        if (error || !result || !result->isDictionary()) {
          return call->reject("An error has been occured.");
        }
        call->resolve(*result->asDictionary());
      });
}

void FacebookLoginPlugin::reauthorize(const Call& call) {
  std::weak_ptr<CAPPlugin> weak = weak_from_this();
  platform::DispatchQueue::main()->async([weak, manager = loginManager_, call] {
    auto token = FBSDKAccessToken::currentAccessToken();
    if (token && !token->isDataAccessExpired()) return answerWithToken(call);
    auto self = weak.lock();
    auto bridge = self ? self->bridge() : nullptr;
    auto viewController = bridge ? bridge->viewController() : nullptr;
    if (!viewController) {
      AppOutput::print("LoginManager.reauthorize: no view controller to present from");
      return call->reject("LoginManager.reauthorize failed");
    }
    manager->reauthorizeDataAccess(
        viewController.get(),
        [call](std::shared_ptr<const FBSDKAccessToken> fresh, std::optional<std::string> error) {
          if (fresh) return answerWithToken(call);
          AppOutput::print(error ? *error : "LoginManager.reauthorize: no token and no error");
          call->reject("LoginManager.reauthorize failed");
        });
  });
}
