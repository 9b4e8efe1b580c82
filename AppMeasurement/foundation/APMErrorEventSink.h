#pragma once

#include <memory>
#include <string>

#include "AppMeasurement/foundation/APMValue.h"

// Where the internal error event "_err" goes (APMLogErrorEvent, APMLogErrorEventWithValue):
// the public call serialiser's logInternalEventWithOrigin:name:parameters:. The serialiser
// installs itself once it exists; until then the installed sink drops the events.
//
// Installing and reading are thread-safe. The sink is called on the thread that recorded the
// error (the engine's worker queue, or an app thread through the public calls) and must not
// block on that thread's queue.
class APMErrorEventSink {
 public:
  virtual ~APMErrorEventSink() = default;

  // Logs an internal event with the origin, name and typed parameters.
  virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                const APMValueMap& parameters) = 0;

  // The installed sink; one that drops everything when none is installed. Never null.
  static std::shared_ptr<APMErrorEventSink> current();
  // Installs the sink for the process; null brings back the one that drops.
  static void install(std::shared_ptr<APMErrorEventSink> sink);
};
