#pragma once

#include <deque>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/loopback-http/ScriptedService.h"

namespace measurement_service {

// The experiment side of the measurement service.
//   POST /sdk-exp                          an ExperimentRequest: decoded and kept (the latest
//                                          100); answered with the ExperimentResponse of the
//                                          answer file, gzip-compressed
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
  explicit ExperimentEndpoint(std::string dataDirectory);
  // Adds the routes above; call before the service serves.
  void addRoutes(loopback::ScriptedService& service);

 private:
  loopback::HttpResponse fetch(const loopback::HttpRequest& request);
  loopback::HttpResponse page() const;
  loopback::HttpResponse putAnswer(const loopback::HttpRequest& request);
  std::string answerPath() const { return dataDirectory_ + "/experiments.json"; }

  const std::string dataDirectory_;
  mutable std::mutex mutex_;                     // guards the list and the answer file
  std::deque<nlohmann::ordered_json> requests_;  // newest last, at most 100
};

}  // namespace measurement_service
