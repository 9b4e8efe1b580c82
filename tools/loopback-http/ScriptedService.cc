#include "tools/loopback-http/ScriptedService.h"

#include <algorithm>
#include <boost/beast/core/detail/base64.hpp>
#include <nlohmann/json.hpp>

namespace loopback {

namespace base64 = boost::beast::detail::base64;
using nlohmann::json;

std::string base64Encode(std::string_view bytes) {
  std::string out(base64::encoded_size(bytes.size()), '\0');
  out.resize(base64::encode(out.data(), bytes.data(), bytes.size()));
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  // The decoder stops at the padding: everything before it must have been read.
  size_t content = text.size();
  for (int pad = 0; pad < 2 && content > 0 && text[content - 1] == '='; ++pad) --content;
  std::string out(base64::decoded_size(text.size()), '\0');
  auto [written, read] = base64::decode(out.data(), text.data(), content);
  if (read != content) return std::nullopt;
  out.resize(written);
  return out;
}

std::optional<uint64_t> ScriptedService::queryNumber(std::string_view query,
                                                     std::string_view name) const {
  return queryItemNumber(query, name, name == "limit" ? log_.limits().maxRequests : 0);
}

void ScriptedService::route(const std::string& method, const std::string& path, Route handler) {
  routes_.push_back({method, path, std::move(handler)});
}

void ScriptedService::script(const std::string& path, ScriptedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_[path].push_back(std::move(answer));
}

void ScriptedService::clearScripts() {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_.clear();
}

std::vector<HttpRequest> ScriptedService::requests() const { return log_.requests(); }

std::optional<ScriptedAnswer> ScriptedService::takeScript(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = scripts_.find(path);
  if (it == scripts_.end() || it->second.empty()) return std::nullopt;
  ScriptedAnswer answer = it->second.front();
  if (answer.times > 0 && --it->second.front().times == 0) it->second.pop_front();
  return answer;
}

HttpResponse ScriptedService::handle(const HttpRequest& request) {
  if (request.path.rfind("/_control/", 0) == 0) {
    // The service's own control routes come after the built-in ones; neither is recorded.
    std::optional<HttpResponse> builtIn = control(request);
    return builtIn ? *builtIn : routed(request);
  }
  log_.add(request);
  std::optional<ScriptedAnswer> scripted = takeScript(request.path);
  if (!scripted) return routed(request);
  HttpResponse response;
  if (scripted->status) {
    response.status = *scripted->status;
    response.headers = scripted->headers;
    response.body = scripted->body;
  } else if (!scripted->silent) {
    response = routed(request);  // the route still runs: only its answer is held back
  }
  response.delay = scripted->delay;
  response.silent = scripted->silent;
  return response;
}

HttpResponse ScriptedService::routed(const HttpRequest& request) const {
  const Entry* best = nullptr;
  for (const Entry& entry : routes_) {
    if (entry.method != request.method) continue;
    bool matches =
        entry.path == request.path || (!entry.path.empty() && entry.path.back() == '/' &&
                                       request.path.compare(0, entry.path.size(), entry.path) == 0);
    if (matches && (!best || entry.path.size() > best->path.size())) best = &entry;
  }
  if (!best) return HttpResponse::text(404, "no such resource\n");
  return best->handler(request);
}

std::optional<HttpResponse> ScriptedService::control(const HttpRequest& request) {
  if (request.path == "/_control/requests" && request.method == "GET") {
    std::optional<uint64_t> after = queryNumber(request.query, "after");
    std::optional<uint64_t> limit = queryNumber(request.query, "limit");
    if (!after || !limit) return HttpResponse::text(400, "after and limit are whole numbers\n");
    json list = json::array();
    for (const RequestLog::Entry& entry : log_.page(*after, *limit)) {
      const HttpRequest& r = entry.request;
      json headers = json::array();
      for (const auto& [name, value] : r.headers) headers.push_back({name, value});
      list.push_back({{"sequence", entry.sequence},
                      {"method", r.method},
                      {"target", r.target},
                      {"path", r.path},
                      {"query", r.query},
                      {"headers", headers},
                      {"body_size", entry.bodySize},
                      {"body_truncated", entry.bodySize > r.body.size()},
                      {"body_base64", base64Encode(r.body)}});
    }
    return HttpResponse::text(200, list.dump(), "application/json");
  }
  if (request.path == "/_control/requests" && request.method == "DELETE") {
    log_.clear();
    return HttpResponse::text(204, "");
  }
  if (request.path == "/_control/script" && request.method == "DELETE") {
    clearScripts();
    return HttpResponse::text(204, "");
  }
  if (request.path == "/_control/script" && request.method == "POST") {
    if (auto refused = refuseUnboundedJSON(request.body)) return refused;
    json order = json::parse(request.body, nullptr, false);
    if (!order.is_object() || !order.contains("path") || !order["path"].is_string()) {
      return HttpResponse::text(400, "expected a JSON object with a string \"path\"\n");
    }
    ScriptedAnswer answer;
    try {
      if (order.contains("status")) answer.status = order["status"].get<int>();
      if (order.contains("body")) answer.body = order["body"].get<std::string>();
      if (order.contains("body_base64")) {
        auto bytes = base64Decode(order["body_base64"].get<std::string>());
        if (!bytes) return HttpResponse::text(400, "malformed body_base64\n");
        answer.body = *bytes;
      }
      if (order.contains("headers")) {
        for (const auto& [name, value] : order["headers"].items()) {
          answer.headers.emplace_back(name, value.get<std::string>());
        }
      }
      answer.delay = std::chrono::milliseconds(order.value("delay_ms", 0));
      answer.silent = order.value("silent", false);
      answer.times = order.value("times", -1);
    } catch (const json::exception& e) {
      return HttpResponse::text(400, std::string("malformed script: ") + e.what() + "\n");
    }
    if (answer.times == 0 || (answer.status && (*answer.status < 100 || *answer.status > 999))) {
      return HttpResponse::text(400, "times must not be 0; status must be 100-999\n");
    }
    script(order["path"].get<std::string>(), std::move(answer));
    return HttpResponse::text(204, "");
  }
  return std::nullopt;
}

}  // namespace loopback
