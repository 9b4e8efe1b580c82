#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "AppMeasurement/engine/APMRawEventMetadataInputs.h"

// What an event's write transaction reads from memory rather than from the database, taken
// once, when the transaction first runs. A commit group that cannot commit runs its
// transactions again after later events of the group ran, and by then this memory may have
// changed without them: an identifier refresh that noticed an advertising-identifier reset,
// consent changed from the app's thread, the clock past midnight. The run again decides from
// what is stored then, but with the memory the event was written with, so that it stores what
// one transaction per event stores. Worker queue.
struct APMEventMemoryInputs {
  // The clock: the set time of the properties the event writes, and the day its daily counts
  // are kept for.
  double now = 0;
  int32_t day = 0;
  bool debugMode = false;
  // The identity's request for the reset marker "_lair" as the event found it, and as the
  // events written before it had left it. Where the two differ, something other than event
  // writing changed the request (a refresh that noticed a reset asks for the marker).
  bool lairRequested = false;
  bool lairRequestLeft = false;
  // The metadata record's inputs that come from memory (its user properties, the stored "_npa"
  // and the on-device values each run reads from the database). Shared by the events that read
  // the same, as most do: a commit group holds its events' memory without a copy each.
  std::shared_ptr<const APMRawEventMetadataInputs> metadata;
  // What the session stitching token is made of, and the token once a run made it (shared
  // likewise).
  int64_t sessionNumber = 0;
  bool sessionExpired = false;
  std::shared_ptr<const std::optional<std::string>> stitchingToken;
};
