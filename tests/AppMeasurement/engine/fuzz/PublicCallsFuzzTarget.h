#pragma once

// One fuzz input through the public calls into a running engine: event names and origins of
// any bytes, parameter trees of any shape (the parameter fuzz target's reader builds them),
// default parameters and internal events. The calls must not throw, abort or wait on the
// worker queue; afterwards every stored raw event must decode and carry a valid name.
// The caller has started measurement (APMAnalytics::startWithAppID) in a container of its own.

#include <cstdint>
#include <cstdlib>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "tests/AppMeasurement/engine/fuzz/ParametersFuzzTarget.h"

namespace publiccallsfuzz {

inline platform::Value::Dictionary dictionary(parametersfuzz::Reader& in) {
  platform::Value::Dictionary parameters;
  size_t count = in.byte() % 12;
  for (size_t i = 0; i < count; ++i) parameters[in.text()] = parametersfuzz::plain(in, 3);
  return parameters;
}

inline void fuzzOne(const uint8_t* data, size_t size) {
  parametersfuzz::Reader in(data, size);
  while (!in.done()) {
    switch (in.byte() % 5) {
      case 0:
      case 1: {
        std::string name = in.text();
        APMAnalytics::logEventWithName(name, dictionary(in));
        break;
      }
      case 2: {
        std::string origin = in.text();
        std::string name = in.text();
        APMObjectMap map = APMObject::mapFromDictionary(dictionary(in));
        APMAnalytics::logInternalEventWithOrigin(origin, name, map);
        break;
      }
      case 3:
        APMAnalytics::setDefaultEventParameters(in.byte() % 4 == 0 ? std::nullopt
                                                                   : std::optional(dictionary(in)));
        break;
      default: {
        std::string origin = in.text();
        APMAnalytics::logEventWithOrigin(origin, in.text(), dictionary(in));
        break;
      }
    }
  }
  // Everything stored must read back as a valid event.
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return;
  APMAnalytics::queueOperationWithBlock([] {});
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("fuzz", [&] {
    if (engine->database() == nullptr) return;
    APMUnreadableRows unreadable;
    auto events = engine->database()->allRawEventsWithError(nullptr, &unreadable);
    if (!unreadable.empty()) std::abort();
    for (const APMRawEventData& raw : events.value_or(std::vector<APMRawEventData>{})) {
      std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
      if (!event || !APMDataTypeValidator::isValidInternalEventName(
                        APMObject(platform::Value(event->name())))) {
        std::abort();
      }
    }
    // Keep the store small across a long fuzzing run.
    engine->database()->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
  });
}

}  // namespace publiccallsfuzz
