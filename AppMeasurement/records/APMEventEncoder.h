#pragma once

#include <string>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/records/APMEvent.h"

// The bytes of an event's upload message (APMEvent::protoEvent, encoded), written straight
// from the event, and a bundle's events set from such bytes. Bundling measures every stored
// event against the batch size and puts up to a thousand events into a bundle: building each
// message object, copying it into the bundle and freeing it cost more than the rest of
// bundling, where decoding the bundle's bytes builds each record once, in place.
//
// An event whose parameters are all scalars is written here field by field in the order the
// message encoder uses (ascending tags: parameters in key order, name, time, previous time),
// which gives the same bytes; an event with an array parameter goes through its message,
// whose item rules (and their log lines) stay in one place. Stateless; any thread.
class APMEventEncoder {
 public:
  static std::string encodedEvent(const APMEvent& event);
  // The event as a raw_events row stores it: the same message without the name, which the row
  // keeps in a column of its own.
  static std::string encodedEventWithoutName(const APMEvent& event);
  // encodedEvent(event).size(), counted without writing the bytes of an all-scalar event.
  static size_t encodedEventSize(const APMEvent& event);

  // Replaces the bundle's events with the encoded ones, in order: the bundle is decoded from
  // its own bytes with the events written where the encoder puts them (after
  // protocol_version, the only field numbered below them), so it equals the bundle the
  // messages would make. False, and the bundle unchanged, when that decode is refused (its
  // memory bound can refuse a bundle of many small events that each decode alone).
  static bool setEncodedEvents(APMPBMeasurementBundle& bundle,
                               const std::vector<std::string>& events);
};
