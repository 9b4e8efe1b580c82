#include "tools/measurement-service/ExperimentEndpoint.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/foundation/FileManager.h"
#include "platform/utilities/OULGzip.h"
#include "tools/apm-msg/MessageInspector.h"

namespace measurement_service {

using loopback::HttpRequest;
using loopback::HttpResponse;
using json = nlohmann::ordered_json;

namespace {

constexpr size_t kKeptRequests = 100;
constexpr size_t kMaximumAnswerFileBytes = 16u << 20;

std::string escapeHTML(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

ExperimentEndpoint::ExperimentEndpoint(std::string dataDirectory)
    : dataDirectory_(std::move(dataDirectory)) {}

void ExperimentEndpoint::addRoutes(loopback::ScriptedService& service) {
  service.route("POST", "/sdk-exp", [this](const HttpRequest& r) { return fetch(r); });
  service.route("GET", "/experiments", [this](const HttpRequest&) { return page(); });
  service.route("GET", "/_control/experiment-requests", [this](const HttpRequest&) {
    // Written out from the kept text: never parsed again, so the answer costs what is kept.
    std::lock_guard<std::mutex> lock(mutex_);
    std::string list = "[";
    for (const Kept& kept : requests_) {
      if (list.size() > 1) list += ",\n";
      list += "{\"body_base64\": " + json(loopback::base64Encode(kept.body)).dump();
      list += kept.decoded.empty() ? ", \"error\": " + json(kept.error).dump()
                                   : ", \"decoded\": " + kept.decoded;
      list += "}";
    }
    list += "]";
    return HttpResponse::text(200, list, "application/json");
  });
  service.route("PUT", "/_control/experiments",
                [this](const HttpRequest& r) { return putAnswer(r); });
}

HttpResponse ExperimentEndpoint::putAnswer(const HttpRequest& request) {
  if (request.body.size() > kMaximumAnswerFileBytes) return HttpResponse::text(413, "too large\n");
  if (auto refused = loopback::refuseUnboundedJSON(request.body, loopback::kDocumentJSONBounds)) {
    return *refused;
  }
  json parsed = json::parse(request.body, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    return HttpResponse::text(400, "not a JSON object\n");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // Readable by the user only, like the rest of the data folder (made again if it went).
  std::error_code ignored;
  if (std::filesystem::create_directories(dataDirectory_, ignored)) {
    ::chmod(dataDirectory_.c_str(), 0700);
  }
  absl::Status written =
      platform::FileManager::defaultManager().writeAtomically(answerPath(), parsed.dump(2));
  if (!written.ok()) {
    return HttpResponse::text(
        500, "cannot write the answer file: " + std::string(written.message()) + "\n");
  }
  return HttpResponse::text(204, "");
}

HttpResponse ExperimentEndpoint::fetch(const HttpRequest& request) {
  if (request.body.size() > kMaxRequestBytes) {
    return HttpResponse::text(
        413, "an experiment request is at most " + std::to_string(kMaxRequestBytes) + " bytes\n");
  }
  const NANOMessageLayout* requestLayout = apmmsg::findMessage("ExperimentRequest");
  const NANOMessageLayout* responseLayout = apmmsg::findMessage("ExperimentResponse");
  Kept kept{request.body, "", ""};
  std::string error;
  if (std::optional<json> decoded = apmmsg::decodeToJson(*requestLayout, request.body, &error)) {
    kept.decoded = decoded->dump(2);
    if (kept.decoded.size() > kMaxDecodedBytes) {
      kept.decoded.clear();
      kept.error = "decoded form over " + std::to_string(kMaxDecodedBytes) + " bytes, not kept";
    }
  } else {
    kept.error = error;
  }
  kept.decoded.shrink_to_fit();
  json answer = json::object();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    keptBytes_ += kept.bytes();
    requests_.push_back(std::move(kept));
    while (requests_.size() > kKeptRequests || keptBytes_ > kMaxKeptBytes) {
      keptBytes_ -= requests_.front().bytes();
      requests_.pop_front();
    }
    if (std::ifstream in(answerPath(), std::ios::binary); in) {
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      answer = json::parse(text, nullptr, false);
      if (answer.is_discarded() || !answer.is_object()) {
        return HttpResponse::text(500, "experiments.json is not a JSON object\n");
      }
    }
  }
  int status = answer.value("status", 200);
  if (status != 200) return HttpResponse::text(status, "");
  std::optional<std::string> body =
      apmmsg::encodeFromJson(*responseLayout, answer.value("response", json::object()), &error);
  if (!body) return HttpResponse::text(500, "experiments.json: " + error + "\n");
  std::string encoding = answer.value("encoding", "gzip");
  HttpResponse response;
  response.status = 200;
  response.headers.emplace_back("Content-Type", "application/x-protobuf");
  if (encoding == "identity") {
    response.body = std::move(*body);
    return response;
  }
  OULError gzipError;
  std::optional<std::string> compressed = oul_dataByGzippingData(*body, &gzipError);
  if (!compressed) return HttpResponse::text(500, "gzip: " + gzipError.description + "\n");
  if (encoding == "bomb") {
    // Gzip members of 1 MiB of zeros each, concatenated as the gzip tool would: about 1 KiB
    // per member on the wire, 257 MiB inflated, past any sane inflation limit.
    std::optional<std::string> member =
        oul_dataByGzippingData(std::string(1u << 20, '\0'), &gzipError);
    if (!member) return HttpResponse::text(500, "gzip: " + gzipError.description + "\n");
    response.body.reserve(member->size() * 257);
    for (int i = 0; i < 257; ++i) response.body += *member;
    return response;
  }
  if (encoding == "bad-gzip" && compressed->size() > 12) {
    // Keeps the gzip header, breaks the deflate stream and the trailer.
    for (size_t i = 10; i < compressed->size(); ++i) (*compressed)[i] = static_cast<char>(0xff);
  }
  response.body = std::move(*compressed);
  return response;
}

HttpResponse ExperimentEndpoint::page() const {
  std::ostringstream html;
  html << "<!doctype html><meta charset=utf-8><title>Experiment requests</title>"
          "<h1>Experiment requests</h1><p>Newest first. <a href=\"/\">Uploads</a></p>";
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = requests_.rbegin(); it != requests_.rend(); ++it) {
    html << "<pre>" << escapeHTML(it->decoded.empty() ? "Not decoded: " + it->error : it->decoded)
         << "</pre>";
  }
  return HttpResponse::text(200, html.str(), "text/html; charset=utf-8");
}

}  // namespace measurement_service
