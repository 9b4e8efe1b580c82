#include "tools/measurement-service/AttributionService.h"

#include "platform/foundation/URL.h"
#include "tools/measurement-service/MeasurementService.h"

namespace measurement_service {

using loopback::HttpRequest;
using loopback::HttpResponse;

namespace {

constexpr const char* kControlPrefix = "/_control/attribution/";

HttpResponse json(int status, std::string body) {
  return HttpResponse::text(status, std::move(body), "application/json");
}

}  // namespace

std::optional<HttpResponse> AttributionService::answerOfKind(const std::string& kind) {
  if (kind == "attributed") {
    return json(200, R"({"attribution":true,"orgId":40669820,"campaignId":542370539,)"
                     R"("conversionType":"Download","clickDate":"2026-12-01T10:00Z",)"
                     R"("adGroupId":542317095,"countryOrRegion":"US","keywordId":87675432,)"
                     R"("adId":542317136})");
  }
  if (kind == "not-attributed") return json(200, R"({"attribution":false})");
  if (kind == "test-data") {
    return json(200, R"({"attribution":true,"orgId":1234567890,"campaignId":1234567890,)"
                     R"("conversionType":"Download","clickDate":"2026-12-01T10:00Z",)"
                     R"("adGroupId":1234567890,"countryOrRegion":"US","keywordId":12323222,)"
                     R"("adId":1234567890})");
  }
  if (kind == "empty") return json(200, "{}");
  if (kind == "not-json") return HttpResponse::text(200, "<html>attribution</html>", "text/html");
  if (kind == "array") return json(200, R"([{"attribution":true,"campaignId":542370539}])");
  if (kind == "server-error") return HttpResponse::text(503, "try again later\n");
  if (kind == "reset") {
    HttpResponse reset;
    reset.reset = true;
    return reset;
  }
  return std::nullopt;
}

HttpResponse AttributionService::attribution(const HttpRequest& request) const {
  const std::string& token = request.body;
  if (token.empty() || token.size() > kMaxTokenBytes) {
    return HttpResponse::text(400, "a token of 1 to 4096 bytes is required\n");
  }
  std::string kind = token;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto scripted = kinds_.find(token);
    if (scripted != kinds_.end()) kind = scripted->second;
  }
  std::optional<HttpResponse> answer = answerOfKind(kind);
  if (!answer) return HttpResponse::text(404, "unknown token\n");
  return *answer;
}

HttpResponse AttributionService::script(const HttpRequest& request) {
  std::optional<std::string> token =
      platform::URL::percentDecoded(request.path.substr(std::string(kControlPrefix).size()));
  if (!token || token->empty() || token->size() > kMaxTokenBytes) {
    return HttpResponse::text(400, "bad token\n");
  }
  if (!answerOfKind(request.body)) return HttpResponse::text(400, "unknown kind\n");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!kinds_.contains(*token) && kinds_.size() >= kMaxScriptedTokens) {
    return HttpResponse::text(507, "too many scripted tokens\n");
  }
  kinds_[*token] = request.body;
  return HttpResponse::text(204, "");
}

HttpResponse AttributionService::forget(const HttpRequest&) {
  std::lock_guard<std::mutex> lock(mutex_);
  kinds_.clear();
  return HttpResponse::text(204, "");
}

}  // namespace measurement_service
