#pragma once

#include <cstdint>
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
  // The metadata record's inputs: those from memory as the first run took them, and what each
  // run read from the database (the user properties, the stored "_npa", the on-device values).
  APMRawEventMetadataInputs metadata;
  // What the session stitching token is made of, and the token once a run made it.
  int64_t sessionNumber = 0;
  bool sessionExpired = false;
  std::optional<std::optional<std::string>> stitchingToken;
};
