#include "tools/psm-server/PSMServer.h"

#include <algorithm>
#include <optional>

#include "AppMeasurement/PrivateSetMembership/Sources/NANOBytes.h"
#include "AppMeasurement/messages/NANO.h"
#include "absl/status/status.h"
#include "absl/strings/escaping.h"
#include "platform/foundation/JSONBounds.h"
#include "platform/foundation/JSONSerialization.h"
#include "proto/psm.nano.h"

namespace {

std::string jsonObject(platform::Value::Dictionary members) {
  return platform::JSONSerialization::dataWithJSONObject(platform::Value(std::move(members)))
      .value_or("{}");
}

// The string member of a JSON object body (within PSMServer::kRequestJSONBounds), or nothing.
std::optional<std::string> stringMember(const std::string& body, const char* key) {
  auto json = platform::JSONSerialization::JSONObjectWithData(body);
  if (!json.ok()) return std::nullopt;
  const platform::Value* value = json->find(key);
  if (value == nullptr || !value->isString()) return std::nullopt;
  return *value->asString();
}

}  // namespace

PSMServer::PSMServer(PSMServerConfig config) : config_(std::move(config)) {}

absl::StatusOr<std::unique_ptr<PSMServer>> PSMServer::start(PSMServerConfig config, uint16_t port) {
  loopback::LoopbackHttpServer::Options options;
  options.port = port;
  return start(std::move(config), options);
}

absl::StatusOr<std::unique_ptr<PSMServer>> PSMServer::start(
    PSMServerConfig config, loopback::LoopbackHttpServer::Options options) {
  std::unique_ptr<PSMServer> server(new PSMServer(std::move(config)));
  const PSMServerConfig* view = &server->config_;
  auto olderFlow = PSMServerDatabase::Create(
      view->scheme, view->binCount,
      [view](const std::string& tag) { return view->olderFlowMembers(tag); });
  if (!olderFlow.ok()) return olderFlow.status();
  auto odm = PSMServerDatabase::Create(view->scheme, view->binCount,
                                       [view](const std::string&) { return view->odmMembers(); });
  if (!odm.ok()) return odm.status();
  server->olderFlow_ = *std::move(olderFlow);
  server->odm_ = *std::move(odm);

  options.bodyLimit = std::min(options.bodyLimit, kMaxBodyBytes);
  PSMServer* self = server.get();
  try {
    server->http_ = std::make_unique<loopback::LoopbackHttpServer>(
        options, [self](const loopback::HttpRequest& request) {
          self->log_.add(request);
          Answer answer = self->handle(request.method, request.target, request.body);
          loopback::HttpResponse response;
          response.status = answer.status;
          if (!answer.body.empty())
            response.headers.emplace_back("Content-Type", answer.contentType);
          response.body = std::move(answer.body);
          return response;
        });
  } catch (const std::runtime_error& e) {
    return absl::UnavailableError(e.what());
  }
  return server;
}

PSMServer::~PSMServer() { stop(); }

void PSMServer::stop() {
  if (http_) http_->stop();
}

uint16_t PSMServer::port() const { return http_->port(); }

std::string PSMServer::baseURL() const { return http_->baseURL(); }

std::vector<std::string> PSMServer::targets() const {
  std::vector<std::string> targets;
  for (const loopback::HttpRequest& request : log_.requests()) targets.push_back(request.target);
  return targets;
}

void PSMServer::failNext(const std::string& path, int status, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[path] = {status, count};
}

PSMServer::Answer PSMServer::handle(const std::string& method, const std::string& target,
                                    const std::string& body) {
  const std::string path = target.substr(0, target.find('?'));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto failure = failures_.find(path);
    if (failure != failures_.end() && failure->second.second > 0) {
      --failure->second.second;
      return {failure->second.first, ""};
    }
  }
  const Answer bad{400, ""};
  if (path == "/odm/config" && method == "GET") {
    if (!config_.odm) return {204, ""};
    std::string json = "{\"matching_id\":" +
                       platform::JSONSerialization::dataWithJSONObject(
                           platform::Value(config_.odm->matchingID), {false, true})
                           .value_or("\"\"") +
                       ",\"bucketed_date\":" +
                       platform::JSONSerialization::dataWithJSONObject(
                           platform::Value(config_.odm->bucketedDate), {false, true})
                           .value_or("\"\"") +
                       ",\"prefix_length\":" + config_.odm->prefixLengthJSON;
    if (config_.odm->extensionData) {
      json +=
          ",\"extension_data\":" + platform::JSONSerialization::dataWithJSONObject(
                                       platform::Value(*config_.odm->extensionData), {false, true})
                                       .value_or("\"\"");
    }
    return {200, json + "}"};
  }
  if (method != "POST") return {405, ""};
  if (path == "/pagead/conversion/app/psm" || path == "/odm/psm" || path == "/odm/validate") {
    if (std::optional<std::string> why = platform::exceedsJSONBounds(body, kRequestJSONBounds)) {
      return {413, *why + "\n", "text/plain; charset=utf-8"};
    }
  }
  if (path == "/pagead/conversion/app/psm" || path == "/odm/psm") {
    auto encoded = stringMember(body, "psm_request");
    std::string request;
    if (!encoded || !absl::WebSafeBase64Unescape(*encoded, &request)) return bad;
    auto response = (path == "/odm/psm" ? odm_ : olderFlow_)->AnswerSerialized(request);
    if (!response.ok()) return bad;
    return {200, jsonObject({{"psm_response", absl::WebSafeBase64Escape(*response)}})};
  }
  if (path == "/odm/validate") {
    auto encoded = stringMember(body, "mvs");
    std::string bytes;
    if (!encoded || !config_.odm || !absl::WebSafeBase64Unescape(*encoded, &bytes)) return bad;
    auto mvs = PSMMVs::initWithBuffer(bytes);
    if (!mvs) return bad;
    auto values = NANOGetArray(*mvs, PSMMVs::kOdm2Values);
    for (const NANOObject& item : values.value_or(std::vector<NANOObject>{})) {
      const auto* data = std::get_if<NANOData>(&item);
      for (const auto& install : config_.odm->installs) {
        for (const auto& stored : install.values) {
          if (data != nullptr && data->bytes == stored.value) {
            return {200, jsonObject({{"mv_oa4k", config_.odm->measurementInfo},
                                     {"mv_aaps", config_.odm->aggregateConversionInfo}})};
          }
        }
      }
    }
    return bad;
  }
  return {404, ""};
}
