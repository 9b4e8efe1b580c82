#include "platform/facebook/FBSDKLogin.h"

#include <atomic>
#include <cctype>
#include <mutex>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/facebook/FBSDKSettings.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/OULNetwork.h"

using platform::Value;

namespace {

std::mutex& gCurrentMutex = *new std::mutex();
// Guarded by gCurrentMutex:
std::shared_ptr<const FBSDKAccessToken>& gAccessToken =
    *new std::shared_ptr<const FBSDKAccessToken>();
std::shared_ptr<const FBSDKAuthenticationToken>& gAuthenticationToken =
    *new std::shared_ptr<const FBSDKAuthenticationToken>();
std::shared_ptr<const FBSDKProfile>& gProfile = *new std::shared_ptr<const FBSDKProfile>();

using Answer = std::function<void(std::optional<Value> body, std::optional<std::string> error)>;

// One JSON exchange with the login-and-link service; `answer` runs on `queue`.
void exchange(const std::string& method, const std::string& path, const Value& body,
              std::shared_ptr<platform::DispatchQueue> queue, Answer answer) {
  auto network = OULNetwork::create();
  const std::string url = FBSDKSettings::shared().serviceURL() + path;
  auto done = [answer, network](const std::optional<OULHTTPURLResponse>& response,
                                const std::optional<std::string>& data,
                                const std::optional<OULError>& error) {
    if (error) return answer(std::nullopt, error->description);
    if (!response || response->statusCode != 200) {
      return answer(std::nullopt, "The login service answered status " +
                                      std::to_string(response ? response->statusCode : 0) + ".");
    }
    auto parsed = platform::JSONSerialization::JSONObjectWithData(data.value_or(""));
    if (!parsed.ok()) return answer(std::nullopt, "The login service's answer is not JSON.");
    answer(*parsed, std::nullopt);
  };
  if (method == "GET") {
    network->getURL(url, {}, queue, false, done);
  } else {
    network->postURL(url, {{"Content-Type", "application/json"}},
                     platform::JSONSerialization::dataWithJSONObject(body).value_or("{}"), queue,
                     false, done);
  }
}

std::string stringOf(const Value& v, const char* key) {
  const Value* m = v.find(key);
  return m && m->isString() ? *m->asString() : std::string();
}

std::shared_ptr<const FBSDKAccessToken> tokenFrom(const Value& answer) {
  auto token = std::make_shared<FBSDKAccessToken>();
  token->tokenString = stringOf(answer, "accessToken");
  token->userID = stringOf(answer, "userId");
  const double now = platform::Clock::current()->now();
  const Value* expiresIn = answer.find("expiresIn");
  token->expirationDate = now + (expiresIn ? expiresIn->numberAsDouble().value_or(3600) : 3600);
  token->dataAccessExpirationDate = now + 90 * 86400.0;
  return token;
}

}  // namespace

bool FBSDKAccessToken::isExpired() const {
  return platform::Clock::current()->now() >= expirationDate;
}
bool FBSDKAccessToken::isDataAccessExpired() const {
  return platform::Clock::current()->now() >= dataAccessExpirationDate;
}

std::shared_ptr<const FBSDKAccessToken> FBSDKAccessToken::currentAccessToken() {
  std::lock_guard lock(gCurrentMutex);
  return gAccessToken;
}
void FBSDKAccessToken::setCurrentAccessToken(std::shared_ptr<const FBSDKAccessToken> token) {
  std::lock_guard lock(gCurrentMutex);
  gAccessToken = std::move(token);
}
std::shared_ptr<const FBSDKAuthenticationToken>
FBSDKAuthenticationToken::currentAuthenticationToken() {
  std::lock_guard lock(gCurrentMutex);
  return gAuthenticationToken;
}
void FBSDKAuthenticationToken::setCurrentAuthenticationToken(
    std::shared_ptr<const FBSDKAuthenticationToken> token) {
  std::lock_guard lock(gCurrentMutex);
  gAuthenticationToken = std::move(token);
}
std::shared_ptr<const FBSDKProfile> FBSDKProfile::current() {
  std::lock_guard lock(gCurrentMutex);
  return gProfile;
}
void FBSDKProfile::setCurrent(std::shared_ptr<const FBSDKProfile> profile) {
  std::lock_guard lock(gCurrentMutex);
  gProfile = std::move(profile);
}

std::optional<std::string> LoginConfiguration::refusal(const std::vector<std::string>& permissions,
                                                       const std::optional<std::string>& nonce) {
  auto valid = [](const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
      if (std::isspace(c)) return false;
    }
    return true;
  };
  if (nonce && !valid(*nonce))
    return "The login configuration was refused: the nonce is empty or holds whitespace.";
  for (const auto& permission : permissions) {
    if (!valid(permission)) {
      return "The login configuration was refused: the permission \"" + permission +
             "\" is empty or holds whitespace.";
    }
  }
  return std::nullopt;
}

std::optional<LoginConfiguration> LoginConfiguration::create(std::vector<std::string> permissions,
                                                             LoginTracking tracking,
                                                             std::optional<std::string> nonce) {
  if (refusal(permissions, nonce)) return std::nullopt;
  return LoginConfiguration{std::move(permissions), tracking, std::move(nonce)};
}

void LoginManager::logIn(const void*, const LoginConfiguration& configuration,
                         std::function<void(LoginResult)> completion) {
  Value body = Value::Dictionary{};
  Value permissions = Value::Array{};
  for (const auto& p : configuration.permissions) permissions.push_back(p);
  body["permissions"] = std::move(permissions);
  body["tracking"] = configuration.tracking == LoginTracking::limited ? "limited" : "enabled";
  if (configuration.nonce) body["nonce"] = *configuration.nonce;
  exchange("POST", "/v1/login", body, platform::DispatchQueue::main(),
           [completion](std::optional<Value> answer, std::optional<std::string> error) {
             if (error) return completion({LoginResult::Kind::failed, *error});
             const std::string result = stringOf(*answer, "result");
             if (result == "cancelled") return completion({LoginResult::Kind::cancelled, ""});
             if (result != "success") {
               std::string why = stringOf(*answer, "error");
               if (why.empty()) {
                 why = "The login service answered the result \"" + result + "\" without an error.";
               }
               return completion({LoginResult::Kind::failed, why});
             }
             FBSDKAccessToken::setCurrentAccessToken(tokenFrom(*answer));
             if (auto auth = stringOf(*answer, "authenticationToken"); !auth.empty()) {
               FBSDKAuthenticationToken::setCurrentAuthenticationToken(
                   std::make_shared<FBSDKAuthenticationToken>(
                       FBSDKAuthenticationToken{auth, stringOf(*answer, "nonce")}));
             }
             if (const Value* p = answer->find("profile"); p && p->isDictionary()) {
               auto profile = std::make_shared<FBSDKProfile>();
               profile->userID = stringOf(*p, "userId");
               if (const Value* n = p->find("name"); n && n->isString())
                 profile->name = *n->asString();
               if (const Value* e = p->find("email"); e && e->isString())
                 profile->email = *e->asString();
               FBSDKProfile::setCurrent(profile);
             }
             completion({LoginResult::Kind::success, ""});
           });
}

void LoginManager::logOut() {
  FBSDKAccessToken::setCurrentAccessToken(nullptr);
  FBSDKAuthenticationToken::setCurrentAuthenticationToken(nullptr);
  FBSDKProfile::setCurrent(nullptr);
}

void LoginManager::reauthorizeDataAccess(
    const void*,
    std::function<void(std::shared_ptr<const FBSDKAccessToken>, std::optional<std::string>)>
        handler) {
  auto current = FBSDKAccessToken::currentAccessToken();
  Value body = Value::Dictionary{};
  body["accessToken"] = current ? current->tokenString : "";
  exchange("POST", "/v1/reauthorize", body, platform::DispatchQueue::main(),
           [handler](std::optional<Value> answer, std::optional<std::string> error) {
             if (error) return handler(nullptr, error);
             if (stringOf(*answer, "accessToken").empty()) return handler(nullptr, std::nullopt);
             auto token = tokenFrom(*answer);
             FBSDKAccessToken::setCurrentAccessToken(token);
             handler(token, std::nullopt);
           });
}

void FBSDKGraphRequest::startWithCompletion(
    std::function<void(std::optional<Value>, std::optional<std::string>)> completion) {
  std::string path = "/v1/graph/" + graphPath_ + "?";
  for (const auto& [key, value] : parameters_) {
    if (value.isString()) {
      path += platform::URL::percentEncoded(key) + "=" +
              platform::URL::percentEncoded(*value.asString()) + "&";
    }
  }
  auto token = FBSDKAccessToken::currentAccessToken();
  path += "access_token=" + platform::URL::percentEncoded(token ? token->tokenString : "");
  exchange("GET", path, Value(), platform::DispatchQueue::main(),
           [completion](std::optional<Value> answer, std::optional<std::string> error) {
             completion(std::move(answer), std::move(error));
           });
}

FBSDKAppEvents& FBSDKAppEvents::shared() {
  static FBSDKAppEvents& events = *new FBSDKAppEvents();
  return events;
}

void FBSDKAppEvents::logEvent(const std::string& name) {
  Value body = Value::Dictionary{};
  body["event"] = name;
  body["app_id"] = FBSDKSettings::shared().appID();
  if (FBSDKSettings::shared().isLoggingBehaviorEnabled(FBSDKLoggingBehaviorAppEvents)) {
    platform::PlatformLog::write("FBSDKLog: logging app event " + name);
  }
  exchange("POST", "/v1/app_events", body, platform::DispatchQueue::global(),
           [](std::optional<Value>, std::optional<std::string>) {});
}

void FBSDKAppEvents::activateApp() { logEvent("fb_mobile_activate_app"); }

namespace {
std::atomic<bool> gAEMEnabled{false};
}

void AEMReporter::configure(const void*, const std::string&, const void*) {}
void AEMReporter::enable() { gAEMEnabled = true; }
void AEMReporter::handle(const std::string& url) {
  if (!gAEMEnabled) return;
  Value body = Value::Dictionary{};
  body["url"] = url;
  exchange("POST", "/v1/aem", body, platform::DispatchQueue::global(),
           [](std::optional<Value>, std::optional<std::string>) {});
}

FBSDKApplicationDelegate& FBSDKApplicationDelegate::shared() {
  static FBSDKApplicationDelegate& delegate = *new FBSDKApplicationDelegate();
  return delegate;
}

bool FBSDKApplicationDelegate::didFinishLaunchingWithOptions(const Value::Dictionary&) {
  return true;
}

bool FBSDKApplicationDelegate::open(const std::string& url, const std::optional<std::string>&,
                                    const std::optional<Value>&) {
  auto parsed = platform::URL::URLWithString(url);
  return parsed && parsed->scheme() == "fb" + FBSDKSettings::shared().appID();
}
