#include "AppMeasurement/features/APMEExperiment.h"

#include "AppMeasurement/features/APMEMonitor.h"

std::optional<APMEExperiment> APMEExperiment::create(
    std::optional<int64_t> experimentID, const std::optional<std::vector<APMPBFlag>>& flags) {
  if (!experimentID) {
    APMEMonitor::shared().logWithLevel(2, 870000, "Cannot create an experiment without ID");
    return std::nullopt;
  }
  if (!flags) {
    APMEMonitor::shared().logWithLevel(2, 870002, "Cannot create an experiment with invalid flags");
    return std::nullopt;
  }
  APMEExperiment experiment(*experimentID);
  for (const APMPBFlag& flag : *flags) experiment.addFlag(flag);
  return experiment;
}

APMEExperiment APMEExperiment::initWithProtobuf(const APMPBExperiment& message) {
  APMEExperiment experiment(NANOGetInt32(message, APMPBExperiment::kExperimentId));
  for (APMPBFlag& flag : NANOGetMessageArray<APMPBFlag>(message, APMPBExperiment::kFlags)
                             .value_or(std::vector<APMPBFlag>{})) {
    experiment.addFlag(std::move(flag));
  }
  return experiment;
}

std::vector<APMPBFlag> APMEExperiment::flags() const {
  std::vector<APMPBFlag> all;
  all.reserve(flagsByName_.size());
  for (const auto& [name, flag] : flagsByName_) all.push_back(flag);
  return all;
}

void APMEExperiment::addFlag(const std::optional<APMPBFlag>& flag) {
  if (!flag) {
    APMEMonitor::shared().logWithLevel(2, 870004, "Cannot add empty flag into an experiment. ID",
                                       experimentID_);
    return;
  }
  std::optional<std::string> name = NANOGetString(*flag, APMPBFlag::kName);
  if (!name) {
    APMEMonitor::shared().logWithLevel(
        2, 870006, "Cannot add a flag without name into an experiment. ID", experimentID_);
    return;
  }
  flagsByName_.insert_or_assign(std::move(*name), *flag);
}

const APMPBFlag* APMEExperiment::flagWithName(std::string_view name) const {
  if (name.empty()) {
    APMEMonitor::shared().logWithLevel(2, 870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  auto found = flagsByName_.find(name);
  return found == flagsByName_.end() ? nullptr : &found->second;
}

APMPBExperiment APMEExperiment::proto() const {
  APMPBExperiment message;
  NANOSetInt32(message, APMPBExperiment::kExperimentId, static_cast<int32_t>(experimentID_));
  if (!flagsByName_.empty()) NANOSetMessageArray(message, APMPBExperiment::kFlags, flags());
  return message;
}
