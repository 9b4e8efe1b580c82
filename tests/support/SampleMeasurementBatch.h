#pragma once

#include <string>
#include <utility>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"

namespace testsupport {

// A measurement batch of realistic shape, shared by the codec benchmark and the tests that
// reason about it: 10 bundles of 100 events with 10 parameters each (string, integer and
// double values in turn).
inline APMPBMeasurementBatch sampleMeasurementBatch() {
  std::vector<APMPBMeasurementBundle> bundles;
  for (int b = 0; b < 10; ++b) {
    APMPBMeasurementBundle bundle;
    NANOSetInt32(bundle, APMPBMeasurementBundle::kProtocolVersion, 1);
    NANOSetString(bundle, APMPBMeasurementBundle::kPlatform, "ios");
    NANOSetString(bundle, APMPBMeasurementBundle::kAppId, "com.example.app");
    NANOSetString(bundle, APMPBMeasurementBundle::kAppInstanceId,
                  "8f0c1e2d3b4a59687766554433221100");
    NANOSetInt64(bundle, APMPBMeasurementBundle::kStartTimestampMillis, 1700000000000 + b);
    NANOSetInt64(bundle, APMPBMeasurementBundle::kEndTimestampMillis, 1700000100000 + b);
    std::vector<APMPBEvent> events;
    for (int e = 0; e < 100; ++e) {
      APMPBEvent event;
      NANOSetString(event, APMPBEvent::kName, e % 3 ? "screen_view" : "_e");
      NANOSetInt64(event, APMPBEvent::kTimestampMillis, 1700000000000 + e * 1000);
      std::vector<APMPBEventParam> params;
      for (int p = 0; p < 10; ++p) {
        APMPBEventParam param;
        NANOSetString(param, APMPBEventParam::kName, "param_" + std::to_string(p));
        if (p % 3 == 0) {
          NANOSetString(param, APMPBEventParam::kStringValue,
                        "value of parameter " + std::to_string(e));
        } else if (p % 3 == 1) {
          NANOSetInt64(param, APMPBEventParam::kIntValue, e * 1000 + p);
        } else {
          NANOSetDouble(param, APMPBEventParam::kDoubleValue, e * 0.5 + p);
        }
        params.push_back(std::move(param));
      }
      NANOSetMessageArray(event, APMPBEvent::kParams, params);
      events.push_back(std::move(event));
    }
    NANOSetMessageArray(bundle, APMPBMeasurementBundle::kEvents, events);
    bundles.push_back(std::move(bundle));
  }
  APMPBMeasurementBatch batch;
  NANOSetMessageArray(batch, APMPBMeasurementBatch::kBundles, bundles);
  return batch;
}

}  // namespace testsupport
