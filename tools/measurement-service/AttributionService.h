#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tools/loopback-http/HttpExchange.h"

namespace measurement_service {

// The search-ads attribution service, as the local measurement service plays it:
//   POST /api/v1/                        body: an AdServices token (text); answers by the
//                                        token's kind, below
//   PUT  /_control/attribution/<token>   body: a kind name; scripts that token's answer
//   DELETE /_control/attribution/        forgets every scripted token
// Kinds: "attributed" (a campaign, ad group, keyword and ad), "not-attributed"
// ({"attribution": false}), "test-data" (the service's test answer, ids 1234567890),
// "empty" ({}), "not-json", "array" (a JSON array), "server-error" (503) and "reset" (the
// connection is reset, nothing answered). A token that is itself a kind name answers that
// kind unless scripted otherwise; any other unscripted token answers 404, as the real
// service does for a token it does not know yet. Tokens above kMaxTokenBytes answer 400.
// Thread-safe.
class AttributionService {
 public:
  static constexpr size_t kMaxTokenBytes = 4096;
  static constexpr size_t kMaxScriptedTokens = 1000;

  loopback::HttpResponse attribution(const loopback::HttpRequest& request) const;
  loopback::HttpResponse script(const loopback::HttpRequest& request);
  loopback::HttpResponse forget(const loopback::HttpRequest& request);

  // The answer of one kind; nothing for an unknown kind name.
  static std::optional<loopback::HttpResponse> answerOfKind(const std::string& kind);

 private:
  mutable std::mutex mutex_;  // guards kinds_
  std::map<std::string, std::string> kinds_;
};

}  // namespace measurement_service
