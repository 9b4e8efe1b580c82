#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"

// One experiment of a snapshot: its ID and its flags by name (a later flag of the same name
// replaces an earlier one). ID 0 marks the launched experiment. A value type; not
// synchronised (the manager keeps its snapshots on its own queue).
class APMEExperiment {
 public:
  // initWithExperimentID:flags:. Nothing (logged) without an ID (870000) or without a flag
  // list (870002); flags without a name are left out (870006).
  static std::optional<APMEExperiment> create(std::optional<int64_t> experimentID,
                                              const std::optional<std::vector<APMPBFlag>>& flags);
  // initWithProtobuf:. Field 1 is the ID (0 when absent), field 2 the flags.
  static APMEExperiment initWithProtobuf(const APMPBExperiment& message);

  int64_t experimentID() const { return experimentID_; }
  // All flags, in name order.
  std::vector<APMPBFlag> flags() const;
  // Adds or replaces the flag of its name; nothing (logged) for none (870004) or a flag
  // without a name (870006).
  void addFlag(const std::optional<APMPBFlag>& flag);
  // The flag of that name, or null; an empty name is logged (870007). The pointer is valid
  // until the experiment changes.
  const APMPBFlag* flagWithName(std::string_view name) const;
  // Field 1 the ID's int value, field 2 the flags.
  APMPBExperiment proto() const;

  bool operator==(const APMEExperiment&) const = default;

 private:
  explicit APMEExperiment(int64_t experimentID) : experimentID_(experimentID) {}

  int64_t experimentID_;
  std::map<std::string, APMPBFlag, std::less<>> flagsByName_;
};
