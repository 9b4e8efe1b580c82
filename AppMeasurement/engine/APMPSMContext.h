#pragma once

#include <cstdint>
#include <memory>

class APMAlarm;
class APMPrivateSetMembershipClient;

// The state of the older on-device conversion flow: one per engine, made at start-up only when
// a private-set-membership client class is linked. Counts live for the app run; what persists
// (the per-identifier counts, the match) lives in user properties and the database.
//
// Worker queue only (the engine's; no lock).
class APMPSMContext {
 public:
  // The client of the current attempt; null when none.
  std::shared_ptr<APMPrivateSetMembershipClient> PSMClient;
  // A request is in flight.
  bool isPSMRequestInProgress = false;
  // A request waits for the engine's network to be free (the next successful upload).
  bool isPSMRequestPostponed = false;
  // Attempts started in this app run.
  int32_t PSMStartCount = 0;
  // Retries of the current attempt.
  int32_t PSMRetryCount = 0;
  // "On-device conversion measurement timer", made on the first retry.
  std::shared_ptr<APMAlarm> PSMRetryAlarm;
  // Reset to 0 at every initiation; when positive, a match is stored as a session value.
  double sessionStartTimestamp = 0;
};
