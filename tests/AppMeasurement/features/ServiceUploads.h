#pragma once

#include <string>

#include "platform/foundation/JSONSerialization.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/support/ServiceProcess.h"

namespace featuretest {

// Every upload the measurement service at `baseURL` received at "/a", decoded by protoc.
inline std::string decodedUploads(const std::string& baseURL) {
  auto answer = testsupport::httpRequest("GET", baseURL + "/_control/requests");
  auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
  std::string all;
  if (!parsed.ok() || !parsed->isArray()) return all;
  for (const platform::Value& request : *parsed->asArray()) {
    const auto& dict = *request.asDictionary();
    if (*dict.at("path").asString() != "/a") continue;
    all += enginetest::protoc(
        "decode", "MeasurementBatch",
        testsupport::runCommand("base64 -d", *dict.at("body_base64").asString()));
  }
  return all;
}

}  // namespace featuretest
