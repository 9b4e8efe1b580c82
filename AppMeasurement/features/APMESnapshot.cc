#include "AppMeasurement/features/APMESnapshot.h"

#include "AppMeasurement/features/APMEMonitor.h"
#include "platform/dispatch/Clock.h"

APMESnapshot::APMESnapshot(std::string sdkName)
    : sdkName_(std::move(sdkName)), timestamp_(platform::Clock::current()->now()) {}

std::optional<APMESnapshot> APMESnapshot::create(
    const std::optional<std::string>& sdkName,
    const std::optional<std::vector<APMEExperiment>>& list) {
  if (!sdkName || sdkName->empty()) {
    APMEMonitor::shared().logWithLevel(2, 840000,
                                       "Cannot create snapshot with an invalid SDK name");
    return std::nullopt;
  }
  if (!list) {
    APMEMonitor::shared().logWithLevel(2, 840001,
                                       "Cannot create snapshot with an experiment list of nil");
    return std::nullopt;
  }
  APMESnapshot snapshot(*sdkName);
  for (const APMEExperiment& experiment : *list) snapshot.addExperiment(experiment);
  return snapshot;
}

std::optional<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot& message) {
  std::vector<APMEExperiment> experiments;
  for (const APMPBExperiment& experiment :
       NANOGetMessageArray<APMPBExperiment>(message, APMPBSnapshot::kExperiments)
           .value_or(std::vector<APMPBExperiment>{})) {
    experiments.push_back(APMEExperiment::initWithProtobuf(experiment));
  }
  return create(NANOGetString(message, APMPBSnapshot::kName), experiments);
}

const APMPBFlag* APMESnapshot::flagByName(std::string_view name) const {
  for (const auto& [id, experiment] : experimentsByExperimentID_) {
    if (const APMPBFlag* flag = experiment.flagWithName(name)) return flag;
  }
  return nullptr;
}

void APMESnapshot::addFlag(const std::optional<APMPBFlag>& flag,
                           std::optional<int64_t> experimentID) {
  if (!experimentID) {
    APMEMonitor::shared().logWithLevel(2, 840003, "Cannot add flag into empty experiment ID");
    return;
  }
  if (!flag) {
    APMEMonitor::shared().logWithLevel(2, 840004, "Cannot add an invalid flag into a snapshot");
    return;
  }
  auto found = experimentsByExperimentID_.find(*experimentID);
  if (found != experimentsByExperimentID_.end()) {
    found->second.addFlag(flag);
    return;
  }
  if (std::optional<APMEExperiment> experiment =
          APMEExperiment::create(*experimentID, std::vector<APMPBFlag>{*flag})) {
    experimentsByExperimentID_.emplace(*experimentID, std::move(*experiment));
  }
}

void APMESnapshot::addFlags(const std::vector<APMPBFlag>& flags, int64_t experimentID) {
  for (const APMPBFlag& flag : flags) addFlag(flag, experimentID);
}

void APMESnapshot::addExperiment(const APMEExperiment& experiment) {
  experimentsByExperimentID_.insert_or_assign(experiment.experimentID(), experiment);
}

std::vector<APMEExperiment> APMESnapshot::experiments() const {
  std::vector<APMEExperiment> all;
  all.reserve(experimentsByExperimentID_.size());
  for (const auto& [id, experiment] : experimentsByExperimentID_) all.push_back(experiment);
  return all;
}

std::vector<int64_t> APMESnapshot::experimentIDs() const {
  std::vector<int64_t> ids;
  ids.reserve(experimentsByExperimentID_.size());
  for (const auto& [id, experiment] : experimentsByExperimentID_) ids.push_back(id);
  return ids;
}

APMPBSnapshot APMESnapshot::proto() const {
  APMPBSnapshot message;
  NANOSetString(message, APMPBSnapshot::kName, sdkName_);
  std::vector<APMPBExperiment> list;
  for (const auto& [id, experiment] : experimentsByExperimentID_)
    list.push_back(experiment.proto());
  if (!list.empty()) NANOSetMessageArray(message, APMPBSnapshot::kExperiments, list);
  return message;
}

APMESnapshot APMESnapshot::copy() const {
  APMESnapshot snapshot(sdkName_);
  snapshot.experimentsByExperimentID_ = experimentsByExperimentID_;
  return snapshot;
}

std::string APMESnapshot::description() const {
  std::string text =
      sdkName_ + ": " + std::to_string(experimentsByExperimentID_.size()) + " experiments (";
  bool first = true;
  for (const auto& [id, experiment] : experimentsByExperimentID_) {
    if (!first) text += ", ";
    first = false;
    text += std::to_string(id);
  }
  return text + "), timestamp " + std::to_string(timestamp_) +
         (manuallyActivated_ ? ", manually activated" : "");
}
