#include "tools/link-service/LinkService.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

namespace link_service {

namespace {

using loopback::HttpRequest;
using loopback::HttpResponse;

HttpResponse json(int status, const nlohmann::json& body) {
  return HttpResponse::text(status, body.dump(), "application/json");
}

// The value of one query item of a URL, percent-decoded ('+' is a space).
std::string queryItem(const std::string& url, const std::string& name) {
  auto q = url.find('?');
  if (q == std::string::npos) return {};
  std::string query = url.substr(q + 1);
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    auto eq = pair.find('=');
    if (eq != std::string::npos && pair.substr(0, eq) == name) {
      std::string out;
      std::string value = pair.substr(eq + 1);
      for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size() &&
            std::isxdigit(static_cast<unsigned char>(value[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(value[i + 2]))) {
          out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          out += value[i] == '+' ? ' ' : value[i];
        }
      }
      return out;
    }
    start = end + 1;
  }
  return {};
}

}  // namespace

namespace {
loopback::LoopbackHttpServer::Options bounded(loopback::LoopbackHttpServer::Options options) {
  options.bodyLimit = std::min(options.bodyLimit, LinkService::kMaxBodyBytes);
  return options;
}
}  // namespace

LinkService::LinkService(const loopback::LoopbackHttpServer::Options& options)
    : server_(bounded(options), [this](const HttpRequest& r) { return service_.handle(r); }) {
  service_.route("POST", "/v1/shortLinks", [this](const HttpRequest& r) { return shorten(r); });
  service_.route("POST", "/v1/reopenAttribution",
                 [this](const HttpRequest& r) { return resolve(r); });
  // Social login: a successful login of a fixed test user unless a test scripts otherwise
  // ({"result": "cancelled"}, a failure status).
  service_.route("POST", "/v1/login", [](const HttpRequest& request) {
    if (auto refused = loopback::refuseUnboundedJSON(request.body)) return *refused;
    auto body = nlohmann::json::parse(request.body, nullptr, false);
    std::string nonce = body.is_object() && body.contains("nonce") && body["nonce"].is_string()
                            ? body["nonce"].get<std::string>()
                            : "";
    return json(200,
                {{"result", "success"},
                 {"accessToken", "access-token-1"},
                 {"userId", "1001"},
                 {"expiresIn", 3600},
                 {"authenticationToken", "authentication-token-1"},
                 {"nonce", nonce},
                 {"profile", {{"userId", "1001"}, {"name", "Test User"}, {"email", nullptr}}}});
  });
  service_.route("POST", "/v1/reauthorize", [](const HttpRequest&) {
    return json(200, {{"accessToken", "access-token-2"}, {"userId", "1001"}, {"expiresIn", 3600}});
  });
  service_.route("GET", "/v1/graph/", [](const HttpRequest& request) {
    return json(200, {{"id", "1001"}, {"path", request.path}, {"query", request.query}});
  });
  service_.route("POST", "/v1/app_events", [](const HttpRequest&) { return json(200, {}); });
  service_.route("POST", "/v1/aem", [](const HttpRequest&) { return json(200, {}); });
}

HttpResponse LinkService::shorten(const HttpRequest& request) {
  if (auto refused = loopback::refuseUnboundedJSON(request.body)) return *refused;
  auto body = nlohmann::json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("longDynamicLink") ||
      !body["longDynamicLink"].is_string()) {
    return json(400, {{"error", {{"message", "longDynamicLink is missing"}}}});
  }
  std::string longLink = body["longDynamicLink"];
  if (longLink.size() > kMaxLongLinkBytes) {
    return json(
        413,
        {{"error",
          {{"message", "longDynamicLink over " + std::to_string(kMaxLongLinkBytes) + " bytes"}}}});
  }
  auto scheme = longLink.find("://");
  if (scheme == std::string::npos) return json(400, {{"error", {{"message", "bad long link"}}}});
  auto hostEnd = longLink.find_first_of("/?", scheme + 3);
  std::string origin = longLink.substr(0, hostEnd);
  std::lock_guard lock(mutex_);
  std::string shortLink = origin + "/s" + std::to_string(next_++);
  // Each link is held twice (map key and order), its long link once, with their bookkeeping.
  auto cost = [](const std::string& shortLink, const std::string& longLink) {
    return 2 * shortLink.size() + longLink.size() + 128;
  };
  linkBytes_ += cost(shortLink, longLink);
  longLinks_[shortLink] = std::move(longLink);
  shortLinks_.push_back(shortLink);
  while (shortLinks_.size() > kMaxShortLinks || linkBytes_ > kMaxLinkBytes) {
    auto oldest = longLinks_.find(shortLinks_.front());
    linkBytes_ -= cost(oldest->first, oldest->second);
    longLinks_.erase(oldest);
    shortLinks_.pop_front();
  }
  return json(200, {{"shortLink", shortLink}, {"warning", nlohmann::json::array()}});
}

HttpResponse LinkService::resolve(const HttpRequest& request) {
  if (auto refused = loopback::refuseUnboundedJSON(request.body)) return *refused;
  auto body = nlohmann::json::parse(request.body, nullptr, false);
  if (!body.is_object() || !body.contains("requestedLink") || !body["requestedLink"].is_string()) {
    return json(400, {{"error", {{"message", "requestedLink is missing"}}}});
  }
  std::lock_guard lock(mutex_);
  auto it = longLinks_.find(body["requestedLink"].get<std::string>());
  if (it == longLinks_.end()) return json(200, nlohmann::json::object());
  return json(200, {{"deepLink", queryItem(it->second, "link")}});
}

}  // namespace link_service
