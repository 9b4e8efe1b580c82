#pragma once

#include <optional>
#include <string>

#include "AppMeasurement/records/APMEvent.h"
#include "AppMeasurement/foundation/APMValue.h"

// A user property that waits for a trigger event, becomes an ordinary user property when that
// event is logged, and is removed when its time to live runs out; with the events logged when
// it is triggered, times out or expires. A plain value (copies copy every field), owned by the
// conditional-property controller on the worker queue and stored by APMDatabase.
struct APMConditionalUserProperty {
  std::string name;
  // The origin of the caller that set it.
  std::string origin;
  // Absent means "clear".
  std::optional<APMValue> value;
  // Empty: active at once.
  std::string triggerEventName;
  // Seconds it may wait for the trigger.
  double triggerTimeout = 0;
  // Seconds it stays active after triggering.
  double timeToLive = 0;
  std::optional<APMEvent> triggeredEvent;
  std::optional<APMEvent> timedOutEvent;
  std::optional<APMEvent> expiredEvent;
  // Seconds since 1970.
  double creationTimestamp = 0;
  bool active = false;
  // Seconds since 1970.
  double triggeredTimestamp = 0;

  bool isActive() const { return active; }
  bool operator==(const APMConditionalUserProperty&) const = default;
};
