#pragma once

#include <deque>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/loopback-http/ScriptedService.h"

namespace measurement_service {

// The experiment side of the measurement service.
//   POST /sdk-exp                          an ExperimentRequest: decoded and kept (the latest
//                                          100, at most kMaxKeptBytes of them in all); answered
//                                          with the ExperimentResponse of the answer file,
//                                          gzip-compressed. A body over kMaxRequestBytes (a
//                                          request the library makes is a few hundred bytes) is
//                                          answered 413 and neither decoded nor kept
//   GET  /experiments                      a page of the decoded requests
//   GET  /_control/experiment-requests     the kept requests as JSON: [{"body_base64", "decoded"
//                                          or "error"}]
//   PUT  /_control/experiments             replaces the answer file (the JSON below)
//
// The answer file "<data>/experiments.json", read at each request, so that it can be edited
// while the service runs:
//   {"status": 200,                       optional: another status answers with an empty body
//    "encoding": "gzip",                  "gzip" (default), "identity" (not compressed),
//                                         "bad-gzip" (a gzip header with a corrupt stream) or
//                                         "bomb" (257 MiB of zeros inflated, ~260 KiB sent)
//    "response": {...}}                   the ExperimentResponse in apm-msg's JSON form, e.g.
//                                         {"snapshots": [{"name": "app_measurement",
//                                          "experiments": [{"experiment_id": 7, "flags":
//                                          [{"name": "f", "int_value": 1}]}]}],
//                                          "sdk_responses": [{"name": "x", "error_code": 3}]}
// Without the file the answer is an empty response. Delays and silence come from the scripting
// endpoints of the service ("/_control/script" with path "/sdk-exp").
class ExperimentEndpoint {
 public:
  static constexpr size_t kMaxRequestBytes = size_t{256} << 10;
  // What the kept requests hold in all: their bodies and decoded text, the oldest dropped first.
  static constexpr size_t kMaxKeptBytes = size_t{8} << 20;
  // A decoded form longer than this is not kept (the body is).
  static constexpr size_t kMaxDecodedBytes = size_t{1} << 20;

  explicit ExperimentEndpoint(std::string dataDirectory);
  // Adds the routes above; call before the service serves.
  void addRoutes(loopback::ScriptedService& service);

 private:
  loopback::HttpResponse fetch(const loopback::HttpRequest& request);
  loopback::HttpResponse page() const;
  loopback::HttpResponse putAnswer(const loopback::HttpRequest& request);
  std::string answerPath() const { return dataDirectory_ + "/experiments.json"; }

  // One request as kept: its body and its decoded form as JSON text (or why there is none).
  struct Kept {
    std::string body;
    std::string decoded;  // JSON text; empty when not kept
    std::string error;    // when `decoded` is empty
    size_t bytes() const { return body.size() + decoded.size() + error.size() + sizeof(Kept); }
  };

  const std::string dataDirectory_;
  mutable std::mutex mutex_;   // guards the list and the answer file
  std::deque<Kept> requests_;  // newest last; at most 100 and kMaxKeptBytes in all
  size_t keptBytes_ = 0;       // the bytes() of requests_; guarded by mutex_
};

}  // namespace measurement_service
