#include "tools/measurement-service/AdConversionService.h"

#include <zlib.h>

#include <cctype>
#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/dispatch/Clock.h"
#include "tools/apm-msg/MessageInspector.h"
#include "tools/psm-server/PSMServer.h"

namespace measurement_service {

using loopback::HttpRequest;
using loopback::HttpResponse;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int64_t nowMillis() {
  return static_cast<int64_t>(std::floor(platform::Clock::current()->now() * 1000));
}

bool acceptsGzip(const HttpRequest& request) {
  std::string accepted = request.header("Accept-Encoding").value_or("");
  for (char& c : accepted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return accepted.find("gzip") != std::string::npos;
}

// The stored control answer checked: an object whose "response" encodes.
std::optional<std::string> checkSkanControl(const nlohmann::ordered_json& control,
                                            std::string* error) {
  if (!control.is_object() || !control.contains("response") || !control["response"].is_object()) {
    *error = "expected {\"response\": {...}}";
    return std::nullopt;
  }
  nlohmann::ordered_json response = control["response"];
  for (const char* relative : {"expiry_in_seconds", "event_age_seconds"}) {
    if (response.contains(relative) && !response[relative].is_number_integer()) {
      *error = std::string(relative) + " must be an integer";
      return std::nullopt;
    }
  }
  response.erase("expiry_in_seconds");
  response.erase("event_age_seconds");
  return apmmsg::encodeFromJson(*apmmsg::findMessage("SkAdNetworkConversionValueResponse"),
                                response, error);
}

// Whether the answer tells the app to update its value (status UPDATE, by name or number).
bool isUpdate(const nlohmann::ordered_json& response) {
  auto status = response.find("status");
  if (status == response.end()) return false;
  return *status == "UPDATE" || *status == 1;
}

}  // namespace

std::string gzipCompress(std::string_view data) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, data.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

AdConversionService::AdConversionService(const Options& options) {
  if (!options.deepLinkFile.empty()) deepLink_ = readFile(options.deepLinkFile);
  if (!options.skanFile.empty()) {
    nlohmann::ordered_json control =
        nlohmann::ordered_json::parse(readFile(options.skanFile), nullptr, false);
    std::string error;
    if (!checkSkanControl(control, &error)) {
      throw std::runtime_error(options.skanFile + ": " + error);
    }
    skan_ = std::move(control);
  }
  if (!options.psmMembers.empty()) {
    auto config = PSMServerConfig::fromFile(options.psmMembers);
    if (!config.ok()) {
      throw std::runtime_error(options.psmMembers + ": " + std::string(config.status().message()));
    }
    auto server = PSMServer::start(*std::move(config), 0);
    if (!server.ok()) throw std::runtime_error(std::string(server.status().message()));
    psm_ = *std::move(server);
  }
}

AdConversionService::~AdConversionService() {
  if (psm_) psm_->stop();
}

void AdConversionService::install(loopback::ScriptedService& service) {
  service.route("GET", "/pagead/conversion/app/deeplink",
                [this](const HttpRequest& r) { return deepLink(r); });
  service.route("POST", "/skan", [this](const HttpRequest& r) { return skan(r); });
  service.route("PUT", "/_control/deeplink", [this](const HttpRequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (r.body.empty()) {
      deepLink_.reset();
    } else {
      deepLink_ = r.body;
    }
    return HttpResponse::text(204, "");
  });
  service.route("PUT", "/_control/skan", [this](const HttpRequest& r) { return setSkan(r); });
  auto psm = [this](const HttpRequest& r) {
    if (!psm_) return HttpResponse::text(404, "no member file given\n");
    PSMServer::Answer answer = psm_->handle(r.method, r.target, r.body);
    return HttpResponse::text(answer.status, answer.body, answer.contentType);
  };
  service.route("POST", "/pagead/conversion/app/psm", psm);
  service.route("GET", "/odm/config", psm);
  service.route("POST", "/odm/psm", psm);
  service.route("POST", "/odm/validate", psm);
}

HttpResponse AdConversionService::deepLink(const HttpRequest&) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!deepLink_) return HttpResponse::text(204, "");
  return HttpResponse::text(200, *deepLink_, "application/json");
}

bool AdConversionService::alreadyGiven(const std::string& instance, const std::string& value) {
  auto [entry, added] = givenSkanValues_.try_emplace(instance, value);
  if (!added) {
    if (entry->second == value) return true;
    entry->second = value;
    return false;
  }
  givenSkanOrder_.push_back(instance);
  if (givenSkanOrder_.size() > kMaxRememberedInstances) {
    givenSkanValues_.erase(givenSkanOrder_.front());
    givenSkanOrder_.pop_front();
  }
  return false;
}

HttpResponse AdConversionService::skan(const HttpRequest& request) {
  std::string error;
  std::optional<nlohmann::ordered_json> asked = apmmsg::decodeToJson(
      *apmmsg::findMessage("SkAdNetworkConversionValueRequest"), request.body, &error);
  if (!asked) return HttpResponse::text(400, "cannot decode: " + error + "\n");
  std::string instance;
  if (asked->contains("app_instance_id") && (*asked)["app_instance_id"].is_string()) {
    instance = (*asked)["app_instance_id"].get<std::string>();
  }
  nlohmann::ordered_json control;
  bool given = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    control = skan_;
    if (control.is_object() && isUpdate(control["response"]) && !instance.empty() &&
        instance.size() <= kMaxInstanceIDLength) {
      // The value itself, without the times that each answer sets afresh.
      const nlohmann::ordered_json& set = control["response"];
      nlohmann::ordered_json value = {
          {"fine", set.value("fine_value", nlohmann::ordered_json())},
          {"coarse", set.value("coarse_value", nlohmann::ordered_json())},
          {"lock", set.value("lock_window", nlohmann::ordered_json())}};
      given = alreadyGiven(instance, value.dump());
    }
  }
  nlohmann::ordered_json response = {{"status", "NO_UPDATE"}};
  if (control.is_object() && !given) {
    response = control["response"];
    int64_t now = nowMillis();
    if (response.contains("expiry_in_seconds")) {
      response["expiry_timestamp_millis"] =
          now + response["expiry_in_seconds"].get<int64_t>() * 1000;
      response.erase("expiry_in_seconds");
    }
    if (response.contains("event_age_seconds")) {
      response["evaluation_event_time_millis"] =
          now - response["event_age_seconds"].get<int64_t>() * 1000;
      response.erase("event_age_seconds");
    }
  }
  std::optional<std::string> bytes = apmmsg::encodeFromJson(
      *apmmsg::findMessage("SkAdNetworkConversionValueResponse"), response, &error);
  if (!bytes) return HttpResponse::text(500, "cannot encode the answer: " + error + "\n");
  HttpResponse answer;
  answer.status = 200;
  answer.headers.emplace_back("Content-Type", "application/x-protobuf");
  if (control.is_object() && control.value("gzip", false) && acceptsGzip(request)) {
    answer.headers.emplace_back("Content-Encoding", control.value("content_encoding", "gzip"));
    answer.body = gzipCompress(*bytes);
  } else {
    answer.body = std::move(*bytes);
  }
  return answer;
}

HttpResponse AdConversionService::setSkan(const HttpRequest& request) {
  if (request.body.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    skan_ = nullptr;
    return HttpResponse::text(204, "");
  }
  if (auto refused = loopback::refuseUnboundedJSON(request.body)) return *refused;
  nlohmann::ordered_json control = nlohmann::ordered_json::parse(request.body, nullptr, false);
  std::string error;
  if (!checkSkanControl(control, &error)) return HttpResponse::text(400, error + "\n");
  std::lock_guard<std::mutex> lock(mutex_);
  skan_ = std::move(control);
  return HttpResponse::text(204, "");
}

}  // namespace measurement_service
