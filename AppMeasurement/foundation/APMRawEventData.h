#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "AppMeasurement/messages/APMPBMessages.h"

// One stored raw event as read back for bundling: the decoded Event message, its row
// identifier and the fingerprint linking it to its metadata row. Immutable; the message is
// shared and never changed, so the record may be handed between queues.
class APMRawEventData {
 public:
  // initWithRawEvent:rowID:metadataFingerprint:. No event: nothing (28000); a negative row
  // identifier: nothing (28001). Row identifier 0 is accepted.
  static std::optional<APMRawEventData> create(std::shared_ptr<const APMPBEvent> rawEvent,
                                               int64_t rowID, int64_t metadataFingerprint);

  const std::shared_ptr<const APMPBEvent>& rawEvent() const { return rawEvent_; }
  int64_t rowID() const { return rowID_; }
  int64_t metadataFingerprint() const { return metadataFingerprint_; }

 private:
  APMRawEventData(std::shared_ptr<const APMPBEvent> rawEvent, int64_t rowID,
                  int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}

  std::shared_ptr<const APMPBEvent> rawEvent_;
  int64_t rowID_;
  int64_t metadataFingerprint_;
};
