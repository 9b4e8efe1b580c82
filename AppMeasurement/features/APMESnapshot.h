#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/features/APMEExperiment.h"

// The experiments the server sent for one SDK, by experiment ID (ascending), with the time it
// was made and whether it waits for its observer's activation. A value type; not synchronised.
class APMESnapshot {
 public:
  // initWithSDKName:experiments:. Nothing (logged) for an empty name (840000) or no list
  // (840001). A later experiment of the same ID replaces an earlier one. The timestamp is the
  // current time; not manually activated.
  static std::optional<APMESnapshot> create(const std::optional<std::string>& sdkName,
                                            const std::optional<std::vector<APMEExperiment>>& list);
  // initWithProtobuf:. Field 1 the SDK name, field 2 the experiments.
  static std::optional<APMESnapshot> initWithProtobuf(const APMPBSnapshot& message);

  // The flag of that name in the first experiment (ascending ID) that has it, or null. Valid
  // until the snapshot changes.
  const APMPBFlag* flagByName(std::string_view name) const;
  // Adds the flag to the experiment of that ID, making the experiment when there is none.
  // Nothing (logged) without an ID (840003) or a flag (840004).
  void addFlag(const std::optional<APMPBFlag>& flag, std::optional<int64_t> experimentID);
  void addFlags(const std::vector<APMPBFlag>& flags, int64_t experimentID);
  // Stores the experiment under its ID (replacing).
  void addExperiment(const APMEExperiment& experiment);
  // All experiments, ascending ID.
  std::vector<APMEExperiment> experiments() const;
  // The experiment IDs, ascending.
  std::vector<int64_t> experimentIDs() const;
  APMPBSnapshot proto() const;
  // copyWithZone:: the same SDK name and experiments, the time of copying, not manually
  // activated.
  APMESnapshot copy() const;
  // "SDK name: n experiments (IDs), timestamp" for log lines.
  std::string description() const;

  const std::string& SDKName() const { return sdkName_; }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  bool manuallyActivated() const { return manuallyActivated_; }
  void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

 private:
  explicit APMESnapshot(std::string sdkName);

  std::string sdkName_;
  std::map<int64_t, APMEExperiment> experimentsByExperimentID_;
  double timestamp_;
  bool manuallyActivated_ = false;
};
