#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

// The social-login SDK's tokens, profile, login manager, graph requests, app events and URL
// handling, as far as the app calls them. Network work goes to the login-and-link service
// (FBSDKSettings::serviceURL) over OULNetwork.
//
// The current tokens and profile are process-wide and safe to read and replace from any thread.

struct FBSDKAccessToken {
  std::string tokenString;
  std::string userID;
  double expirationDate = 0;            // seconds since 1970 (platform::Clock)
  double dataAccessExpirationDate = 0;  // seconds since 1970
  bool isExpired() const;
  bool isDataAccessExpired() const;

  static std::shared_ptr<const FBSDKAccessToken> currentAccessToken();
  static void setCurrentAccessToken(std::shared_ptr<const FBSDKAccessToken> token);
};

struct FBSDKAuthenticationToken {
  std::string tokenString;
  std::string nonce;
  static std::shared_ptr<const FBSDKAuthenticationToken> currentAuthenticationToken();
  static void setCurrentAuthenticationToken(std::shared_ptr<const FBSDKAuthenticationToken> token);
};

struct FBSDKProfile {
  std::string userID;
  std::optional<std::string> name;
  std::optional<std::string> email;
  static std::shared_ptr<const FBSDKProfile> current();
  static void setCurrent(std::shared_ptr<const FBSDKProfile> profile);
};

enum class LoginTracking { enabled, limited };

// LoginConfiguration(permissions:tracking:nonce:): refused (none) for a nonce or a permission
// that is empty or holds whitespace, as the SDK refuses them.
struct LoginConfiguration {
  std::vector<std::string> permissions;
  LoginTracking tracking = LoginTracking::limited;
  std::optional<std::string> nonce;
  static std::optional<LoginConfiguration> create(std::vector<std::string> permissions,
                                                  LoginTracking tracking,
                                                  std::optional<std::string> nonce = std::nullopt);
  // Why create refuses these, or nothing when it accepts them.
  static std::optional<std::string> refusal(const std::vector<std::string>& permissions,
                                            const std::optional<std::string>& nonce);
};

struct LoginResult {
  enum class Kind { success, cancelled, failed } kind = Kind::failed;
  std::string errorDescription;  // why it failed; never empty for a failure
};

// A login manager; used on the main queue. Completions run on the main queue.
class LoginManager {
 public:
  // POST "/v1/login" {permissions, tracking, nonce?}: the service answers {"result": "success",
  // "accessToken", "userId", "authenticationToken", "profile": {...}}, {"result": "cancelled"} or
  // an error. Success replaces the current tokens and profile.
  void logIn(const void* viewController, const LoginConfiguration& configuration,
             std::function<void(LoginResult)> completion);
  // Forgets the current tokens and profile.
  void logOut();
  // POST "/v1/reauthorize": a fresh access token (handler gets it) or an error.
  void reauthorizeDataAccess(
      const void* viewController,
      std::function<void(std::shared_ptr<const FBSDKAccessToken>, std::optional<std::string> error)>
          handler);
};

// A graph request: GET "/v1/graph/<path>?<parameters>&access_token=<current token>"; the
// completion (result, error) runs on the main queue.
class FBSDKGraphRequest {
 public:
  FBSDKGraphRequest(std::string graphPath, platform::Value::Dictionary parameters)
      : graphPath_(std::move(graphPath)), parameters_(std::move(parameters)) {}
  void startWithCompletion(
      std::function<void(std::optional<platform::Value> result, std::optional<std::string> error)>
          completion);

 private:
  std::string graphPath_;
  platform::Value::Dictionary parameters_;
};

// App events: POST "/v1/app_events" {"event": name, "app_id"}; fire and forget.
class FBSDKAppEvents {
 public:
  static FBSDKAppEvents& shared();
  void logEvent(const std::string& name);
  void activateApp();
};

// Ad-event measurement: POST "/v1/aem" {"url"} for each handled URL once enabled.
class AEMReporter {
 public:
  static void configure(const void* networker, const std::string& appID, const void* reporter);
  static void enable();
  static void handle(const std::string& url);
};

// The SDK's application delegate: claims URLs of its own scheme ("fb<app id>").
class FBSDKApplicationDelegate {
 public:
  static FBSDKApplicationDelegate& shared();
  bool didFinishLaunchingWithOptions(const platform::Value::Dictionary& options);
  bool open(const std::string& url, const std::optional<std::string>& sourceApplication,
            const std::optional<platform::Value>& annotation);
};
